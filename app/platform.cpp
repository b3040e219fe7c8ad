#include "platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

bool StdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

void SetTerminalTitle(const char* title) {
  if (!StdoutIsTerminal()) return;
  // OSC 0: set the icon name and the window title.
  std::fprintf(stdout, "\033]0;%s\007", title);
  std::fflush(stdout);
}

bool NameMatchesTif(const std::string& name) {
  if (name.size() < 4) return false;
  return strncasecmp(name.c_str() + name.size() - 4, ".tif", 4) == 0;
}

bool LockCurrentFolder() {
  // The descriptor stays open for the life of the process: closing it, or
  // the process ending, releases the lock.
  const int folder = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return true;
  return flock(folder, LOCK_EX | LOCK_NB) == 0 || errno != EWOULDBLOCK;
}

std::vector<std::string> ListTifNames() {
  std::vector<std::string> names;
  DIR* dir = opendir(".");
  if (dir == nullptr) return names;
  while (const dirent* entry = readdir(dir)) {
    if (NameMatchesTif(entry->d_name)) names.emplace_back(entry->d_name);
  }
  closedir(dir);
  return names;
}

std::uint64_t NowMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::uint64_t>(now.tv_sec) * 1000u +
         static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
}

namespace {

void (*FaultBeforeExit)() = nullptr;

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

}  // namespace

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
