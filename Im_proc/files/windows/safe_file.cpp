// Safe replacement on Windows. The page is opened once, sharing deletion so
// that it can be replaced while open; the temporary file is created beside
// the page's real file (links resolved) as a new file that nobody else may
// write while it is open, given the page's attributes and access control
// list, flushed with FlushFileBuffers, and renamed over the page with
// MoveFileExW, which either replaces the page whole or leaves it. Just
// before, both names must still name the files this run opened.
// (ReplaceFileW, which would also keep alternate data streams, can fail
// halfway with the page renamed away.)
#define _CRT_RAND_S  // rand_s
#include "safe_file.h"

#include <fcntl.h>
#include <io.h>
#include <stdlib.h>
#include <windows.h>
// After windows.h:
#include <aclapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <vector>

#include "temporary_name.h"
#include "wide_text.h"

namespace {

HANDLE HandleOf(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

// Where a positioned read or write of a synchronous handle goes.
OVERLAPPED PlaceAt(std::uint64_t at) {
  OVERLAPPED place{};
  place.Offset = static_cast<DWORD>(at);
  place.OffsetHigh = static_cast<DWORD>(at >> 32);
  return place;
}

bool IdentityOf(HANDLE file, TPageIdentity& identity, DWORD& attributes) {
  BY_HANDLE_FILE_INFORMATION info;
  FILE_BASIC_INFO times;
  if (file == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(file, &info) ||
      !GetFileInformationByHandleEx(file, FileBasicInfo, &times, sizeof times)) {
    return false;
  }
  identity.Device = info.dwVolumeSerialNumber;
  identity.Inode = std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow;
  identity.Size = std::uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow;
  identity.Modified = times.LastWriteTime.QuadPart;
  identity.Changed = times.ChangeTime.QuadPart;
  attributes = info.dwFileAttributes;
  return true;
}

// Whether `path` names the very file given, itself and not a link to it.
// With `exactly`, also unchanged: the same size and times.
bool NamesFile(const std::wstring& path, const TPageIdentity& identity, bool exactly) {
  const HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  TPageIdentity named;
  DWORD attributes = 0;
  const bool same = IdentityOf(file, named, attributes) && named.Device == identity.Device &&
                    named.Inode == identity.Inode && (!exactly || named == identity) &&
                    (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return same;
}

// Marks the file open in `file` for deletion when it is closed; the handle
// was opened with DELETE access, so no name is looked up.
void DeleteWhenClosed(HANDLE file) {
  FILE_DISPOSITION_INFO disposition{TRUE};
  SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition);
}

// Gives the file open in `to` the access control list of the one open in
// `from`; where the volume keeps no lists (FAT, exFAT), there is none to give.
bool CopyAccessList(HANDLE from, HANDLE to) {
  DWORD flags = 0;
  if (GetVolumeInformationByHandleW(to, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
      (flags & FILE_PERSISTENT_ACLS) == 0) {
    return true;
  }
  PACL rights = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  const bool ok =
      GetSecurityInfo(from, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &rights,
                      nullptr, &descriptor) == ERROR_SUCCESS &&
      GetSecurityDescriptorControl(descriptor, &control, &revision) &&
      SetSecurityInfo(to, SE_FILE_OBJECT,
                      DACL_SECURITY_INFORMATION | ((control & SE_DACL_PROTECTED) != 0
                                                       ? PROTECTED_DACL_SECURITY_INFORMATION
                                                       : UNPROTECTED_DACL_SECURITY_INFORMATION),
                      nullptr, nullptr, rights, nullptr) == ERROR_SUCCESS;
  if (descriptor != nullptr) LocalFree(descriptor);
  return ok;
}

// The folders whose lock this run holds, by the names of their mutexes: a
// second CreateMutexW of one name in the same process would take the
// process for another run.
std::mutex LocksGuard;
std::vector<std::wstring> Locked;

// Whether this run holds the lock of the folder at `path`, taking it if no
// other process holds it: a named mutex for the folder's identity (volume
// and file index), held until the process ends however it ends; no file is
// made in the folder. A folder whose identity cannot be read counts as held:
// nothing can be listed or written there either.
bool HoldLock(const std::wstring& path) {
  const HANDLE folder = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  BY_HANDLE_FILE_INFORMATION info;
  const bool known = folder != INVALID_HANDLE_VALUE && GetFileInformationByHandle(folder, &info);
  if (folder != INVALID_HANDLE_VALUE) CloseHandle(folder);
  if (!known) return true;
  // Global: runs of other users and sessions see it too.
  const std::wstring name = L"Global\\valdrane-" + std::to_wstring(info.dwVolumeSerialNumber) +
                            L"-" + std::to_wstring(info.nFileIndexHigh) + L"-" +
                            std::to_wstring(info.nFileIndexLow);
  const std::lock_guard<std::mutex> hold(LocksGuard);
  if (std::find(Locked.begin(), Locked.end(), name) != Locked.end()) return true;
  const HANDLE lock = CreateMutexW(nullptr, FALSE, name.c_str());
  // Access denied: another user's run holds it.
  if (lock == nullptr) return GetLastError() != ERROR_ACCESS_DENIED;
  if (GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(lock);
    return false;
  }
  Locked.push_back(name);
  return true;
}

// The temporary files of the replacements under way. A stop comes on a
// thread of its own (a console event) and a fault on the thread that
// faulted, so the guard is only waited for a while.
std::timed_mutex Guard;
std::vector<HANDLE> InFlight;
bool Stopping = false;

void Forget(HANDLE file) {
  InFlight.erase(std::remove(InFlight.begin(), InFlight.end(), file), InFlight.end());
}

void LetGo(std::vector<void*>& held) {
  for (void* folder : held) CloseHandle(folder);
  held.clear();
}

// Opens, one by one from the root, the folders of `target` (a missing one is
// made), each shared for reading and writing but not deletion, so that none
// can be moved or replaced while held; a reparse point (a link or a junction)
// or a non-folder on the way is refused. The handles go into `held`.
bool HoldOutputFolders(const TOutputPlace& target, std::vector<void*>& held) {
  std::wstring folder = WideText(target.Root);
  for (std::size_t from = 0, slash; (slash = target.Below.find('/', from)) != std::string::npos;
       from = slash + 1) {
    const std::string part = target.Below.substr(from, slash - from);
    if (part.empty() || part == "." || part == "..") return false;
    folder += L"\\" + WideText(part);
    if (!CreateDirectoryW(folder.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
      return false;
    }
    const HANDLE handle = CreateFileW(
        folder.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    const bool plain = handle != INVALID_HANDLE_VALUE &&
                       GetFileInformationByHandle(handle, &info) &&
                       (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                       (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
    if (handle != INVALID_HANDLE_VALUE) held.push_back(handle);
    if (!plain) return false;
  }
  return true;
}

}  // namespace

std::int64_t ReadAt(int fd, void* data, std::size_t size, std::uint64_t at) {
  OVERLAPPED place = PlaceAt(at);
  DWORD done = 0;
  if (ReadFile(HandleOf(fd), data, static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30)), &done,
               &place)) {
    return done;
  }
  return GetLastError() == ERROR_HANDLE_EOF ? 0 : -1;
}

std::int64_t WriteAt(int fd, const void* data, std::size_t size, std::uint64_t at) {
  OVERLAPPED place = PlaceAt(at);
  DWORD done = 0;
  return WriteFile(HandleOf(fd), data, static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30)),
                   &done, &place)
             ? static_cast<std::int64_t>(done)
             : -1;
}

std::uint64_t FileSize(int fd) {
  LARGE_INTEGER size;
  return GetFileSizeEx(HandleOf(fd), &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
}

std::int32_t ClaimFolder(const TFolderPlace& place) {
  // The folders below the root are checked one by one: none a reparse point.
  std::wstring path = WideText(place.Root);
  const std::wstring below = WideText(place.Below);
  for (std::size_t from = 0, slash; from <= below.size(); from = slash + 1) {
    slash = std::min(below.find(L'/', from), below.size());
    if (slash > from) path += L"\\" + below.substr(from, slash - from);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (from > 0 && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)) {
      return 0;
    }
  }
  if (!HoldLock(path)) return -1;
  WIN32_FIND_DATAW entry;
  const HANDLE find = FindFirstFileExW((path + L"\\*").c_str(), FindExInfoBasic, &entry,
                                       FindExSearchNameMatch, nullptr, 0);
  if (find == INVALID_HANDLE_VALUE) return 1;
  do {
    if (IsTemporaryName(Utf8Text(entry.cFileName).c_str()) &&
        (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0) {
      DeleteFileW((path + L"\\" + entry.cFileName).c_str());
    }
  } while (FindNextFileW(find, &entry));
  FindClose(find);
  return 1;
}

TSafeWrite::~TSafeWrite() { AbortSafeWrite(*this); }

TPageFile::~TPageFile() {
  if (Fd >= 0) _close(Fd);
}

std::int32_t OpenPage(const char* name, TPageFile& page, std::uint32_t /*firm*/) {
  if (page.Fd >= 0) _close(page.Fd);
  page.Fd = -1;
  page.Name = name;
  // A folder cannot be opened this way; a device or a pipe is refused below.
  const HANDLE file = CreateFileW(WideText(name).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return -1;
  if (GetFileType(file) == FILE_TYPE_DISK) {
    page.Fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDONLY | _O_BINARY);
  }
  DWORD attributes = 0;
  if (page.Fd >= 0 && IdentityOf(file, page.Opened, attributes)) return 1;
  if (page.Fd >= 0) {
    _close(page.Fd);  // closes the handle too
    page.Fd = -1;
    return -1;
  }
  CloseHandle(file);
  return -1;
}

std::int32_t BeginSafeWrite(const TPageFile& page, TSafeWrite& write, const TOutputPlace* target) {
  AbortSafeWrite(write);
  write.Replacing = true;
  // A place without a Root is the page's own.
  if (target != nullptr && target->Root.empty()) target = nullptr;
  DWORD attributes = 0;
  TPageIdentity now;
  // The page's own place must be writable; another place need not be.
  if (page.Fd < 0 || !IdentityOf(HandleOf(page.Fd), now, attributes) ||
      (target == nullptr && (attributes & FILE_ATTRIBUTE_READONLY) != 0)) {
    return -1;
  }
  std::vector<wchar_t> path(32768);
  DWORD length = 0;
  if (target == nullptr) {
    length =
        GetFinalPathNameByHandleW(HandleOf(page.Fd), path.data(), static_cast<DWORD>(path.size()),
                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  } else if (!HoldOutputFolders(*target, write.Held)) {
    return -1;
  } else {
    length = GetFullPathNameW(WideText(target->Root + "\\" + target->Below).c_str(),
                              static_cast<DWORD>(path.size()), path.data(), nullptr);
  }
  const std::wstring real(path.data(), length < path.size() ? length : 0);
  const std::size_t slash = real.find_last_of(L"\\/");
  write.Page = page.Opened;
  if (slash == std::wstring::npos ||
      !HoldLock(real.substr(0, real[slash - 1] == L':' ? slash + 1 : slash))) {
    return -1;
  }
  if (target == nullptr && !NamesFile(real, write.Page, false)) return -1;
  if (target != nullptr) {
    // What is there now, a regular file, or nothing, may be replaced.
    const HANDLE there = CreateFileW(real.c_str(), FILE_READ_ATTRIBUTES,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    DWORD kind = 0;
    const bool exists = IdentityOf(there, write.Page, kind);
    if (there != INVALID_HANDLE_VALUE) CloseHandle(there);
    if (exists && ((kind & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0 ||
                   (write.Page.Device == now.Device && write.Page.Inode == now.Inode))) {
      return -1;
    }
    if (!exists && GetLastError() != ERROR_FILE_NOT_FOUND) return -1;
    write.Replacing = exists;
  }
  write.PageName = Utf8Text(real);

  HANDLE temp = INVALID_HANDLE_VALUE;
  {
    const std::lock_guard<std::timed_mutex> hold(Guard);
    for (int attempt = 0; attempt < 100 && !Stopping && temp == INVALID_HANDLE_VALUE; ++attempt) {
      unsigned char random[TemporaryLetters];
      for (unsigned char& r : random) {
        unsigned int value = 0;
        if (rand_s(&value) != 0) return -1;
        r = static_cast<unsigned char>(value);
      }
      const std::wstring name = real.substr(0, slash + 1) + WideText(TemporaryName(random));
      temp = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE | WRITE_DAC,
                         FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
      if (temp == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) break;
      if (temp != INVALID_HANDLE_VALUE) write.TempName = Utf8Text(name);
    }
    if (temp == INVALID_HANDLE_VALUE) return -1;
    write.TempFd = _open_osfhandle(reinterpret_cast<intptr_t>(temp), _O_RDWR | _O_BINARY);
    if (write.TempFd < 0) {
      DeleteWhenClosed(temp);
      CloseHandle(temp);
      return -1;
    }
    InFlight.push_back(temp);
    write.Slot = 0;
  }
  // The attributes a user sets by hand, and who may do what with the page
  // (the new file would otherwise have the folder's inherited rights).
  FILE_BASIC_INFO basic{};
  basic.FileAttributes = attributes & (FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN |
                                       FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);
  const bool ok = (basic.FileAttributes == 0 ||
                   SetFileInformationByHandle(temp, FileBasicInfo, &basic, sizeof basic)) &&
                  CopyAccessList(HandleOf(page.Fd), temp);
  if (!ok) {
    AbortSafeWrite(write);
    return -1;
  }
  return 1;
}

bool OutputIsCurrent(const TPageFile& /*page*/, const TOutputPlace& /*target*/) {
  return false;  // no record is kept here: every output is made again
}

void ClosePage(TPageFile& page) {
  if (page.Fd >= 0) _close(page.Fd);
  page.Fd = -1;
}

std::int32_t CommitSafeWrite(TSafeWrite& write) {
  const HANDLE temp = HandleOf(write.TempFd);
  const std::wstring page = WideText(write.PageName), name = WideText(write.TempName);
  TPageIdentity written;
  DWORD attributes = 0;
  bool ok = FlushFileBuffers(temp) && IdentityOf(temp, written, attributes);
  {
    // Held across the replacement, so that a stop removes either the
    // temporary file or nothing, never the page it has become.
    const std::lock_guard<std::timed_mutex> hold(Guard);
    // A file made anew takes a place that must still be free: no
    // MOVEFILE_REPLACE_EXISTING then.
    ok = ok && !Stopping && (!write.Replacing || NamesFile(page, write.Page, true)) &&
         NamesFile(name, written, false) &&
         MoveFileExW(name.c_str(), page.c_str(),
                     (write.Replacing ? MOVEFILE_REPLACE_EXISTING : 0) | MOVEFILE_WRITE_THROUGH);
    if (ok) Forget(temp);
  }
  if (!ok) {
    AbortSafeWrite(write);
    return -1;
  }
  _close(write.TempFd);
  write.TempFd = -1;
  write.Slot = -1;
  write.TempName.clear();
  LetGo(write.Held);
  return 1;
}

void AbortSafeWrite(TSafeWrite& write) {
  LetGo(write.Held);
  if (write.TempFd >= 0) {
    const HANDLE temp = HandleOf(write.TempFd);
    DeleteWhenClosed(temp);  // before it leaves the table, for a stop in between
    {
      const std::lock_guard<std::timed_mutex> hold(Guard);
      Forget(temp);
    }
    _close(write.TempFd);
  }
  write.TempFd = -1;
  write.Slot = -1;
  write.TempName.clear();
}

// The threads between HoldStops and ReleaseStops. A stop comes on a thread
// of its own, so nothing needs holding back.
std::atomic<int> Holding{0};
std::atomic<bool> StopSeen{false};

bool HoldStops() {
  ++Holding;
  if (!StopSeen.load()) return true;
  --Holding;
  return false;
}

void ReleaseStops() { --Holding; }

bool RunStopping() { return Stopping; }

void RemoveTemporaryFiles() {
  StopSeen.store(true);
  const auto start = std::chrono::steady_clock::now();
  while (Holding.load() > 0 && std::chrono::steady_clock::now() - start < std::chrono::seconds(2)) {
  }
  // A thread that faulted while holding the guard leaves its file for the
  // next run to remove.
  if (!Guard.try_lock_for(std::chrono::seconds(2))) return;
  Stopping = true;
  for (const HANDLE temp : InFlight) DeleteWhenClosed(temp);
  Guard.unlock();
}
