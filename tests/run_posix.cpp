// The tool run as a child process on POSIX systems.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "harness.h"

pid_t StartTool(const fs::path& dir, const std::function<void()>& inChild, const fs::path& program,
                std::vector<const char*> args) {
  const pid_t child = fork();
  if (child != 0) return child;
  const int out = open((dir.parent_path() / "out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err = open((dir.parent_path() / "err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0 || chdir(dir.c_str()) != 0) {
    _exit(99);
  }
  if (inChild) inChild();
  args.insert(args.begin(), program.c_str());
#ifdef VALDRANE_EMULATOR  // a cross-built tool; what is preloaded is for it, not the emulator
  if (const char* preload = getenv("LD_PRELOAD")) {
    setenv("QEMU_SET_ENV", ("LD_PRELOAD=" + std::string(preload)).c_str(), 1);
    unsetenv("LD_PRELOAD");
  }
  args.insert(args.begin(), VALDRANE_EMULATOR);
#endif
  args.push_back(nullptr);
  execvp(args[0], const_cast<char**>(args.data()));
  _exit(98);
}

TToolRun WaitTool(pid_t pid, const fs::path& dir) {
  TToolRun run;
  struct rusage usage {};
  if (pid <= 0 || wait4(pid, &run.Status, 0, &usage) != pid) return run;
  run.PeakKiB = usage.ru_maxrss;
  ReadOutput(dir, run);
  return run;
}

TToolRun RunToolWith(const fs::path& dir, const std::vector<const char*>& args) {
  return RunTool(dir, {}, VALDRANE_BINARY, args);
}
