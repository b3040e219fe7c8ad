// The safe replacement of files (Im_proc/files/; windows/ holds the Win32
// implementation of this header, one file per operating system, and the
// temporary files' names are in temporary_name.h). It uses only the
// operating system; the TIFF binding and the driver use it.
//
// A page opened once and replaced so that it is either completely rewritten
// or left byte-identical. Everything goes through descriptors: the page is
// read through the one it was opened with, the new content goes into a
// temporary file created beside it (never through a link) and written
// through its own descriptor, flushed to disk, and renamed over the page
// only while the page's name still names the very file that was read.
// Nothing is ever opened by a name a second time, so a folder shared with
// someone hostile cannot redirect a write.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "refusal.h"

// TFolderPlace: a folder the run writes in: the folder `Root`, as the user
// named it (links in it followed), then `Below`, folders with '/' between
// them (empty: `Root` itself), each entered never through a link.
struct TFolderPlace {
  std::string Root, Below;
};

// ClaimFolder: opens the folder of `place`, takes this run's exclusive lock
// on it (on the folder itself, no lock file, held until the process ends,
// however it ends), and only then removes from it what killed runs left:
// regular files whose whole name is one a replacement gives its temporary
// file, nothing else. All through the one descriptor opened, so a folder
// swapped for a link on the way is never the one locked or cleared.
// Returns 1 when held (and cleared); 0 when the folder cannot be reached
// that way (missing, or a link on the way): nothing is cleared, and a page
// written there later takes the lock then, or fails; -1 when another
// process holds its lock. The lock says which run may write in a folder
// and remove what killed runs left there.
std::int32_t ClaimFolder(const TFolderPlace& place);

// TPageIdentity: what tells one state of a file from another: the file
// itself (device and inode, or volume and file index), its size, and the
// times of its last change of content and of any change at all, in
// nanoseconds (100 ns units on Windows). A file written into, or deleted
// and made anew under a reused inode number, no longer matches.
struct TPageIdentity {
  std::uint64_t Device = 0, Inode = 0, Size = 0;
  std::int64_t Modified = 0, Changed = 0;
  bool operator==(const TPageIdentity&) const = default;
};

// TPageFile: a page opened for reading. The descriptor is closed with the
// record.
struct TPageFile {
  int Fd = -1;
  std::string Name;      // as the folder listing gave it, for libtiff's messages
  TPageIdentity Opened;  // the file as it was when opened
  std::string RealPath;  // POSIX: its path, every link resolved
  TRefusal Why;          // why OpenPage failed, where it can tell
  TPageFile() = default;
  TPageFile(const TPageFile&) = delete;
  TPageFile& operator=(const TPageFile&) = delete;
  ~TPageFile();
};

// OpenPage: opens `name` in the current folder for reading, without waiting
// (a pipe put in a page's place cannot block the run), and notes its
// identity. A symbolic link is followed only when every link on the way was
// made by someone who could write the page anyway: each link is owned by
// the user running the tool, by the owner of the page it leads to, or by
// the superuser (POSIX; the rule the kernel's protected_symlinks applies in
// shared folders, made independent of the folder's sticky bit). The last `firm` folders of
// `name` (those a walk of folders found, below the path given) must be folders themselves,
// never links (POSIX). Returns 1 when it is a regular file reached that way; -1 otherwise,
// with nothing left open.
std::int32_t OpenPage(const char* name, TPageFile& page, std::uint32_t firm = 0);

// ReadAt, WriteAt: move up to `size` bytes between `data` and the file open
// in `fd`, at byte `at`, leaving the descriptor's own position alone.
// Return the bytes moved (0 at the end of the file), or -1.
std::int64_t ReadAt(int fd, void* data, std::size_t size, std::uint64_t at);
std::int64_t WriteAt(int fd, const void* data, std::size_t size, std::uint64_t at);
// FileSize: the size of the file open in `fd`; 0 when it cannot be known.
std::uint64_t FileSize(int fd);

// WriteAllAt: all `size` bytes of `data` to the file open in `fd` from byte
// `at`, which moves past what was written; a write cut short is tried on
// from where it stopped, so that the one that fails says why. False when
// not all could be written, with `error` set to the system's reason
// (ENOSPC for a write of nothing) unless it was set already.
inline bool WriteAllAt(int fd, const void* data, std::size_t size, std::uint64_t& at, int& error) {
  for (std::size_t done = 0; done < size;) {
    const std::int64_t n = WriteAt(fd, static_cast<const char*>(data) + done, size - done, at);
    if (n <= 0) {
      if (error == 0) error = n < 0 ? errno : ENOSPC;
      return false;
    }
    done += static_cast<std::size_t>(n);
    at += static_cast<std::uint64_t>(n);
  }
  return true;
}

// ReadWhole: the whole file open in `fd` into `bytes`. False when it cannot
// all be read.
inline bool ReadWhole(int fd, std::vector<std::uint8_t>& bytes) {
  bytes.resize(static_cast<std::size_t>(FileSize(fd)));
  for (std::size_t done = 0; done < bytes.size();) {
    const std::int64_t n = ReadAt(fd, bytes.data() + done, bytes.size() - done, done);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// TOutputPlace: where a page's output goes: `Below`, folders and a name
// with '/' between them (no "." or ".."), under the folder `Root`; without
// a Root, the page's own place (in place). `Made` says how it is made, as
// its record keeps it: empty for the default correction, else a word of
// its own, so that a file made one way is never taken as current for a run
// that asks for another.
struct TOutputPlace {
  std::string Root, Below;
  std::string Made = {};
};

// TSafeWrite: one replacement under way: the page's real folder and name,
// and the temporary file beside it, named ".valdrane-" and six letters or
// digits (never "*.tif", so a listing of pages never picks it up).
struct TSafeWrite {
  int FolderFd = -1;      // POSIX: the folder; PageName and TempName are in it
  std::string PageName;   // Windows: the whole path, as is TempName
  TPageIdentity Page;     // what the page's name must still name
  bool Replacing = true;  // false: a file made where there was none
  int TempFd = -1;
  std::string TempName;
  int Slot = -1;            // where RemoveTemporaryFiles finds it
  TPageIdentity Source;     // the page it is made from, recorded on it when put in place
  std::string Made;         // how, as TOutputPlace says
  std::vector<void*> Held;  // Windows: an output's folders, held open (not to be moved) until then
  TRefusal Why;             // why BeginSafeWrite or CommitSafeWrite failed, where it can tell
  TSafeWrite() = default;
  TSafeWrite(const TSafeWrite&) = delete;
  TSafeWrite& operator=(const TSafeWrite&) = delete;
  ~TSafeWrite();  // aborts a replacement still under way
};

// BeginSafeWrite: prepares to replace `page`. Returns 1 with an empty
// temporary file created and open in TempFd, carrying the page's permission
// bits, its owner where this user may set it, its extended attributes of
// the user namespace and its access ACL. Returns -1, with nothing created,
// when the page is read-only (no write permission bit, or not writable by
// this user), has no name in a folder any more, or no temporary file with
// all of the above can be made beside it, or the folder is locked by
// another run. The page's folder, when it is not the one the run was started
// in (a followed link), is locked for the rest of the run first, so that no
// other run there takes the temporary file for a leftover; an access ACL the
// temporary file inherits from its folder is removed when the page has none.
// Never changes the page, and leaves it open: it may still be read while the
// new file is written (ClosePage before CommitSafeWrite).
//
// With a `target` place that has a Root, the new file goes there instead, the page only
// read: its folders are walked from the root one by one, each made when
// missing, and never through a link (nor a reparse point): a link or a
// non-folder on the way is -1. The new file replaces what the name holds now
// if it is a regular file other than the page (and only while it is: the
// same identity check), or takes the name if it is free (and only while it
// is). Once in place, in place or not, the new file records what it was made
// from and how (see OutputIsCurrent).
std::int32_t BeginSafeWrite(const TPageFile& page, TSafeWrite& write,
                            const TOutputPlace* target = nullptr);

// OutputIsCurrent: whether the output at `target` (reached as BeginSafeWrite
// reaches it, nothing made) is a regular file that this tool put there from
// `page` as it is now: it carries the record written with it (the page's
// device, inode, size and times of change to the nanosecond, and its own size
// and time of last change), and all of them still hold; and nobody else
// could have made or changed it: it is owned by the user running the tool
// (or by the page's owner) and writable by no group and no other user.
// In place (no Root), whether `page` itself is a file this tool made, that
// way, and has not changed since: its record's own part (inode, size, time
// of last write, how) holds, it is this user's (or the run is the
// superuser's) and writable by no group and no other user. False wherever
// anything differs or cannot be read: a file system that keeps no extended
// attributes (and Windows) keeps no record, so its outputs are always made again.
bool OutputIsCurrent(const TPageFile& page, const TOutputPlace& target);

// ClosePage: closes the page's descriptor, as reading is over; Windows
// cannot replace a file that is open.
void ClosePage(TPageFile& page);

// CommitSafeWrite: flushes the temporary file to disk and, if the page's
// name still names the file that was read, unchanged since it was opened
// (the same TPageIdentity), and the temporary name still the
// temporary file, renames it over the page. Returns 1 when the page now
// holds the new content; -1 otherwise, with the temporary file removed and
// the page untouched. Closes the descriptors either way.
std::int32_t CommitSafeWrite(TSafeWrite& write);

// AbortSafeWrite: removes the temporary file (by its folder and name, only
// while that name is still the file this run created) and closes the
// descriptors; the page is untouched.
void AbortSafeWrite(TSafeWrite& write);

// RemoveTemporaryFiles: removes the temporary file of every replacement
// under way, and makes every later BeginSafeWrite and HoldStops fail, so
// that no thread leaves one behind either; first waits (up to two seconds)
// for every thread that holds stops. Safe in a signal handler: for a run
// that is stopped.
void RemoveTemporaryFiles();

// RunStopping: whether RemoveTemporaryFiles has run: the run is stopping,
// and what fails from then on fails for that reason alone.
bool RunStopping();

// HoldStops: this thread starts work that a stop must find whole or not at
// all (a page put in place and its report recorded): until ReleaseStops,
// RemoveTemporaryFiles waits for it, and no stop signal interrupts this
// thread. Returns false, holding nothing, once the run is stopping: the
// work must not be done.
bool HoldStops();
void ReleaseStops();

// THeldStops: HoldStops for the life of the record, however it ends; Held
// says whether it holds them.
struct THeldStops {
  bool Held = HoldStops();
  THeldStops() = default;
  THeldStops(const THeldStops&) = delete;
  THeldStops& operator=(const THeldStops&) = delete;
  ~THeldStops() {
    if (Held) ReleaseStops();
  }
};
