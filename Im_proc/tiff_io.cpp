#include "tiff_io.h"

#include <tiffio.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "grey.h"
#include "safe_file.h"

namespace {

constexpr std::uint32_t PhotometricGray = PHOTOMETRIC_MINISBLACK;  // 1
constexpr std::uint32_t PhotometricRgb = PHOTOMETRIC_RGB;          // 2

// Tag values as the file holds them; 0 for a tag that the file lacks.
std::uint32_t Tag16(TIFF* tif, ttag_t tag) {
  std::uint16_t value = 0;
  return TIFFGetField(tif, tag, &value) == 1 ? value : 0;
}

std::uint32_t Tag32(TIFF* tif, ttag_t tag) {
  std::uint32_t value = 0;
  return TIFFGetField(tif, tag, &value) == 1 ? value : 0;
}

float TagFloat(TIFF* tif, ttag_t tag) {
  float value = 0;
  return TIFFGetField(tif, tag, &value) == 1 ? value : 0.0f;
}

// Tag values as they apply, with TIFF's defaults for tags the file lacks.
std::uint32_t Defaulted16(TIFF* tif, ttag_t tag) {
  std::uint16_t value = 0;
  return TIFFGetFieldDefaulted(tif, tag, &value) == 1 ? value : 0;
}

// Rows per strip as the strips are laid out: a missing tag, or one larger
// than the image, means a single strip of all rows.
std::uint32_t StripRows(std::uint32_t rowsPerStrip, std::uint32_t height) {
  return rowsPerStrip == 0 ? height : std::min(rowsPerStrip, height);
}

// Number of strips that cover `height` rows, `rows` to a strip (rows > 0).
std::uint32_t StripsFor(std::uint32_t rows, std::uint32_t height) {
  return height / rows + (height % rows != 0 ? 1 : 0);
}

std::uint32_t SamplesOf(std::uint32_t photometric) { return photometric == PhotometricRgb ? 3 : 1; }

// Where strip k of a page lies in its plane: RowsPerStrip rows from row
// k * RowsPerStrip on, fewer in the last strip.
struct TStripSpan {
  std::size_t Offset;
  tmsize_t Bytes;
};

TStripSpan StripSpan(const TMyImage& image, std::uint32_t k) {
  const std::uint32_t rows = StripRows(image.RowsPerStrip, image.Height);
  const std::uint32_t first = k * rows;
  const std::size_t rowBytes = std::size_t{image.Width} * SamplesOf(image.Photometric);
  return {first * rowBytes, static_cast<tmsize_t>(std::min(rows, image.Height - first) * rowBytes)};
}

// Whether a resolution comes back unchanged from a file written with it: a
// missing one (0), or a value that a TIFF rational (two 32-bit unsigned
// integers) holds to single precision, which libtiff manages from 2^-31 up
// to below 2^32. Larger values come out as x/0, smaller ones as 0; negative
// ones and NaN are not written at all.
bool IsWritableResolution(float resolution) {
  return resolution == 0 || (resolution >= 0x1p-31f && resolution < 0x1p32f);
}

// Whether the open file is a page that can be read and written back exactly
// from its grey or colour plane, for the header already taken from it.
bool IsSupportedPage(TIFF* tif, const TMyImage& header) {
  if (TIFFIsTiled(tif) || !TIFFLastDirectory(tif)) return false;
  if (header.Width == 0 || header.Height == 0) return false;
  if (header.Photometric != PhotometricGray && header.Photometric != PhotometricRgb) return false;
  const std::uint32_t samples = SamplesOf(header.Photometric);
  if (Defaulted16(tif, TIFFTAG_BITSPERSAMPLE) != 8 ||
      Defaulted16(tif, TIFFTAG_SAMPLESPERPIXEL) != samples ||
      Defaulted16(tif, TIFFTAG_PLANARCONFIG) != PLANARCONFIG_CONTIG ||
      Defaulted16(tif, TIFFTAG_SAMPLEFORMAT) != SAMPLEFORMAT_UINT) {
    return false;
  }
  // Every plane index is 32-bit: the colour plane must fit in 2^32 - 1 bytes.
  if (std::uint64_t{header.Width} * header.Height * 3 > 0xFFFFFFFFu) return false;
  if (!IsWritableResolution(header.XResolution) || !IsWritableResolution(header.YResolution)) {
    return false;
  }

  const std::uint32_t rows = StripRows(header.RowsPerStrip, header.Height);
  return header.StripCount == StripsFor(rows, header.Height) &&
         TIFFStripSize(tif) == tmsize_t{rows} * header.Width * samples;
}

// Carried tags. libtiff keeps most tags in a list of "custom" values with
// one calling convention per kind of field (a count passed or not, a pointer
// or a single value); five that the tool carries (NewSubfileType,
// Orientation, PageNumber, XPosition, YPosition) live in its fixed
// directory fields instead.

#ifndef VALDRANE_OLD_LIBTIFF
bool IsAnonymous(const TIFFField* field) { return TIFFFieldIsAnonymous(field) != 0; }
int StorageSize(const TIFFField* field) { return TIFFFieldSetGetSize(field); }
#else
// Before libtiff 4.4: private tags it does not know are named "Tag N", and
// custom rationals are held as floats.
bool IsAnonymous(const TIFFField* field) {
  return std::strncmp(TIFFFieldName(field), "Tag ", 4) == 0;
}
int StorageSize(const TIFFField* field) {
  const TIFFDataType type = TIFFFieldDataType(field);
  return type == TIFF_RATIONAL || type == TIFF_SRATIONAL ? 4 : TIFFDataWidth(type);
}
#endif

// Whether a custom field's values are handed over as a pointer (else as one
// value), for a field whose count is not passed.
bool ByPointer(const TIFFField* field, int count) {
  return TIFFFieldDataType(field) == TIFF_ASCII || count == TIFF_VARIABLE ||
         count == TIFF_VARIABLE2 || count == TIFF_SPP || count > 1;
}

// Whether a custom tag still holds once the page is rewritten. Offsets
// (of the EXIF and GPS directories, which are carried apart, and of private
// tags of type IFD) point into the old file. A private tag that libtiff does not know comes back
// verbatim except for rationals, which it holds as floats.
bool IsCarried(const TIFFField* field) {
  const TIFFDataType type = TIFFFieldDataType(field);
  if (type == TIFF_IFD || type == TIFF_IFD8 || TIFFFieldTag(field) == TIFFTAG_DOTRANGE)
    return false;
  return !IsAnonymous(field) || (type != TIFF_RATIONAL && type != TIFF_SRATIONAL);
}

// Adds one tag to `tags`: `count` values of `size` bytes each at `value`.
void KeepTag(std::vector<TCarriedTag>& tags, ttag_t tag, TIFFDataType type, std::uint32_t count,
             const void* value, int size, std::uint32_t directory) {
  const auto* bytes = static_cast<const std::uint8_t*>(value);
  tags.push_back({tag, static_cast<std::uint32_t>(type), count,
                  std::vector<std::uint8_t>(bytes, bytes + std::size_t{count} * size), directory});
}

// Adds the custom tags of the directory the open file is in to `tags`, as
// directory `directory`.
void TakeCustomTags(TIFF* tif, std::uint32_t directory, std::vector<TCarriedTag>& tags) {
  auto keep = [&](ttag_t tag, TIFFDataType type, std::uint32_t count, const void* value, int size) {
    KeepTag(tags, tag, type, count, value, size, directory);
  };
  for (int i = 0, n = TIFFGetTagListCount(tif); i < n; ++i) {
    const ttag_t tag = TIFFGetTagListEntry(tif, i);
    const TIFFField* field = TIFFFindField(tif, tag, TIFF_ANY);
    if (field == nullptr || !IsCarried(field)) continue;
    const TIFFDataType type = TIFFFieldDataType(field);
    const int size = StorageSize(field);
    const int count = TIFFFieldReadCount(field);
    void* value = nullptr;
    std::uint64_t single = 0;  // room for one value of any type
    if (TIFFFieldPassCount(field) && count == TIFF_VARIABLE2) {
      std::uint32_t n32 = 0;
      if (TIFFGetField(tif, tag, &n32, &value) == 1) keep(tag, type, n32, value, size);
    } else if (TIFFFieldPassCount(field)) {
      std::uint16_t n16 = 0;
      if (TIFFGetField(tif, tag, &n16, &value) == 1) keep(tag, type, n16, value, size);
    } else if (type == TIFF_ASCII) {
      if (TIFFGetField(tif, tag, &value) == 1) {
        keep(tag, type, static_cast<std::uint32_t>(std::strlen(static_cast<char*>(value)) + 1),
             value, 1);
      }
    } else if (ByPointer(field, count)) {
      const std::uint32_t values = count > 1 ? static_cast<std::uint32_t>(count) : 1;
      if (count != TIFF_SPP && TIFFGetField(tif, tag, &value) == 1) {
        keep(tag, type, values, value, size);
      }
    } else if (TIFFGetField(tif, tag, &single) == 1) {
      keep(tag, type, 1, &single, size);
    }
  }
}

// The carried tags of the open file into `tags`, by directory and tag
// number: the page's own, then those of its EXIF and GPS directories. False
// when the file cannot be taken back to the page's directory after reading
// those.
bool TakeTags(TIFF* tif, std::vector<TCarriedTag>& tags) {
  tags.clear();
  auto keep = [&tags](ttag_t tag, TIFFDataType type, std::uint32_t count, const void* value,
                      int size) { KeepTag(tags, tag, type, count, value, size, 0); };
  std::uint16_t pair[2];
  std::uint32_t subfile = 0;
  if (TIFFGetField(tif, TIFFTAG_SUBFILETYPE, &subfile) == 1) {
    keep(TIFFTAG_SUBFILETYPE, TIFF_LONG, 1, &subfile, 4);
  }
  if (TIFFGetField(tif, TIFFTAG_ORIENTATION, &pair[0]) == 1) {
    keep(TIFFTAG_ORIENTATION, TIFF_SHORT, 1, pair, 2);
  }
  if (TIFFGetField(tif, TIFFTAG_PAGENUMBER, &pair[0], &pair[1]) == 1) {
    keep(TIFFTAG_PAGENUMBER, TIFF_SHORT, 2, pair, 2);
  }
  for (const ttag_t tag : {TIFFTAG_XPOSITION, TIFFTAG_YPOSITION}) {
    float position = 0;
    if (TIFFGetField(tif, tag, &position) == 1) keep(tag, TIFF_RATIONAL, 1, &position, 4);
  }
  TakeCustomTags(tif, 0, tags);
  std::uint64_t exif = 0, gps = 0;
  const bool hasExif = TIFFGetField(tif, TIFFTAG_EXIFIFD, &exif) == 1;
  const bool hasGps = TIFFGetField(tif, TIFFTAG_GPSIFD, &gps) == 1;
  if (hasExif && TIFFReadEXIFDirectory(tif, exif) == 1) TakeCustomTags(tif, 1, tags);
  if (hasGps && TIFFReadGPSDirectory(tif, gps) == 1) TakeCustomTags(tif, 2, tags);
  // In the order a directory lists them, whatever order the file had.
  std::sort(tags.begin(), tags.end(), [](const TCarriedTag& a, const TCarriedTag& b) {
    return std::tie(a.Directory, a.Tag) < std::tie(b.Directory, b.Tag);
  });
  return !(hasExif || hasGps) || TIFFSetDirectory(tif, 0) == 1;
}

bool PutTag(TIFF* tif, const TCarriedTag& carried);

// Writes the EXIF and GPS directories of `tags` into the new file, before
// the page's own, and sets the page's pointers to them; then starts the
// page's directory. True when there are none.
bool WriteCustomDirectories(TIFF* tif, const std::vector<TCarriedTag>& tags) {
  std::uint64_t offsets[3] = {0, 0, 0};
  for (const std::uint32_t directory : {1u, 2u}) {
    if (std::none_of(tags.begin(), tags.end(),
                     [=](const TCarriedTag& t) { return t.Directory == directory; })) {
      continue;
    }
    if ((directory == 1 ? TIFFCreateEXIFDirectory(tif) : TIFFCreateGPSDirectory(tif)) != 0) {
      return false;
    }
    for (const TCarriedTag& tag : tags) {
      if (tag.Directory == directory && !PutTag(tif, tag)) return false;
    }
    const bool written = TIFFWriteCustomDirectory(tif, &offsets[directory]) == 1;
    TIFFFreeDirectory(tif);  // libtiff 4.5 keeps the written values otherwise
    if (!written) return false;
  }
  if (offsets[1] == 0 && offsets[2] == 0) return true;
  return TIFFCreateDirectory(tif) == 0 &&
         (offsets[1] == 0 || TIFFSetField(tif, TIFFTAG_EXIFIFD, offsets[1]) == 1) &&
         (offsets[2] == 0 || TIFFSetField(tif, TIFFTAG_GPSIFD, offsets[2]) == 1);
}

// Sets one carried tag on a file being written, registering a private tag
// that this libtiff does not know as it was read. False when libtiff
// refuses it.
bool PutTag(TIFF* tif, const TCarriedTag& carried) {
  const ttag_t tag = carried.Tag;
  const void* value = carried.Value.data();
  std::uint16_t shorts[2] = {0, 0};
  std::memcpy(shorts, value, std::min<std::size_t>(carried.Value.size(), 4));
  switch (tag) {
    case TIFFTAG_SUBFILETYPE:
      return TIFFSetField(tif, tag, *static_cast<const std::uint32_t*>(value)) == 1;
    case TIFFTAG_ORIENTATION:
      return TIFFSetField(tif, tag, shorts[0]) == 1;
    case TIFFTAG_PAGENUMBER:
      return TIFFSetField(tif, tag, shorts[0], shorts[1]) == 1;
    case TIFFTAG_XPOSITION:
    case TIFFTAG_YPOSITION:
      return TIFFSetField(tif, tag, double{*static_cast<const float*>(value)}) == 1;
  }
  const auto type = static_cast<TIFFDataType>(carried.Type);
  const TIFFField* field = TIFFFindField(tif, tag, type);
  if (field == nullptr) {
    static char name[] = "PrivateTag";
    TIFFFieldInfo info = {tag, TIFF_VARIABLE2, TIFF_VARIABLE2, type, FIELD_CUSTOM, 1, 1, name};
    if (TIFFMergeFieldInfo(tif, &info, 1) != 0) return false;
    field = TIFFFindField(tif, tag, type);
    if (field == nullptr) return false;
  }
  const int count = TIFFFieldWriteCount(field);
  int set;
  if (TIFFFieldPassCount(field) && count == TIFF_VARIABLE2) {
    set = TIFFSetField(tif, tag, carried.Count, value);
  } else if (TIFFFieldPassCount(field)) {
    set = TIFFSetField(tif, tag, static_cast<int>(carried.Count), value);
  } else if (ByPointer(field, count)) {
    set = TIFFSetField(tif, tag, value);
  } else {
    // One value, passed as C passes it through "...": small integers as
    // int, floating point as double.
    std::uint64_t single = 0;
    std::memcpy(&single, value, std::min<std::size_t>(carried.Value.size(), 8));
    float asFloat;
    double asDouble;
    std::memcpy(&asFloat, &single, sizeof asFloat);
    std::memcpy(&asDouble, &single, sizeof asDouble);
    const bool doubled = carried.Value.size() == 8;
    switch (type) {
      case TIFF_BYTE:
      case TIFF_UNDEFINED:
      case TIFF_SBYTE:
        set = TIFFSetField(tif, tag, static_cast<int>(static_cast<std::uint8_t>(single)));
        break;
      case TIFF_SHORT:
      case TIFF_SSHORT:
        set = TIFFSetField(tif, tag, static_cast<int>(shorts[0]));
        break;
      case TIFF_LONG:
      case TIFF_SLONG:
        set = TIFFSetField(tif, tag, static_cast<std::uint32_t>(single));
        break;
      case TIFF_LONG8:
      case TIFF_SLONG8:
        set = TIFFSetField(tif, tag, single);
        break;
      case TIFF_RATIONAL:
      case TIFF_SRATIONAL:
      case TIFF_FLOAT:
      case TIFF_DOUBLE:
        set = TIFFSetField(tif, tag, doubled ? asDouble : double{asFloat});
        break;
      default:
        set = 0;
    }
  }
  return set == 1;
}

// Warnings from libtiff that make a file unfit to be rewritten: its data
// would come back as libtiff's guess, not as the file holds it.
struct TReadWarnings {
  // The strip byte counts were discarded and guessed from the image size.
  bool GuessedStripSizes = false;
  // The JPEG decoder met damaged or missing data and filled in the rest.
  bool DamagedJpeg = false;
};

void NoteReadWarning(TReadWarnings& noted, const char* module, const char* format, va_list args) {
  char message[512];
  va_list copy;
  va_copy(copy, args);
  std::vsnprintf(message, sizeof message, format, copy);
  va_end(copy);
  if (std::strstr(message, "\"StripByteCounts\" field, ignoring") != nullptr) {
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

// Starts `work` on a thread of its own, if the system gives one; the
// caller's own share of the work then covers what it would have done.
template <class TWork>
void AddHelper(std::vector<std::thread>& helpers, TWork&& work) {
  try {
    helpers.emplace_back(std::forward<TWork>(work));
  } catch (const std::system_error&) {
  }
}

// A file as libtiff reads and writes it: at positions of a descriptor
// (ReadAt, WriteAt), each handle at its own place, so that several threads
// can decode strips of one page at once.
struct TFileHandle {
  int Fd = -1;
  std::uint64_t At = 0;
};

TFileHandle& HandleOf(thandle_t handle) { return *static_cast<TFileHandle*>(handle); }

tmsize_t HandleRead(thandle_t handle, void* data, tmsize_t size) {
  TFileHandle& file = HandleOf(handle);
  const std::int64_t n = ReadAt(file.Fd, data, static_cast<std::size_t>(size), file.At);
  if (n > 0) file.At += static_cast<std::uint64_t>(n);
  return static_cast<tmsize_t>(n);
}

tmsize_t HandleWrite(thandle_t handle, void* data, tmsize_t size) {
  TFileHandle& file = HandleOf(handle);
  const std::int64_t n = WriteAt(file.Fd, data, static_cast<std::size_t>(size), file.At);
  if (n > 0) file.At += static_cast<std::uint64_t>(n);
  return static_cast<tmsize_t>(n);
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

// Closes a file that OpenForReading opened (if any); its warnings are no
// longer noted.
void CloseForReading(TIFF* tif) {
  if (tif != nullptr) TIFFClose(tif);
#ifdef VALDRANE_OLD_LIBTIFF
  WarningsOfThread = nullptr;
#endif
}

// Opens the page for reading through `handle`, with no strip chopping
// ("c"), so the strips are the file's own and a page is written back with
// the rows per strip it came with. Warnings that libtiff gives while the
// file is open, reading strips included, are noted in `warnings`; both must
// outlive the open file.
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

// Decodes strip k into the page's plane and, for a colour page, works out
// the grey values of its pixels. False when the strip does not decode to
// its full size.
bool DecodeStrip(TIFF* tif, TMyImage& image, std::uint32_t k) {
  const TStripSpan span = StripSpan(image, k);
  const bool colour = image.Photometric == PhotometricRgb;
  TPlane& plane = colour ? image.Rgb : image.Gray;
  if (TIFFReadEncodedStrip(tif, k, plane.data() + span.Offset, span.Bytes) != span.Bytes) {
    return false;
  }
  if (colour) {
    RgbToGray(image.Rgb.data() + span.Offset, image.Gray.data() + span.Offset / 3,
              static_cast<std::uint32_t>(span.Bytes / 3));
  }
  return true;
}

// Decodes every strip of the page, `tif` and threads - 1 more handles of
// its own taking strips in turn; warnings of any handle are noted in
// `warnings`. False as soon as a strip does not decode.
bool DecodeStrips(const TPageFile& page, TIFF* tif, TMyImage& image, unsigned threads,
                  TReadWarnings& warnings) {
  std::atomic<std::uint32_t> next{0};
  std::atomic<bool> ok{true};
  const auto decode = [&](TIFF* file) {
    for (std::uint32_t k; ok && (k = next++) < image.StripCount;) {
      if (!DecodeStrip(file, image, k)) ok = false;
    }
  };
  std::vector<TReadWarnings> noted(threads);
  std::vector<std::thread> helpers;
  for (unsigned i = 1; i < threads; ++i) {
    AddHelper(helpers, [&, i] {
      TFileHandle handle;
      const std::unique_ptr<TIFF, void (*)(TIFF*)> file(OpenForReading(page, handle, noted[i]),
                                                        CloseForReading);
      if (file != nullptr) decode(file.get());
    });
  }
  decode(tif);
  for (std::thread& helper : helpers) helper.join();
  for (const TReadWarnings& w : noted) {
    warnings.GuessedStripSizes |= w.GuessedStripSizes;
    warnings.DamagedJpeg |= w.DamagedJpeg;
  }
  return ok;
}

// Sets the structural tags of `image` on a file being written. A tag whose
// field is 0 was not in the file that was read: it is left out.
bool SetLayout(TIFF* tif, const TMyImage& image) {
  auto set32 = [tif](ttag_t tag, std::uint32_t value) {
    return value == 0 || TIFFSetField(tif, tag, value) == 1;
  };
  // Resolutions are passed as doubles; the conversion from float is exact.
  auto setDouble = [tif](ttag_t tag, double value) {
    return value == 0 || TIFFSetField(tif, tag, value) == 1;
  };
  return set32(TIFFTAG_IMAGEWIDTH, image.Width) && set32(TIFFTAG_IMAGELENGTH, image.Height) &&
         set32(TIFFTAG_BITSPERSAMPLE, image.BitsPerSample) &&
         set32(TIFFTAG_SAMPLESPERPIXEL, image.SamplesPerPixel) &&
         set32(TIFFTAG_ROWSPERSTRIP, image.RowsPerStrip) &&
         set32(TIFFTAG_COMPRESSION, image.Compression) &&
         set32(TIFFTAG_PHOTOMETRIC, image.Photometric) &&
         set32(TIFFTAG_PLANARCONFIG, image.PlanarConfig) &&
         setDouble(TIFFTAG_XRESOLUTION, image.XResolution) &&
         setDouble(TIFFTAG_YRESOLUTION, image.YResolution) &&
         set32(TIFFTAG_RESOLUTIONUNIT, image.ResolutionUnit);
}

// Encodes strip k of `plane` with the open file's codec. libtiff takes a
// non-const buffer but leaves 8-bit samples as they are without a predictor.
bool EncodeStrip(TIFF* tif, const TMyImage& image, const TPlane& plane, std::uint32_t k) {
  const TStripSpan span = StripSpan(image, k);
  void* data = const_cast<std::uint8_t*>(plane.data() + span.Offset);
  return TIFFWriteEncodedStrip(tif, k, data, span.Bytes) == span.Bytes;
}

// A file in memory that libtiff writes into, for encoding strips apart from
// the file they go to.
struct TMemoryFile {
  std::vector<std::uint8_t> Bytes;
  std::uint64_t At = 0;
};

TMemoryFile& MemoryOf(thandle_t handle) { return *static_cast<TMemoryFile*>(handle); }

tmsize_t MemoryRead(thandle_t handle, void* data, tmsize_t size) {
  TMemoryFile& file = MemoryOf(handle);
  const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(
      static_cast<std::uint64_t>(size),
      file.Bytes.size() - std::min<std::uint64_t>(file.At, file.Bytes.size())));
  std::memcpy(data, file.Bytes.data() + file.At, n);
  file.At += n;
  return static_cast<tmsize_t>(n);
}

tmsize_t MemoryWrite(thandle_t handle, void* data, tmsize_t size) {
  TMemoryFile& file = MemoryOf(handle);
  const auto n = static_cast<std::size_t>(size);
  // No exception may cross libtiff: memory running out fails the write.
  try {
    if (file.At + n > file.Bytes.size()) file.Bytes.resize(file.At + n);
  } catch (const std::bad_alloc&) {
    return -1;
  }
  std::memcpy(file.Bytes.data() + file.At, data, n);
  file.At += n;
  return size;
}

toff_t MemorySeek(thandle_t handle, toff_t offset, int whence) {
  TMemoryFile& file = MemoryOf(handle);
  file.At = whence == SEEK_SET   ? offset
            : whence == SEEK_CUR ? file.At + offset
                                 : file.Bytes.size() + offset;
  return file.At;
}

int MemoryClose(thandle_t) { return 0; }
toff_t MemorySize(thandle_t handle) { return MemoryOf(handle).Bytes.size(); }
int MemoryMap(thandle_t, void**, toff_t*) { return 0; }
void MemoryUnmap(thandle_t, void*, toff_t) {}

// Codecs whose strips are encoded each on its own, from its rows alone, so
// that encoding them apart gives the bytes a sequential encoding gives, and
// slow enough for it to pay (PackBits is not: measured 0.29 s against 0.33 s
// sequential for an A4 colour page on two threads, with parallel encoding
// slower). JPEG (shared tables) and any codec not listed stay sequential.
bool EncodesStripsApart(std::uint32_t compression) {
  return compression == COMPRESSION_LZW || compression == COMPRESSION_ADOBE_DEFLATE ||
         compression == COMPRESSION_DEFLATE || compression == COMPRESSION_ZSTD ||
         compression == COMPRESSION_LZMA;
}

// Encodes the strips of `plane` on `threads` threads, each with a file in
// memory set up like the page's file; strip k's bytes end in encoded[k].
// False when any strip fails.
bool EncodeStripsApart(const TMyImage& image, const TPlane& plane, unsigned threads,
                       std::vector<std::vector<std::uint8_t>>& encoded) {
  encoded.assign(image.StripCount, {});
  std::atomic<std::uint32_t> next{0};
  std::atomic<bool> ok{true};
  const auto encode = [&] {
    TMemoryFile memory;
    TIFF* tif = TIFFClientOpen("memory", "w", &memory, MemoryRead, MemoryWrite, MemorySeek,
                               MemoryClose, MemorySize, MemoryMap, MemoryUnmap);
    if (tif == nullptr || !SetLayout(tif, image)) ok = false;
    for (std::uint32_t k; ok && (k = next++) < image.StripCount;) {
      std::uint64_t* offsets = nullptr;
      std::uint64_t* counts = nullptr;
      if (!EncodeStrip(tif, image, plane, k) ||
          TIFFGetField(tif, TIFFTAG_STRIPOFFSETS, &offsets) != 1 ||
          TIFFGetField(tif, TIFFTAG_STRIPBYTECOUNTS, &counts) != 1) {
        ok = false;
        break;
      }
      const auto first = memory.Bytes.begin() + static_cast<std::ptrdiff_t>(offsets[k]);
      try {
        encoded[k].assign(first, first + static_cast<std::ptrdiff_t>(counts[k]));
      } catch (const std::bad_alloc&) {
        ok = false;  // the page is not written; nothing escapes this thread
      }
    }
    if (tif != nullptr) TIFFClose(tif);
  };
  std::vector<std::thread> helpers;
  for (unsigned i = 1; i < threads; ++i) AddHelper(helpers, encode);
  encode();
  for (std::thread& helper : helpers) helper.join();
  return ok;
}

// Writes one plane as the record's strips into the new, empty file open in
// `fd`, which stays open. With several threads, codecs that allow it encode
// the strips in parallel; they are written in order either way, so the
// file's bytes are the same.
bool WriteStrips(int fd, const char* name, const TMyImage& image, const TPlane& plane,
                 unsigned threads) {
  TFileHandle handle{fd, 0};
  TIFF* tif = TIFFClientOpen(name, "w", &handle, HandleRead, HandleWrite, HandleSeek, HandleClose,
                             HandleSize, HandleMap, HandleUnmap);
  if (tif == nullptr) return false;
  bool ok = WriteCustomDirectories(tif, image.Tags) && SetLayout(tif, image);
  for (std::size_t i = 0; ok && i < image.Tags.size(); ++i) {
    ok = image.Tags[i].Directory != 0 || PutTag(tif, image.Tags[i]);
  }

  std::vector<std::vector<std::uint8_t>> encoded;
  if (ok && threads > 1 && image.StripCount > 1 && EncodesStripsApart(image.Compression)) {
    ok = EncodeStripsApart(image, plane, std::min(threads, image.StripCount), encoded);
    for (std::uint32_t k = 0; ok && k < image.StripCount; ++k) {
      const auto size = static_cast<tmsize_t>(encoded[k].size());
      ok = TIFFWriteRawStrip(tif, k, encoded[k].data(), size) == size;
    }
  } else {
    for (std::uint32_t k = 0; ok && k < image.StripCount; ++k) {
      ok = EncodeStrip(tif, image, plane, k);
    }
  }
  // TIFFClose cannot report a failure; TIFFFlush writes the directory and can.
  ok = ok && TIFFFlush(tif) == 1;
  TIFFClose(tif);
  return ok;
}

// Whether the record can be written as it says: planes long enough and a
// strip count that covers every row exactly once.
bool IsWritable(const TMyImage& image, const TPlane& plane) {
  if (image.Width == 0 || image.Height == 0) return false;
  const std::uint64_t bytes =
      std::uint64_t{image.Width} * image.Height * SamplesOf(image.Photometric);
  if (plane.size() < bytes) return false;
  const std::uint32_t rows = StripRows(image.RowsPerStrip, image.Height);
  return image.StripCount == StripsFor(rows, image.Height);
}

std::int32_t WritePlane(TPageFile& page, const TMyImage& image, const TPlane& plane,
                        unsigned threads) {
  if (!IsWritable(image, plane)) return -1;
  TSafeWrite write;
  if (BeginSafeWrite(page, write) != 1) return -1;
  if (!WriteStrips(write.TempFd, page.Name.c_str(), image, plane, threads)) {
    AbortSafeWrite(write);
    return -1;
  }
  return CommitSafeWrite(write);
}

}  // namespace

std::int32_t ReadTiff(const TPageFile& page, TMyImage& image,
                      const std::function<bool(std::uint64_t)>& reserve, unsigned threads) {
  TReadWarnings warnings;
  TFileHandle handle;
  // Closed however the read ends, an allocation that fails included.
  const std::unique_ptr<TIFF, void (*)(TIFF*)> file(OpenForReading(page, handle, warnings),
                                                    CloseForReading);
  TIFF* tif = file.get();
  if (tif == nullptr) return -1;

  TMyImage header;
  header.Width = Tag32(tif, TIFFTAG_IMAGEWIDTH);
  header.Height = Tag32(tif, TIFFTAG_IMAGELENGTH);
  header.BitsPerSample = Tag16(tif, TIFFTAG_BITSPERSAMPLE);
  header.SamplesPerPixel = Tag16(tif, TIFFTAG_SAMPLESPERPIXEL);
  header.Compression = Tag16(tif, TIFFTAG_COMPRESSION);
  header.Photometric = Tag16(tif, TIFFTAG_PHOTOMETRIC);
  header.RowsPerStrip = Tag32(tif, TIFFTAG_ROWSPERSTRIP);
  header.XResolution = TagFloat(tif, TIFFTAG_XRESOLUTION);
  header.YResolution = TagFloat(tif, TIFFTAG_YRESOLUTION);
  header.ResolutionUnit = Tag16(tif, TIFFTAG_RESOLUTIONUNIT);
  header.PlanarConfig = Tag16(tif, TIFFTAG_PLANARCONFIG);
  header.StripCount = TIFFNumberOfStrips(tif);
  if (!TakeTags(tif, header.Tags)) return -1;

  // The planes of the whole correction: the page's grey (and colour)
  // plane, a saved copy and the background, and the two half-size images.
  const std::uint64_t pixels64 = std::uint64_t{header.Width} * header.Height;
  const std::uint64_t planeBytes = pixels64 * (header.Photometric == PhotometricRgb ? 25 : 13) / 4;
  if (warnings.GuessedStripSizes || !IsSupportedPage(tif, header) || !reserve(planeBytes)) {
    return -1;
  }

  // The record's planes are reused from page to page; a grey page keeps
  // whatever colour plane the record held.
  header.Gray = std::move(image.Gray);
  header.Rgb = std::move(image.Rgb);
  image = std::move(header);

  // Plane memory is not set when allocated, only as strips decode into it,
  // so a header that declares a huge page over a few bytes of data costs
  // address space, not memory, before its first strip fails. Nothing of the
  // previous page is worth copying as the planes grow.
  const std::uint32_t pixels = PixelCount(image);
  image.Gray.clear();
  image.Gray.resize((pixels / 1024 + 1) * std::size_t{1024});
  if (image.Photometric == PhotometricRgb) {
    image.Rgb.clear();
    image.Rgb.resize(std::size_t{pixels} * 3);
  }
  const unsigned helpers = std::max(1u, std::min(threads, image.StripCount));
  const bool ok = DecodeStrips(page, tif, image, helpers, warnings);
  return ok && !warnings.DamagedJpeg ? 1 : -1;
}

std::int32_t WriteGrayTiff(TPageFile& page, const TMyImage& image, unsigned threads) {
  if (image.Photometric != PhotometricGray) return -1;
  return WritePlane(page, image, image.Gray, threads);
}

std::int32_t WriteRgbTiff(TPageFile& page, const TMyImage& image, unsigned threads) {
  if (image.Photometric != PhotometricRgb) return -1;
  return WritePlane(page, image, image.Rgb, threads);
}
