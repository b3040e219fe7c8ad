// Preloaded into the tool by the race tests: once, at the moment the tool
// opens a file, does what someone sharing the folder could do then.
//   VALDRANE_RACE=repoint:LINK:TARGET   once LINK has been opened, points
//                                       the link LINK at TARGET instead
//   VALDRANE_RACE=swap-temp:OUTSIDE     as a temporary file is about to be
//                                       opened, puts a link to OUTSIDE in
//                                       its place
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool Done = false;

void Act(int folder, const char* path, int flags, bool before) {
  const char* race = std::getenv("VALDRANE_RACE");
  if (race == nullptr || Done) return;
  const std::string what = race;
  const char* slash = std::strrchr(path, '/');
  const std::string base = slash != nullptr ? slash + 1 : path;
  if (before && what.rfind("swap-temp:", 0) == 0 && (flags & O_CREAT) != 0 &&
      base.rfind(".valdrane-", 0) == 0) {
    Done = true;
    unlinkat(folder, path, 0);
    symlinkat(what.substr(10).c_str(), folder, path);
  }
  const std::size_t colon = what.find(':', 8);
  if (!before && what.rfind("repoint:", 0) == 0 && base == what.substr(8, colon - 8)) {
    Done = true;
    unlinkat(folder, path, 0);
    symlinkat(what.substr(colon + 1).c_str(), folder, path);
  }
}

template <class TOpen>
int Open(const char* symbol, int folder, const char* path, int flags, mode_t mode) {
  Act(folder, path, flags, true);
  const int fd = reinterpret_cast<TOpen>(dlsym(RTLD_NEXT, symbol))(folder, path, flags, mode);
  Act(folder, path, flags, false);
  return fd;
}

mode_t ModeOf(int flags, va_list args) {
  return (flags & (O_CREAT | O_TMPFILE)) != 0 ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

using TOpenAt = int (*)(int, const char*, int, ...);

int ByName(const char* symbol, int folder, const char* path, int flags, mode_t mode) {
  Act(folder, path, flags, true);
  const auto open = reinterpret_cast<int (*)(const char*, int, ...)>(dlsym(RTLD_NEXT, symbol));
  const int fd = open(path, flags, mode);
  Act(folder, path, flags, false);
  return fd;
}

}  // namespace

extern "C" int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeOf(flags, args);
  va_end(args);
  return ByName("open", AT_FDCWD, path, flags, mode);
}

extern "C" int openat(int folder, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = ModeOf(flags, args);
  va_end(args);
  return Open<TOpenAt>("openat", folder, path, flags, mode);
}
