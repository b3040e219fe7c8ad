#include "safe_file.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
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

bool SameFile(const struct stat& st, std::uint64_t device, std::uint64_t inode) {
  return st.st_dev == device && st.st_ino == inode;
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
    if (std::strncmp(name, "user.", 5) != 0 && std::strcmp(name, "system.posix_acl_access") != 0) {
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

// Opens the real folder of the page named `path` (its links resolved) and
// gives the page's name there. This looks the name up again; the identity
// check before the rename is what makes that safe.
int OpenFolderOf(const std::string& path, std::string& name) {
  char resolved[PATH_MAX];
  if (realpath(path.c_str(), resolved) == nullptr) return -1;
  const std::string full = resolved;
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

TSafeWrite::~TSafeWrite() { AbortSafeWrite(*this); }

TPageFile::~TPageFile() {
  if (Fd >= 0) close(Fd);
}

std::int32_t OpenPage(const char* name, TPageFile& page) {
  if (page.Fd >= 0) close(page.Fd);
  page.Name = name;
  page.Fd = open(name, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (page.Fd >= 0 && fstat(page.Fd, &st) == 0 && S_ISREG(st.st_mode)) return 1;
  if (page.Fd >= 0) close(page.Fd);
  page.Fd = -1;
  return -1;
}

namespace {

std::int32_t BeginWith(const TPageFile& page, TSafeWrite& write) {
  AbortSafeWrite(write);
  struct stat st;
  if (page.Fd < 0 || fstat(page.Fd, &st) != 0) return -1;
  write.FolderFd = OpenFolderOf(page.Name, write.PageName);
  write.PageDevice = st.st_dev;
  write.PageInode = st.st_ino;
  // The name must still lead to the file that was read. A file without any
  // write permission bit is read-only even for a user (such as root) whom
  // the system would let write it anyway.
  struct stat named;
  if (write.FolderFd < 0 ||
      fstatat(write.FolderFd, write.PageName.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
      !SameFile(named, st.st_dev, st.st_ino) || (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 ||
      faccessat(write.FolderFd, write.PageName.c_str(), W_OK, AT_EACCESS) != 0) {
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
    AbortSafeWrite(write);
    return -1;
  }

  // The replacement keeps the original's permission bits and, when this
  // user may set it, its owner; then its attributes, since an access ACL
  // sets the group bits.
  bool ok = fchmod(write.TempFd, st.st_mode & 07777) == 0;
  if (ok && fchown(write.TempFd, st.st_uid, st.st_gid) != 0 && errno != EPERM) ok = false;
  if (!ok || !CopyAttributes(page.Fd, write.TempFd)) {
    AbortSafeWrite(write);
    return -1;
  }
  return 1;
}

}  // namespace

std::int32_t BeginSafeWrite(TPageFile& page, TSafeWrite& write) {
  const std::int32_t begun = BeginWith(page, write);
  if (page.Fd >= 0) close(page.Fd);
  page.Fd = -1;
  return begun;
}

std::int32_t CommitSafeWrite(TSafeWrite& write) {
  struct stat page, temp, named;
  const bool ok =
      fsync(write.TempFd) == 0 && fstat(write.TempFd, &temp) == 0 &&
      fstatat(write.FolderFd, write.PageName.c_str(), &page, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISREG(page.st_mode) && SameFile(page, write.PageDevice, write.PageInode) &&
      fstatat(write.FolderFd, write.TempName.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
      SameFile(named, temp.st_dev, temp.st_ino) &&
      renameat(write.FolderFd, write.TempName.c_str(), write.FolderFd, write.PageName.c_str()) == 0;
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

void RemoveTemporaryFiles() {
  Stopping.store(true);
  while (Creating.load() > 0) {
    // Another thread is a few system calls from entering its file.
  }
  for (TInFlight& entry : InFlight) {
    const int folder = entry.FolderFd.load();
    if (folder >= 0) RemoveIfOurs(folder, entry.Name, entry.Device, entry.Inode);
  }
}
