#include "safe_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "temporary_name.h"

namespace {

// The temporary files of the replacements under way, for a signal handler
// to remove. A slot is taken by setting its folder descriptor, after the
// rest of it is in place, and freed by setting it back to -1.
struct TInFlight {
  std::atomic<int> FolderFd{-1};
  char Name[TemporaryNameSize] = {};
  dev_t Device = 0;
  ino_t Inode = 0;
};
// One slot a page in flight: as many as the run may have threads.
constexpr int Slots = 4096;
TInFlight InFlight[Slots];
std::atomic<bool> SlotBusy[Slots];
// Set once the run is stopping: no temporary file is made after that.
// Creating counts the threads between making one and entering it above,
// which RemoveTemporaryFiles waits for.
std::atomic<bool> Stopping{false};
std::atomic<int> Creating{0};
// The threads between HoldStops and ReleaseStops, and the signals they
// held back.
std::atomic<int> Holding{0};
thread_local sigset_t HeldBack;

bool SameFile(const struct stat& st, std::uint64_t device, std::uint64_t inode) {
  return st.st_dev == device && st.st_ino == inode;
}

TPageIdentity IdentityOf(const struct stat& st) {
  constexpr std::int64_t Billion = 1000000000;
  return {st.st_dev, st.st_ino, static_cast<std::uint64_t>(st.st_size),
          st.st_mtim.tv_sec * Billion + st.st_mtim.tv_nsec,
          st.st_ctim.tv_sec * Billion + st.st_ctim.tv_nsec};
}

// The folders whose lock this run holds, by identity. A lock is taken on an
// open file description of its own, kept open until the process ends: two
// descriptions of one folder in the same process would shut each other out.
std::mutex LocksGuard;
std::vector<std::pair<dev_t, ino_t>> Locked;

// Whether this run holds the lock of the folder open in `folder`, taking it
// if no other process holds it. A folder that cannot be locked at all (a
// file system without locks) counts as held, as nothing else can lock it.
bool HoldLock(int folder) {
  struct stat st;
  if (fstat(folder, &st) != 0) return false;
  const std::lock_guard<std::mutex> hold(LocksGuard);
  for (const auto& [device, inode] : Locked) {
    if (device == st.st_dev && inode == st.st_ino) return true;
  }
  const int own = openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (own < 0) return false;
  if (flock(own, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    close(own);
    return false;
  }
  Locked.emplace_back(st.st_dev, st.st_ino);
  return true;
}

// Follows `name` from the current folder component by component, as the
// kernel would, and gives the path of the file it leads to with every link
// resolved. False when a link on the way is owned by neither this user,
// nor `owner`, nor the superuser, when there are more than 40 of them, when
// one of the last `firm` folders of `name` is a link, or when something on
// the way is missing.
bool ResolveTrusted(const std::string& name, uid_t owner, std::uint32_t firm, std::string& real) {
  // Components still to walk, the next one last, each with whether it must not be a link.
  std::vector<std::pair<std::string, bool>> todo;
  const auto push = [&todo](const std::string& path, std::uint32_t firmFolders) {
    std::vector<std::string> parts;
    for (std::size_t from = 0, slash; from < path.size(); from = slash + 1) {
      slash = std::min(path.find('/', from), path.size());
      if (slash > from) parts.push_back(path.substr(from, slash - from));
    }
    for (std::size_t k = parts.size(); k-- > 0;) {
      const std::size_t fromEnd = parts.size() - 1 - k;  // 0: the last component
      todo.emplace_back(parts[k], fromEnd >= 1 && fromEnd <= firmFolders);
    }
  };
  char here[PATH_MAX];
  if (name.empty() || (name[0] != '/' && getcwd(here, sizeof here) == nullptr)) return false;
  real = name[0] == '/' || std::strcmp(here, "/") == 0 ? "" : here;
  push(name, firm);
  for (int links = 0; !todo.empty();) {
    const auto [part, mustBeFolder] = std::move(todo.back());
    todo.pop_back();
    if (part == ".") continue;
    if (part == "..") {
      real.erase(real.rfind('/') == std::string::npos ? 0 : real.rfind('/'));
      continue;
    }
    const std::string next = real + "/" + part;
    struct stat st;
    if (lstat(next.c_str(), &st) != 0) return false;
    if (!S_ISLNK(st.st_mode)) {
      real = next;
      continue;
    }
    // The superuser's links (a system's /home, say) are trusted as its own.
    if (mustBeFolder || ++links > 40 ||
        (st.st_uid != geteuid() && st.st_uid != owner && st.st_uid != 0)) {
      return false;
    }
    std::vector<char> target(static_cast<std::size_t>(st.st_size) + 2);
    const ssize_t length = readlink(next.c_str(), target.data(), target.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) return false;
    const std::string to(target.data(), static_cast<std::size_t>(length));
    if (to[0] == '/') real.clear();
    push(to, 0);
  }
  if (real.empty()) real.push_back('/');
  return true;
}

// The extended attribute that says what an output was made from.
constexpr const char* RecordName = "user.valdrane.made-from";

// The part of a record that tells the file made: its inode, size and time
// of last write (its change time moves with the record and the rename, so
// it is not part of it), then how it was made where that is not the default.
std::string MadePart(const struct stat& made, const std::string& how) {
  const TPageIdentity file = IdentityOf(made);
  char text[96];
  std::snprintf(text, sizeof text, "%llu %llu %lld", static_cast<unsigned long long>(file.Inode),
                static_cast<unsigned long long>(file.Size), static_cast<long long>(file.Modified));
  return how.empty() ? std::string(text) : text + (" " + how);
}

// The text of a record: the page the file was made from, then MadePart.
std::string RecordOf(const TPageIdentity& page, const struct stat& made, const std::string& how) {
  char text[160];
  std::snprintf(text, sizeof text, "1 %llu %llu %llu %lld %lld ",
                static_cast<unsigned long long>(page.Device),
                static_cast<unsigned long long>(page.Inode),
                static_cast<unsigned long long>(page.Size), static_cast<long long>(page.Modified),
                static_cast<long long>(page.Changed));
  return text + MadePart(made, how);
}

// Opens the folder `root`, then each folder of `below` ('/' between them)
// in turn, never through a link; with `make`, a missing one is made. -1
// when it cannot.
int OpenFolderBelow(const std::string& root, const std::string& below, bool make) {
  int folder = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (std::size_t from = 0, slash; folder >= 0 && from < below.size(); from = slash + 1) {
    slash = std::min(below.find('/', from), below.size());
    const std::string part = below.substr(from, slash - from);
    constexpr int Flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    const bool plain = !part.empty() && part != "." && part != "..";
    int next = plain ? openat(folder, part.c_str(), Flags) : -1;
    if (next < 0 && errno == ENOENT && make && plain &&
        (mkdirat(folder, part.c_str(), 0777) == 0 || errno == EEXIST)) {
      next = openat(folder, part.c_str(), Flags);
    }
    close(folder);
    folder = next;
  }
  return folder;
}

// Opens the folder that holds the file of `target`, as OpenFolderBelow
// does, and gives the file's name in it; -1 when it cannot.
int OpenOutputFolder(const TOutputPlace& target, bool make, std::string& name) {
  const std::size_t slash = target.Below.rfind('/');
  name = slash == std::string::npos ? target.Below : target.Below.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return -1;
  return OpenFolderBelow(target.Root,
                         slash == std::string::npos ? std::string() : target.Below.substr(0, slash),
                         make);
}

// Removes `name` from `folder` only while it is the regular file given.
void RemoveIfOurs(int folder, const char* name, std::uint64_t device, std::uint64_t inode) {
  struct stat st;
  if (fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
      SameFile(st, device, inode)) {
    unlinkat(folder, name, 0);
  }
}

// Copies the extended attributes of the user namespace and the access ACL
// from one open file to another. False when the source has one that cannot
// be read or set on the copy: the copy would then be missing what the user
// put there, or be more accessible than the source.
bool CopyAttributes(int from, int to) {
  std::vector<char> names(256), value(256);
  ssize_t length;
  while ((length = flistxattr(from, names.data(), names.size())) < 0 && errno == ERANGE) {
    names.resize(names.size() * 4);
  }
  if (length < 0) return errno == ENOTSUP;  // a file system without attributes
  for (const char* name = names.data(); name < names.data() + length;
       name += std::strlen(name) + 1) {
    if ((std::strncmp(name, "user.", 5) != 0 &&
         std::strcmp(name, "system.posix_acl_access") != 0) ||
        std::strcmp(name, RecordName) == 0) {
      continue;
    }
    ssize_t size;
    while ((size = fgetxattr(from, name, value.data(), value.size())) < 0 && errno == ERANGE) {
      value.resize(value.size() * 4);
    }
    if (size < 0 || fsetxattr(to, name, value.data(), static_cast<std::size_t>(size), 0) != 0) {
      return false;
    }
  }
  return true;
}

// Opens the folder of the file whose path, with a folder in it (links
// resolved, for a page), is `full`, and gives the file's name there. This looks the path up again;
// the identity check before the rename is what makes that safe.
int OpenFolderOf(const std::string& full, std::string& name) {
  const std::size_t slash = full.rfind('/');
  if (slash == std::string::npos) return -1;
  name = full.substr(slash + 1);
  return open(slash == 0 ? "/" : full.substr(0, slash).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// Creates a new temporary file in `folder`: a random name, never through a
// link, never an existing file.
int CreateTemporary(int folder, std::string& name) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    unsigned char random[TemporaryLetters];
    if (getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return -1;
    name = TemporaryName(random);
    const int fd =
        openat(folder, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

void Close(int& fd) {
  if (fd >= 0) close(fd);
  fd = -1;
}

}  // namespace

std::int64_t ReadAt(int fd, void* data, std::size_t size, std::uint64_t at) {
  return pread(fd, data, size, static_cast<off_t>(at));
}

std::int64_t WriteAt(int fd, const void* data, std::size_t size, std::uint64_t at) {
  return pwrite(fd, data, size, static_cast<off_t>(at));
}

std::uint64_t FileSize(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

std::int32_t ClaimFolder(const TFolderPlace& place) {
  const int folder = OpenFolderBelow(place.Root, place.Below, false);
  if (folder < 0) return 0;
  if (!HoldLock(folder)) {
    close(folder);
    return -1;
  }
  // The lock has a description of its own; this one is listed, and closed
  // with the listing.
  DIR* dir = fdopendir(folder);
  if (dir == nullptr) {
    close(folder);
    return 1;
  }
  while (const dirent* entry = readdir(dir)) {
    struct stat st;
    if (IsTemporaryName(entry->d_name) &&
        fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode)) {
      unlinkat(dirfd(dir), entry->d_name, 0);
    }
  }
  closedir(dir);
  return 1;
}

TSafeWrite::~TSafeWrite() { AbortSafeWrite(*this); }

TPageFile::~TPageFile() {
  if (Fd >= 0) close(Fd);
}

std::int32_t OpenPage(const char* name, TPageFile& page, std::uint32_t firm) {
  if (page.Fd >= 0) close(page.Fd);
  page.Name = name;
  page.Why = {};
  page.Fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  // The links are checked against the owner of the file opened, and the
  // path they lead to must still be that file.
  struct stat st, reached;
  if (page.Fd < 0) {
    page.Why = {TRefusalKind::Unreadable,
                errno == EACCES   ? "the file may not be read"
                : errno == ENOENT ? "no such file"
                                  : std::string("cannot be opened: ") + std::strerror(errno)};
  } else if (fstat(page.Fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    page.Why = {TRefusalKind::Unreadable, "not a regular file"};
  } else if (!ResolveTrusted(page.Name, st.st_uid, firm, page.RealPath)) {
    page.Why = {TRefusalKind::Unreadable,
                "reached through a link another user made, or a link where a folder was"};
  } else if (lstat(page.RealPath.c_str(), &reached) != 0 ||
             !SameFile(reached, st.st_dev, st.st_ino)) {
    page.Why = {TRefusalKind::Changed, "the file moved while it was opened"};
  } else {
    page.Opened = IdentityOf(st);
    return 1;
  }
  if (page.Fd >= 0) close(page.Fd);
  page.Fd = -1;
  return -1;
}

std::int32_t BeginSafeWrite(const TPageFile& page, TSafeWrite& write, const TOutputPlace* target) {
  AbortSafeWrite(write);
  write.Why = {};
  write.Replacing = true;
  // What the new file is made from and how, recorded on it as it is put in
  // place; a place without a Root is the page's own.
  write.Source = page.Opened;
  write.Made = target != nullptr ? target->Made : std::string();
  if (target != nullptr && target->Root.empty()) target = nullptr;
  struct stat st, named;
  if (page.Fd < 0 || fstat(page.Fd, &st) != 0) return -1;
  bool ok;
  if (target == nullptr) {
    write.FolderFd = OpenFolderOf(page.RealPath, write.PageName);
    write.Page = page.Opened;
    // The name must still lead to the file that was read, in a folder this
    // run holds. A file without any write permission bit is read-only even
    // for a user (such as root) whom the system would let write it anyway.
    // The folder is looked up again by its path, so it is locked only once
    // it is seen to hold the page.
    ok = write.FolderFd >= 0 &&
         fstatat(write.FolderFd, write.PageName.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
         SameFile(named, st.st_dev, st.st_ino);
    if (!ok) write.Why = {TRefusalKind::Changed, "the file moved while it was read"};
    if (ok && !HoldLock(write.FolderFd)) {
      write.Why = {TRefusalKind::Unwritable, "another valdrane is working in its folder"};
      ok = false;
    }
    if (ok && ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 ||
               faccessat(write.FolderFd, write.PageName.c_str(), W_OK, AT_EACCESS) != 0)) {
      write.Why = {TRefusalKind::ReadOnly, "the file is read-only"};
      ok = false;
    }
  } else {
    // Another file's place: what is there now (a regular file, never a
    // link, never the page itself), or nothing, is what the new file may replace.
    write.FolderFd = OpenOutputFolder(*target, true, write.PageName);
    ok = write.FolderFd >= 0 && HoldLock(write.FolderFd);
    if (ok && fstatat(write.FolderFd, write.PageName.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0) {
      ok = S_ISREG(named.st_mode) && !SameFile(named, st.st_dev, st.st_ino);
      write.Page = IdentityOf(named);
    } else {
      write.Replacing = false;
      ok = ok && errno == ENOENT;
    }
    if (!ok) {
      write.Why = {TRefusalKind::Unwritable,
                   "its place in the output folder is not a file it may write, or is locked"};
    }
  }
  if (!ok) {
    AbortSafeWrite(write);
    return -1;
  }
  // The file is created and entered for RemoveTemporaryFiles with signals
  // held back, so that a run stopped in between cannot leave it behind.
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &before);
  ++Creating;
  // Either RemoveTemporaryFiles waits for this thread or this sees that it ran.
  if (!Stopping.load()) write.TempFd = CreateTemporary(write.FolderFd, write.TempName);
  struct stat temp;
  for (int slot = 0; slot < Slots && write.Slot < 0 && write.TempFd >= 0; ++slot) {
    if (!SlotBusy[slot].exchange(true)) write.Slot = slot;
  }
  if (write.Slot >= 0 && fstat(write.TempFd, &temp) == 0) {
    TInFlight& entry = InFlight[write.Slot];
    std::memcpy(entry.Name, write.TempName.c_str(), write.TempName.size() + 1);
    entry.Device = temp.st_dev;
    entry.Inode = temp.st_ino;
    entry.FolderFd.store(write.FolderFd);
  }
  --Creating;
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  if (write.TempFd < 0) {
    write.Why = {TRefusalKind::Unwritable,
                 std::string("no new file can be made in its folder: ") + std::strerror(errno)};
    AbortSafeWrite(write);
    return -1;
  }

  // The replacement keeps the original's permission bits and, when this
  // user may set it, its owner; then its attributes, since an access ACL
  // sets the group bits. An ACL the new file inherited from the folder's
  // default goes first: the page may have none.
  ok = (fremovexattr(write.TempFd, "system.posix_acl_access") == 0 || errno == ENODATA ||
        errno == ENOTSUP) &&
       fchmod(write.TempFd, st.st_mode & 07777) == 0;
  if (ok && fchown(write.TempFd, st.st_uid, st.st_gid) != 0 && errno != EPERM) ok = false;
  if (!ok || !CopyAttributes(page.Fd, write.TempFd)) {
    write.Why = {TRefusalKind::Unwritable, std::string("its permissions or attributes cannot be "
                                                       "given to the new file: ") +
                                               std::strerror(errno)};
    AbortSafeWrite(write);
    return -1;
  }
  return 1;
}

bool OutputIsCurrent(const TPageFile& page, const TOutputPlace& target) {
  // In place the page itself is the output, whatever it was made from.
  const bool inPlace = target.Root.empty();
  std::string name;
  const int folder = inPlace ? -1 : OpenOutputFolder(target, false, name);
  // Only a regular file is opened: never a device or a pipe put there.
  struct stat named, output, source;
  int fd = inPlace ? fcntl(page.Fd, F_DUPFD_CLOEXEC, 0) : -1;
  if (folder >= 0 && fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISREG(named.st_mode)) {
    fd = openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  }
  if (folder >= 0) close(folder);
  char value[256];
  ssize_t size = -1;
  // Only a file nobody else could have made or changed: owned by this user,
  // or by the page's owner (an output takes the page's owner where this
  // user may give it, and she could change the page itself anyway; a page
  // the superuser made in place keeps its owner), and writable by no group
  // and no other user (an ACL's mask is the group bits). Anyone else's file
  // may carry any record she chose to write.
  if (fd >= 0 && fstat(fd, &output) == 0 && S_ISREG(output.st_mode) &&
      fstat(page.Fd, &source) == 0 &&
      (output.st_uid == geteuid() || (inPlace ? geteuid() == 0 : output.st_uid == source.st_uid)) &&
      (output.st_mode & (S_IWGRP | S_IWOTH)) == 0) {
    size = fgetxattr(fd, RecordName, value, sizeof value);
  }
  if (fd >= 0) close(fd);
  if (size <= 0) return false;
  const std::string record(value, static_cast<std::size_t>(size));
  if (!inPlace) return record == RecordOf(page.Opened, output, target.Made);
  // What it was made from is gone; it must be the very file made, that way.
  const std::string made = MadePart(output, target.Made);
  return record.size() > made.size() + 2 && record.compare(0, 2, "1 ") == 0 &&
         record[record.size() - made.size() - 1] == ' ' &&
         record.compare(record.size() - made.size(), made.size(), made) == 0;
}

void ClosePage(TPageFile& page) {
  if (page.Fd >= 0) close(page.Fd);
  page.Fd = -1;
}

namespace {

// Renames the temporary file to a name that must be free. Where the file
// system cannot refuse a name that is taken, the name is checked just before.
int RenameToFree(const TSafeWrite& write) {
  const char* from = write.TempName.c_str();
  const char* to = write.PageName.c_str();
  if (renameat2(write.FolderFd, from, write.FolderFd, to, RENAME_NOREPLACE) == 0) return 0;
  struct stat taken;
  if ((errno != EINVAL && errno != ENOSYS) ||
      fstatat(write.FolderFd, to, &taken, AT_SYMLINK_NOFOLLOW) == 0 || errno != ENOENT) {
    return -1;
  }
  return renameat(write.FolderFd, from, write.FolderFd, to);
}

}  // namespace

std::int32_t CommitSafeWrite(TSafeWrite& write) {
  struct stat page, temp, named;
  const char* from = write.TempName.c_str();
  const char* to = write.PageName.c_str();
  // A new file carries what it was made from. Where the file system keeps
  // no attributes, or has no room left for this one, it has no record and
  // is simply made again next time; no other record can be there, as the
  // page's own is never copied.
  if (fstat(write.TempFd, &temp) == 0) {
    const std::string record = RecordOf(write.Source, temp, write.Made);
    fsetxattr(write.TempFd, RecordName, record.data(), record.size(), 0);
  }
  // A file made anew takes a place that must still be free.
  write.Why = {};
  bool ok = fsync(write.TempFd) == 0 && fstat(write.TempFd, &temp) == 0;
  if (!ok) {
    write.Why = {TRefusalKind::Unwritable,
                 std::string("the new file cannot be flushed to disk: ") + std::strerror(errno)};
  } else if (!(!write.Replacing || (fstatat(write.FolderFd, to, &page, AT_SYMLINK_NOFOLLOW) == 0 &&
                                    S_ISREG(page.st_mode) && IdentityOf(page) == write.Page)) ||
             fstatat(write.FolderFd, from, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
             !SameFile(named, temp.st_dev, temp.st_ino)) {
    write.Why = {TRefusalKind::Changed, write.Replacing
                                            ? "the file changed while it was worked on"
                                            : "its place in the output folder was taken meanwhile"};
    ok = false;
  } else if ((write.Replacing ? renameat(write.FolderFd, from, write.FolderFd, to)
                              : RenameToFree(write)) != 0) {
    write.Why = {TRefusalKind::Unwritable,
                 std::string("the new file cannot be put in place: ") + std::strerror(errno)};
    ok = false;
  }
  if (!ok) {
    AbortSafeWrite(write);
    return -1;
  }
  // Make the rename itself durable. The page already holds the complete
  // new content, so a failure here does not make the write a failure.
  fsync(write.FolderFd);
  write.TempName.clear();
  AbortSafeWrite(write);
  return 1;
}

void AbortSafeWrite(TSafeWrite& write) {
  // The file goes before its entry does, so that a run stopped in between
  // still finds it.
  struct stat temp;
  if (write.TempFd >= 0 && !write.TempName.empty() && fstat(write.TempFd, &temp) == 0) {
    RemoveIfOurs(write.FolderFd, write.TempName.c_str(), temp.st_dev, temp.st_ino);
  }
  if (write.Slot >= 0) {
    InFlight[write.Slot].FolderFd.store(-1);
    SlotBusy[write.Slot].store(false);
    write.Slot = -1;
  }
  write.TempName.clear();
  Close(write.TempFd);
  Close(write.FolderFd);
}

bool HoldStops() {
  // The stop signals only: a fault here still reaches its handler, which
  // waits a while and goes on.
  sigset_t stops;
  sigemptyset(&stops);
  for (const int stop : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stops, stop);
  pthread_sigmask(SIG_BLOCK, &stops, &HeldBack);
  ++Holding;
  // Either RemoveTemporaryFiles waits for this thread or this sees that it ran.
  if (!Stopping.load()) return true;
  ReleaseStops();
  return false;
}

void ReleaseStops() {
  --Holding;
  pthread_sigmask(SIG_SETMASK, &HeldBack, nullptr);
}

bool RunStopping() { return Stopping.load(); }

void RemoveTemporaryFiles() {
  Stopping.store(true);
  while (Creating.load() > 0) {
    // Another thread is a few system calls from entering its file.
  }
  // A thread that holds stops is putting a page in place and recording it;
  // one that faulted while holding them is not waited for long.
  timespec start{}, now{};
  clock_gettime(CLOCK_MONOTONIC, &start);
  while (Holding.load() > 0 && clock_gettime(CLOCK_MONOTONIC, &now) == 0 &&
         now.tv_sec - start.tv_sec < 2) {
  }
  for (TInFlight& entry : InFlight) {
    const int folder = entry.FolderFd.load();
    if (folder >= 0) RemoveIfOurs(folder, entry.Name, entry.Device, entry.Inode);
  }
}
