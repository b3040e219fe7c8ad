#include "platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

#include "safe_file.h"
#include "system_limits.h"

void PrepareOutput() {
  // POSIX streams never translate. A standard descriptor left closed by
  // whoever started the run would be the next one a file gets, a page's
  // temporary file among them, and libtiff's messages to standard error
  // would be written into it. Each gets the null device instead (or, where
  // there is none, the root folder, which no write goes into).
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    if (open("/dev/null", O_RDWR) != fd) open("/", O_RDONLY | O_DIRECTORY);
  }
}

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

void WriteError(const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = write(STDERR_FILENO, data, size);
    if (written <= 0) return;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

int OpenForAppending(const std::string& path, std::string& error) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) error = std::strerror(errno);
  return fd;
}

bool AppendBytes(int handle, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = write(handle, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

long WriteSomeOutput(const char* data, std::size_t size) {
  return static_cast<long>(write(STDOUT_FILENO, data, std::min<std::size_t>(size, 1u << 30)));
}

void SetTerminalTitle(const char* title) {
  if (!StdoutIsTerminal()) return;
  // OSC 0: set the icon name and the window title.
  std::fprintf(stdout, "\033]0;%s\007", title);
  std::fflush(stdout);
}

bool NameMatchesTif(const std::string& name) {
  const auto endsIn = [&name](const char* ending, std::size_t length) {
    return name.size() >= length &&
           strncasecmp(name.c_str() + name.size() - length, ending, length) == 0;
  };
  return endsIn(".tif", 4) || endsIn(".tiff", 5);
}

bool ListFolder(const std::string& folder, std::vector<TFolderEntry>& entries) {
  entries.clear();
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return false;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    const bool isFolder =
        entry->d_type == DT_DIR ||
        (entry->d_type == DT_UNKNOWN &&
         fstatat(dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode));
    entries.push_back({name, isFolder});
  }
  closedir(dir);
  return true;
}

int PathKind(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  return S_ISDIR(st.st_mode) ? 1 : 0;
}

bool MakeFolders(const std::string& path) {
  for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string folder = path.substr(0, slash);
    if (!folder.empty() && mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) break;
  }
  return PathKind(path) == 1;
}

std::string FileKey(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return {};
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

unsigned AvailableCpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  unsigned cpus = sched_getaffinity(0, sizeof set, &set) == 0
                      ? static_cast<unsigned>(CPU_COUNT(&set))
                      : static_cast<unsigned>(std::max(1L, sysconf(_SC_NPROCESSORS_ONLN)));
  const unsigned quota = GroupCpuLimit(SystemGroupFiles());
  if (quota > 0) cpus = std::min(cpus, quota);
  return std::max(cpus, 1u);
}

std::uint64_t UsableMemory() {
  struct rlimit space;
  const bool limited = getrlimit(RLIMIT_AS, &space) == 0 && space.rlim_cur != RLIM_INFINITY;
  return MemoryLeft(FileText("/proc/meminfo"), GroupMemoryLeft(SystemGroupFiles()),
                    limited ? space.rlim_cur : ~std::uint64_t{0},
                    limited ? FileText("/proc/self/status") : std::string());
}

std::uint64_t NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

namespace {

void (*FaultBeforeExit)() = nullptr;
void (*StopBeforeExit)() = nullptr;

void WriteAll(int fd, const char* text) {
  std::size_t left = std::strlen(text);
  while (left > 0) {
    const ssize_t written = write(fd, text, left);
    if (written <= 0) return;
    text += written;
    left -= static_cast<std::size_t>(written);
  }
}

void OnFault(int signal) {
  if (FaultBeforeExit != nullptr) FaultBeforeExit();
  const char* what = signal == SIGSEGV   ? "access violation"
                     : signal == SIGBUS  ? "bus error"
                     : signal == SIGFPE  ? "floating-point fault"
                     : signal == SIGABRT ? "aborted"
                                         : "illegal instruction";
  WriteAll(STDERR_FILENO, "valdrane: fatal fault: ");
  WriteAll(STDERR_FILENO, what);
  WriteAll(STDERR_FILENO, "\r\n");
  _exit(1);
}

void OnStop(int signal) {
  if (StopBeforeExit != nullptr) StopBeforeExit();
  WriteAll(STDERR_FILENO, "valdrane: stopped by ");
  WriteAll(STDERR_FILENO, signal == SIGINT ? "SIGINT" : signal == SIGHUP ? "SIGHUP" : "SIGTERM");
  WriteAll(STDERR_FILENO, "\r\n");
  // The handler was reset to the default action on entry (SA_RESETHAND);
  // the signal, blocked while the handler runs, ends the process once
  // unblocked.
  raise(signal);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signal);
  sigprocmask(SIG_UNBLOCK, &set, nullptr);
  _exit(128 + signal);  // not reached
}

}  // namespace

void InstallStopHandler(void (*beforeExit)()) {
  StopBeforeExit = beforeExit;
  struct sigaction action {};
  action.sa_handler = OnStop;
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, signal);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

void InstallFaultHandler(void (*beforeExit)()) {
  FaultBeforeExit = beforeExit;
  // A separate stack lets the handler run after a stack overflow too.
  static char alternateStack[64 * 1024];
  stack_t stack{};
  stack.ss_sp = alternateStack;
  stack.ss_size = sizeof alternateStack;
  sigaltstack(&stack, nullptr);

  struct sigaction action {};
  action.sa_handler = OnFault;
  action.sa_flags = SA_ONSTACK | SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) sigaction(signal, &action, nullptr);

  signal(SIGPIPE, SIG_IGN);
}
