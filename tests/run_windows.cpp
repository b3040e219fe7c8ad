// The tool run as a child process on Windows, through the command processor.
#include <stdlib.h>

#include "harness.h"

TToolRun RunTool(const fs::path& dir) { return RunToolWith(dir, {}); }

TToolRun RunToolWith(const fs::path& dir, const std::vector<const char*>& args) {
  // Cross-built and run under Wine, the program's path is a Unix one, and
  // Wine's drive Z: is the Unix root.
  fs::path program = fs::path(VALDRANE_BINARY).make_preferred();
  if (!program.has_root_name()) program = "Z:" / program;
  std::wstring arguments;
  for (const char* arg : args) arguments += L" " + fs::path(arg).wstring();
  TToolRun run;
  run.Status = _wsystem((L"cd /d \"" + dir.wstring() + L"\" && \"" + program.wstring() + L"\"" +
                         arguments + L" > ..\\out.txt 2> ..\\err.txt")
                            .c_str());
  ReadOutput(dir, run);
  return run;
}
