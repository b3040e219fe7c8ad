#include "tiff_handle.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

void NoteReadWarning(TReadWarnings& noted, const char* module, const char* format, va_list args) {
  char message[512];
  va_list copy;
  va_copy(copy, args);
  std::vsnprintf(message, sizeof message, format, copy);
  va_end(copy);
  if (std::strstr(message, "\"StripByteCounts\" field, ignoring") != nullptr ||
      std::strstr(message, "Incorrect count for \"Strip") != nullptr ||
      std::strstr(message, "Incorrect count for \"Tile") != nullptr) {
    noted.GuessedStripSizes = true;
  }
  if (module != nullptr && std::strcmp(module, "JPEGLib") == 0 &&
      (std::strncmp(message, "Corrupt JPEG data", 17) == 0 ||
       std::strncmp(message, "Premature end of JPEG", 21) == 0)) {
    noted.DamagedJpeg = true;
  }
}

#ifndef VALDRANE_OLD_LIBTIFF
int NoteWarningOfFile(TIFF*, void* warnings, const char* module, const char* format, va_list args) {
  NoteReadWarning(*static_cast<TReadWarnings*>(warnings), module, format, args);
  return 0;  // let libtiff's usual handler print the warning as well
}
#else
// Before libtiff 4.5 a warning handler is global: it notes into the page
// that the calling thread is reading.
thread_local TReadWarnings* WarningsOfThread = nullptr;

void NoteWarningOfThread(thandle_t, const char* module, const char* format, va_list args) {
  if (WarningsOfThread != nullptr) NoteReadWarning(*WarningsOfThread, module, format, args);
}
#endif

TFileHandle& HandleOf(thandle_t handle) { return *static_cast<TFileHandle*>(handle); }

tmsize_t HandleRead(thandle_t handle, void* data, tmsize_t size) {
  TFileHandle& file = HandleOf(handle);
  const std::int64_t n = ReadAt(file.Fd, data, static_cast<std::size_t>(size), file.At);
  if (n > 0) file.At += static_cast<std::uint64_t>(n);
  return static_cast<tmsize_t>(n);
}

tmsize_t HandleWrite(thandle_t handle, void* data, tmsize_t size) {
  TFileHandle& file = HandleOf(handle);
  // A write cut short (a disk filling up) is tried on from where it stopped,
  // so that the one that fails says why.
  tmsize_t done = 0;
  while (done < size) {
    const std::int64_t n = WriteAt(file.Fd, static_cast<char*>(data) + done,
                                   static_cast<std::size_t>(size - done), file.At);
    if (n <= 0) {
      if (file.Error == 0) file.Error = n < 0 ? errno : ENOSPC;
      break;
    }
    file.At += static_cast<std::uint64_t>(n);
    done += static_cast<tmsize_t>(n);
  }
  return done;
}

toff_t HandleSize(thandle_t handle) { return FileSize(HandleOf(handle).Fd); }

toff_t HandleSeek(thandle_t handle, toff_t offset, int whence) {
  TFileHandle& file = HandleOf(handle);
  file.At = whence == SEEK_SET   ? offset
            : whence == SEEK_CUR ? file.At + offset
                                 : HandleSize(handle) + offset;
  return file.At;
}

int HandleClose(thandle_t) { return 0; }  // the descriptor belongs to the caller
int HandleMap(thandle_t, void**, toff_t*) { return 0; }
void HandleUnmap(thandle_t, void*, toff_t) {}

TMemoryFile& MemoryOf(thandle_t handle) { return *static_cast<TMemoryFile*>(handle); }

tmsize_t MemoryRead(thandle_t handle, void* data, tmsize_t size) {
  TMemoryFile& file = MemoryOf(handle);
  const std::uint64_t end = file.Dropped + file.Bytes.size();
  const auto n = static_cast<std::size_t>(
      std::min<std::uint64_t>(static_cast<std::uint64_t>(size), end - std::min(file.At, end)));
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t at = file.At + i;
    static_cast<std::uint8_t*>(data)[i] = at < file.Dropped ? 0 : file.Bytes[at - file.Dropped];
  }
  file.At += n;
  return static_cast<tmsize_t>(n);
}

tmsize_t MemoryWrite(thandle_t handle, void* data, tmsize_t size) {
  TMemoryFile& file = MemoryOf(handle);
  const auto n = static_cast<std::size_t>(size);
  // What lands before the bytes kept (a header updated) is lost.
  if (file.At + n <= file.Dropped) {
    file.At += n;
    return size;
  }
  const std::size_t skip = file.At < file.Dropped ? file.Dropped - file.At : 0;
  const std::uint64_t at = file.At + skip - file.Dropped;
  // No exception may cross libtiff: memory running out fails the write.
  try {
    if (at + (n - skip) > file.Bytes.size()) file.Bytes.resize(at + (n - skip));
  } catch (const std::bad_alloc&) {
    return -1;
  }
  std::memcpy(file.Bytes.data() + at, static_cast<std::uint8_t*>(data) + skip, n - skip);
  file.At += n;
  return size;
}

toff_t MemorySeek(thandle_t handle, toff_t offset, int whence) {
  TMemoryFile& file = MemoryOf(handle);
  file.At = whence == SEEK_SET   ? offset
            : whence == SEEK_CUR ? file.At + offset
                                 : file.Dropped + file.Bytes.size() + offset;
  return file.At;
}

int MemoryClose(thandle_t) { return 0; }
toff_t MemorySize(thandle_t handle) {
  return MemoryOf(handle).Dropped + MemoryOf(handle).Bytes.size();
}
int MemoryMap(thandle_t, void**, toff_t*) { return 0; }
void MemoryUnmap(thandle_t, void*, toff_t) {}

}  // namespace

void CloseForReading(TIFF* tif) {
  if (tif != nullptr) TIFFClose(tif);
#ifdef VALDRANE_OLD_LIBTIFF
  WarningsOfThread = nullptr;
#endif
}

TIFF* OpenForReading(const TPageFile& page, TFileHandle& handle, TReadWarnings& warnings) {
  handle = TFileHandle{page.Fd, 0};
#ifndef VALDRANE_OLD_LIBTIFF
  TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
  TIFF* tif = nullptr;
  if (options != nullptr) {
    TIFFOpenOptionsSetWarningHandlerExtR(options, NoteWarningOfFile, &warnings);
    tif = TIFFClientOpenExt(page.Name.c_str(), "rc", &handle, HandleRead, HandleWrite, HandleSeek,
                            HandleClose, HandleSize, HandleMap, HandleUnmap, options);
    TIFFOpenOptionsFree(options);
  }
#else
  static const TIFFErrorHandlerExt installed = TIFFSetWarningHandlerExt(NoteWarningOfThread);
  (void)installed;
  WarningsOfThread = &warnings;
  TIFF* tif = TIFFClientOpen(page.Name.c_str(), "rc", &handle, HandleRead, HandleWrite, HandleSeek,
                             HandleClose, HandleSize, HandleMap, HandleUnmap);
#endif
  if (tif == nullptr) CloseForReading(nullptr);
  return tif;
}

TIFF* OpenForWriting(const char* name, TFileHandle& handle, bool big, bool bigEndian) {
  handle.At = 0;
  const char* mode = big ? (bigEndian ? "w8b" : "w8l") : (bigEndian ? "wb" : "wl");
  return TIFFClientOpen(name, mode, &handle, HandleRead, HandleWrite, HandleSeek, HandleClose,
                        HandleSize, HandleMap, HandleUnmap);
}

void LetGo(TMemoryFile& memory) {
  memory.Dropped += memory.Bytes.size();
  memory.Bytes.clear();
}

TIFF* OpenInMemory(TMemoryFile& memory, bool bigEndian) {
  return TIFFClientOpen("memory", bigEndian ? "wb" : "wl", &memory, MemoryRead, MemoryWrite,
                        MemorySeek, MemoryClose, MemorySize, MemoryMap, MemoryUnmap);
}

tmsize_t ReadRawBlock(TIFF* tif, std::uint32_t k, void* data, tmsize_t size) {
  return TIFFIsTiled(tif) != 0 ? TIFFReadRawTile(tif, k, data, size)
                               : TIFFReadRawStrip(tif, k, data, size);
}

tmsize_t WriteRawBlock(TIFF* tif, std::uint32_t k, void* data, tmsize_t size) {
  return TIFFIsTiled(tif) != 0 ? TIFFWriteRawTile(tif, k, data, size)
                               : TIFFWriteRawStrip(tif, k, data, size);
}
