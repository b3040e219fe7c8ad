#include "safe_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

static std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// fsync on a file opened anew by name: a file's dirty pages belong to the
// file, not to the descriptor that wrote them.
static bool SyncPath(const std::string& path, int flags) {
  const int fd = open(path.c_str(), flags | O_CLOEXEC);
  if (fd < 0) return false;
  const bool synced = fsync(fd) == 0;
  return close(fd) == 0 && synced;
}

// Copies the extended attributes of the user namespace and the access ACL
// from one open file to another. False when the source has one that cannot
// be read or set on the copy: the copy would then be missing what the user
// put there, or be more accessible than the source.
static bool CopyAttributes(int from, int to) {
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

bool IsRegularFile(const char* fileName) {
  struct stat st;
  return stat(fileName, &st) == 0 && S_ISREG(st.st_mode);
}

std::int32_t BeginSafeWrite(const char* fileName, TSafeWrite& write) {
  write = TSafeWrite{};
  char resolved[PATH_MAX];
  if (realpath(fileName, resolved) == nullptr) return -1;

  struct stat st;
  if (stat(resolved, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  // A file without any write permission bit is read-only even for a user
  // (such as root) whom the system would let write it anyway.
  if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || access(resolved, W_OK) != 0) {
    return -1;
  }

  std::string temp = DirectoryOf(resolved) + "/.valdrane-XXXXXX";
  const int fd = mkostemp(temp.data(), O_CLOEXEC);
  if (fd < 0) return -1;

  // The replacement keeps the original's permission bits and, when this
  // user may set it, its owner.
  bool ok = fchmod(fd, st.st_mode & 07777) == 0;
  if (ok && fchown(fd, st.st_uid, st.st_gid) != 0 && errno != EPERM) ok = false;
  // After the permission bits, since an access ACL sets the group bits.
  const int source = open(resolved, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ok = ok && source >= 0 && CopyAttributes(source, fd);
  if (source >= 0) close(source);
  if (close(fd) != 0) ok = false;

  write.Target = resolved;
  write.TempPath = temp;
  if (!ok) {
    AbortSafeWrite(write);
    return -1;
  }
  return 1;
}

std::int32_t CommitSafeWrite(TSafeWrite& write) {
  if (!SyncPath(write.TempPath, O_RDONLY) ||
      rename(write.TempPath.c_str(), write.Target.c_str()) != 0) {
    AbortSafeWrite(write);
    return -1;
  }
  // Make the rename itself durable. The target already holds the complete
  // new content, so a failure here does not make the write a failure.
  SyncPath(DirectoryOf(write.Target), O_RDONLY | O_DIRECTORY);
  write.TempPath.clear();
  return 1;
}

void AbortSafeWrite(TSafeWrite& write) {
  if (!write.TempPath.empty()) unlink(write.TempPath.c_str());
  write.TempPath.clear();
}
