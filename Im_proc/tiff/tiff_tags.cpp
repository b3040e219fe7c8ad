#include "tiff_tags.h"

#include <algorithm>
#include <cstring>
#include <tuple>

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

std::uint32_t Defaulted16(TIFF* tif, ttag_t tag) {
  std::uint16_t value = 0;
  return TIFFGetFieldDefaulted(tif, tag, &value) == 1 ? value : 0;
}

namespace {

// Carried tags. libtiff keeps most tags in a list of "custom" values with
// one calling convention per kind of field (a count passed or not, a pointer
// or a single value); seven that the tool carries (NewSubfileType,
// Orientation, PageNumber, XPosition, YPosition, YCbCrSubsampling,
// YCbCrPositioning) live in its fixed directory fields instead.

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

}  // namespace

bool TakeTags(TIFF* tif, std::vector<TCarriedTag>& tags) {
  tags.clear();
  auto keep = [&tags](ttag_t tag, TIFFDataType type, std::uint32_t count, const void* value,
                      int size) { KeepTag(tags, tag, type, count, value, size, 0); };
  const tdir_t page = TIFFCurrentDirectory(tif);
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
  if (TIFFGetField(tif, TIFFTAG_YCBCRSUBSAMPLING, &pair[0], &pair[1]) == 1) {
    keep(TIFFTAG_YCBCRSUBSAMPLING, TIFF_SHORT, 2, pair, 2);
  }
  if (TIFFGetField(tif, TIFFTAG_YCBCRPOSITIONING, &pair[0]) == 1) {
    keep(TIFFTAG_YCBCRPOSITIONING, TIFF_SHORT, 1, pair, 2);
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
  return !(hasExif || hasGps) || TIFFSetDirectory(tif, page) == 1;
}

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

bool PutTag(TIFF* tif, const TCarriedTag& carried) {
  const ttag_t tag = carried.Tag;
  const void* value = carried.Value.data();
  // The value's first bytes, zero past its end: a tag of count 0 has none,
  // and its data pointer may be null.
  std::uint8_t head[8] = {};
  if (!carried.Value.empty()) {
    std::memcpy(head, value, std::min<std::size_t>(carried.Value.size(), sizeof head));
  }
  std::uint16_t shorts[2];
  std::memcpy(shorts, head, sizeof shorts);
  std::uint32_t word;
  float position;
  std::memcpy(&word, head, sizeof word);
  std::memcpy(&position, head, sizeof position);
  switch (tag) {
    case TIFFTAG_SUBFILETYPE:
      return TIFFSetField(tif, tag, word) == 1;
    case TIFFTAG_ORIENTATION:
    case TIFFTAG_YCBCRPOSITIONING:
      return TIFFSetField(tif, tag, shorts[0]) == 1;
    case TIFFTAG_PAGENUMBER:
    case TIFFTAG_YCBCRSUBSAMPLING:
      return TIFFSetField(tif, tag, shorts[0], shorts[1]) == 1;
    case TIFFTAG_XPOSITION:
    case TIFFTAG_YPOSITION:
      return TIFFSetField(tif, tag, double{position}) == 1;
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
    std::uint64_t single;
    float asFloat;
    double asDouble;
    std::memcpy(&single, head, sizeof single);
    std::memcpy(&asFloat, head, sizeof asFloat);
    std::memcpy(&asDouble, head, sizeof asDouble);
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

std::vector<TPreviewPlace> PreviewPlaces(TIFF* tif) {
  constexpr std::size_t Most = 64;
  std::vector<TPreviewPlace> places;
  std::uint16_t count = 0;
  const std::uint64_t* at = nullptr;
  if (TIFFGetField(tif, TIFFTAG_SUBIFD, &count, &at) != 1 || at == nullptr) return places;
  const std::vector<std::uint64_t> offsets(at, at + count);
  for (const std::uint64_t offset : offsets) {
    if (places.size() == Most || TIFFSetSubDirectory(tif, offset) != 1) continue;
    std::uint32_t step = 0;
    do {
      places.push_back({offset, step++});
    } while (places.size() < Most && TIFFReadDirectory(tif) == 1);
  }
  return places;
}

bool GoToPreview(TIFF* tif, const TPreviewPlace& place) {
  if (TIFFSetSubDirectory(tif, place.Offset) != 1) return false;
  for (std::uint32_t k = 0; k < place.Step; ++k) {
    if (TIFFReadDirectory(tif) != 1) return false;
  }
  return true;
}

bool HoldPreviews(TIFF* tif, std::size_t count) {
  const std::vector<std::uint64_t> places(count, 0);
  return count == 0 ||
         TIFFSetField(tif, TIFFTAG_SUBIFD, static_cast<std::uint16_t>(count), places.data()) == 1;
}
