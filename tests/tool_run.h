// Running the built program in a folder of pages and reading its report.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct TRun {
  std::string out;
  int exitCode = -1;
};

// Runs the tool in `dir` and waits for it; `shellSetup` runs first in the
// same shell (a resource limit, say). Standard error goes to dir/../stderr.txt.
TRun RunTool(const std::filesystem::path& dir, const std::string& shellSetup = "true");

// Starts the tool in `dir` without waiting, its standard output and error
// going to the files given; `inChild` runs in the new process just before
// the program starts (to set a limit or drop privileges). `program` is the
// built tool unless another copy of it is given. Returns the process id,
// or -1 when no process could be started.
pid_t StartTool(const std::filesystem::path& dir, const std::filesystem::path& out,
                const std::filesystem::path& err, const std::function<void()>& inChild = {},
                const std::filesystem::path& program = VALDRANE_BINARY);

// Waits for a started tool; its wait status, and its resource use if asked.
int WaitTool(pid_t pid, struct rusage* usage = nullptr);

// The lines of a report, each ended by CRLF (a test fails on anything else).
std::vector<std::string> SplitCrlf(const std::string& text);

// One entry's part of the report: its stage labels in order and how it ended
// ("done", "read error" or "write error").
struct TEntry {
  std::vector<std::string> labels;
  std::string outcome;
};

// The entries of a report after its two banner lines, by file name.
std::map<std::string, TEntry> ParseEntries(const std::vector<std::string>& lines);

extern const std::vector<std::string> GreyLabels;
extern const std::vector<std::string> ColourLabels;
