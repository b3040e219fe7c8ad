// The tool run as a child process on Windows, through the command processor.
#include <stdlib.h>

#include "harness.h"

TToolRun RunTool(const fs::path& dir) {
  // Cross-built and run under Wine, the program's path is a Unix one, and
  // Wine's drive Z: is the Unix root.
  fs::path program = fs::path(VALDRANE_BINARY).make_preferred();
  if (!program.has_root_name()) program = "Z:" / program;
  TToolRun run;
  run.Status = _wsystem((L"cd /d \"" + dir.wstring() + L"\" && \"" + program.wstring() +
                         L"\" > ..\\out.txt 2> ..\\err.txt")
                            .c_str());
  ReadOutput(dir, run);
  return run;
}
