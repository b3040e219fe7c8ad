// The tool run as a child process on Windows.
#include <windows.h>

#include "harness.h"

TToolRun RunTool(const fs::path& dir) {
  TToolRun run;
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const auto create = [&inherit](const fs::path& path) {
    return CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  const HANDLE out = create(dir.parent_path() / "out.txt"),
               err = create(dir.parent_path() / "err.txt");
  STARTUPINFOW start{};
  start.cb = sizeof start;
  start.dwFlags = STARTF_USESTDHANDLES;
  start.hStdOutput = out;
  start.hStdError = err;
  PROCESS_INFORMATION process{};
  std::wstring command = L"\"" + fs::path(VALDRANE_BINARY).wstring() + L"\"";
  if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, dir.c_str(),
                     &start, &process)) {
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    run.Status = static_cast<int>(code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  CloseHandle(out);
  CloseHandle(err);
  ReadOutput(dir, run);
  return run;
}
