// What the driver needs of Windows. Names are UTF-16 for the system and
// UTF-8 for the program.
#include "platform.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include "safe_file.h"
#include "wide_text.h"

void PrepareOutput() {
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

bool StdoutIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

bool StderrIsTerminal() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

void WriteError(const char* data, std::size_t size) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), data, static_cast<DWORD>(size), &written, nullptr);
}

int OpenForAppending(const std::string& path, std::string& error) {
  const int fd =
      _wopen(WideText(path.c_str()).c_str(),
             _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
  if (fd < 0) error = std::strerror(errno);
  return fd;
}

bool AppendBytes(int handle, const char* data, std::size_t size) {
  while (size > 0) {
    const int written =
        _write(handle, data, static_cast<unsigned>(std::min<std::size_t>(size, 1u << 30)));
    if (written <= 0) return false;
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

long WriteSomeOutput(const char* data, std::size_t size) {
  // The C library's descriptor, in binary mode since PrepareOutput.
  return _write(1, data, static_cast<unsigned>(std::min<std::size_t>(size, 1u << 30)));
}

void SetTerminalTitle(const char* title) {
  if (StdoutIsTerminal()) SetConsoleTitleW(WideText(title).c_str());
}

bool NameMatchesTif(const std::string& name) {
  const auto endsIn = [&name](const char* ending, std::size_t length) {
    return name.size() >= length &&
           _strnicmp(name.c_str() + name.size() - length, ending, length) == 0;
  };
  return endsIn(".tif", 4) || endsIn(".tiff", 5);
}

namespace {

// Calls `take` with the UTF-8 name and attributes of every entry of
// `folder`; false when it cannot be listed.
template <typename TTake>
bool ForEachEntry(const std::string& folder, TTake&& take) {
  WIN32_FIND_DATAW entry;
  const HANDLE find = FindFirstFileExW(WideText(folder + "\\*").c_str(), FindExInfoBasic, &entry,
                                       FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  do {
    take(Utf8Text(entry.cFileName), entry.dwFileAttributes);
  } while (FindNextFileW(find, &entry));
  FindClose(find);
  return true;
}

// The identity of what `path` leads to, links followed; false when it
// cannot be opened.
bool IdentityOf(const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
  const HANDLE file = CreateFileW(WideText(path).c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  const bool known = file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &info);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return known;
}

}  // namespace

bool ListFolder(const std::string& folder, std::vector<TFolderEntry>& entries) {
  entries.clear();
  return ForEachEntry(folder, [&entries](const std::string& name, DWORD attributes) {
    if (name == "." || name == "..") return;
    entries.push_back({name, (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                                 (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0});
  });
}

int PathKind(const std::string& path) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!IdentityOf(path, info)) return -1;
  return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? 1 : 0;
}

bool MakeFolders(const std::string& path) {
  for (std::size_t slash = path.find_first_of("/\\", 1);;
       slash = path.find_first_of("/\\", slash + 1)) {
    const std::string folder = path.substr(0, slash);
    if (!folder.empty() && folder.back() != ':' &&
        !CreateDirectoryW(WideText(folder).c_str(), nullptr) &&
        GetLastError() != ERROR_ALREADY_EXISTS) {
      return false;
    }
    if (slash == std::string::npos) break;
  }
  return PathKind(path) == 1;
}

std::string FileKey(const std::string& path) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!IdentityOf(path, info)) return {};
  return std::to_string(info.dwVolumeSerialNumber) + ":" + std::to_string(info.nFileIndexHigh) +
         ":" + std::to_string(info.nFileIndexLow);
}

std::uint64_t NowMs() { return GetTickCount64(); }

unsigned AvailableCpus() {
  DWORD_PTR process = 0, system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system) || process == 0) return 1;
  unsigned cpus = 0;
  for (; process != 0; process &= process - 1) ++cpus;
  return cpus;
}

std::uint64_t UsableMemory() {
  MEMORYSTATUSEX status{};
  status.dwLength = sizeof status;
  if (!GlobalMemoryStatusEx(&status)) return ~std::uint64_t{0};
  return std::min<std::uint64_t>(status.ullAvailPhys, status.ullAvailVirtual);
}

namespace {

void (*FaultBeforeExit)() = nullptr;
void (*StopBeforeExit)() = nullptr;

void WriteError(const char* text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &written,
            nullptr);
}

[[noreturn]] void EndByFault(const char* what) {
  if (FaultBeforeExit != nullptr) FaultBeforeExit();
  WriteError("valdrane: fatal fault: ");
  WriteError(what);
  WriteError("\r\n");
  TerminateProcess(GetCurrentProcess(), 1);
  ExitProcess(1);  // not reached
}

LONG WINAPI OnFault(EXCEPTION_POINTERS* fault) {
  const DWORD code = fault->ExceptionRecord->ExceptionCode;
  EndByFault(code == EXCEPTION_IN_PAGE_ERROR ? "bus error"
             : code == EXCEPTION_ILLEGAL_INSTRUCTION || code == EXCEPTION_PRIV_INSTRUCTION
                 ? "illegal instruction"
             : code == EXCEPTION_INT_DIVIDE_BY_ZERO ||
                     (code >= EXCEPTION_FLT_DENORMAL_OPERAND && code <= EXCEPTION_FLT_UNDERFLOW)
                 ? "floating-point fault"
                 : "access violation");
}

void OnAbort(int) { EndByFault("aborted"); }

BOOL WINAPI OnStop(DWORD event) {
  if (StopBeforeExit != nullptr) StopBeforeExit();
  WriteError("valdrane: stopped by ");
  WriteError(event == CTRL_C_EVENT ? "SIGINT" : event == CTRL_BREAK_EVENT ? "SIGBREAK" : "SIGHUP");
  WriteError("\r\n");
  TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return TRUE;
}

}  // namespace

void InstallStopHandler(void (*beforeExit)()) {
  StopBeforeExit = beforeExit;
  SetConsoleCtrlHandler(OnStop, TRUE);
}

void InstallFaultHandler(void (*beforeExit)()) {
  FaultBeforeExit = beforeExit;
  // No dialog box when the process faults or aborts.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
  SetUnhandledExceptionFilter(OnFault);
  std::signal(SIGABRT, OnAbort);
}
