// Preloaded into the tool by the race tests: once, at the moment the tool
// opens a file, does what someone sharing the folder could do then.
//   VALDRANE_RACE=repoint:LINK:TARGET   once LINK has been opened, points
//                                       the link LINK at TARGET instead
//   VALDRANE_RACE=swap-temp:OUTSIDE     as a temporary file is about to be
//                                       opened, puts a link to OUTSIDE in
//                                       its place
//   VALDRANE_RACE=stop:NAME             once NAME has been opened, stops the
//                                       tool (SIGSTOP) as the next temporary
//                                       file is made, for the test to act
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

bool Done = false, Armed = false;

void Act(int folder, const char* path, int flags, bool before) {
  const char* race = std::getenv("VALDRANE_RACE");
  if (race == nullptr || Done) return;
  const std::string what = race;
  const char* slash = std::strrchr(path, '/');
  const std::string base = slash != nullptr ? slash + 1 : path;
  const std::size_t colon = what.find(':', 8);
  const bool temporary = (flags & O_CREAT) != 0 && base.rfind(".valdrane-", 0) == 0;
  if (!before && what.rfind("stop:", 0) == 0) {
    Armed |= base == what.substr(5);
    if (Armed && temporary) {
      Done = true;
      kill(getpid(), SIGSTOP);
    }
    return;
  }
  const bool swap = before && what.rfind("swap-temp:", 0) == 0 && temporary;
  if (swap || (!before && what.rfind("repoint:", 0) == 0 && base == what.substr(8, colon - 8))) {
    Done = true;
    unlinkat(folder, path, 0);
    symlinkat(what.substr(swap ? 10 : colon + 1).c_str(), folder, path);
  }
}

}  // namespace

// Both take the mode only where the flags create a file.
extern "C" int openat(int folder, const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const int mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, int) : 0;
  va_end(args);
  Act(folder, path, flags, true);
  using TOpenAt = int (*)(int, const char*, int, ...);
  const int fd = reinterpret_cast<TOpenAt>(dlsym(RTLD_NEXT, "openat"))(folder, path, flags, mode);
  Act(folder, path, flags, false);
  return fd;
}

extern "C" int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const int mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, int) : 0;
  va_end(args);
  return openat(AT_FDCWD, path, flags, mode);
}
