#include "tool_run.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <regex>

namespace fs = std::filesystem;

// Runs the tool in `dir`; `shellSetup` runs first in the same shell (a
// resource limit, say). Standard error goes to dir/../stderr.txt.
TRun RunTool(const fs::path& dir, const std::string& shellSetup) {
  const std::string command = "cd '" + dir.string() + "' && " + shellSetup + " && exec '" +
                              VALDRANE_BINARY + "' 2>../stderr.txt";
  TRun run;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  std::size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
  const int status = pclose(pipe);
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

pid_t StartTool(const fs::path& dir, const fs::path& out, const fs::path& err,
                const std::function<void()>& inChild, const fs::path& program) {
  const pid_t child = fork();
  if (child != 0) return child;
  const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (outFd < 0 || errFd < 0 || dup2(outFd, 1) < 0 || dup2(errFd, 2) < 0 ||
      chdir(dir.c_str()) != 0) {
    _exit(99);
  }
  if (inChild) inChild();
  execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
  _exit(98);
}

int WaitTool(pid_t pid, struct rusage* usage) {
  int status = 0;
  struct rusage ignored;
  if (wait4(pid, &status, 0, usage != nullptr ? usage : &ignored) != pid) return -1;
  return status;
}

std::vector<std::string> SplitCrlf(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  EXPECT_EQ(start, text.size()) << "text after the last CRLF";
  return lines;
}

std::map<std::string, TEntry> ParseEntries(const std::vector<std::string>& lines) {
  static const std::regex stage(
      "(read|down|border|bg|up|copy|div|substract|write|total) "
      "(0|[1-9][0-9]*)\\.[0-9]{3}");
  static const std::regex failure("image (.*) (read|write) error");
  std::map<std::string, TEntry> entries;
  TEntry current;
  for (std::size_t i = 2; i < lines.size(); ++i) {
    std::smatch match;
    if (std::regex_match(lines[i], match, stage)) {
      current.labels.push_back(match[1]);
    } else if (std::regex_match(lines[i], match, failure)) {
      current.outcome = match[2].str() + " error";
      entries[match[1]] = current;
      current = TEntry{};
    } else {
      current.outcome = "done";
      entries[lines[i]] = current;
      current = TEntry{};
    }
  }
  EXPECT_TRUE(current.labels.empty()) << "report ends inside an entry";
  return entries;
}

const std::vector<std::string> GreyLabels = {"read", "down", "border", "bg",   "up",
                                             "copy", "div",  "write",  "total"};
const std::vector<std::string> ColourLabels = {"read", "down", "border",    "bg",    "up",
                                               "copy", "div",  "substract", "write", "total"};
