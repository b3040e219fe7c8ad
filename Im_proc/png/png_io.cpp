#include "png_io.h"

#include <png.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>
#include <string>

#include "file_kind.h"
#include "grey.h"

namespace {

// The bytes of the signature the file starts with.
constexpr std::size_t SignatureSize = 8;

std::uint32_t BigEndian32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

bool IsType(const std::uint8_t* type, const char* name) { return std::memcmp(type, name, 4) == 0; }

// The ancillary chunks whose meaning is known here and still holds once the
// samples are flattened: colour space, resolution, text, time, EXIF, ...
// Chunks unknown here are copied only where their name says they are safe
// to copy into a changed image (the fourth letter in lower case).
bool KnownToHold(const std::uint8_t* type) {
  static const char* const known[] = {
      "PLTE", "gAMA", "cHRM", "sRGB", "iCCP", "cICP", "mDCv", "cLLi", "sBIT", "bKGD", "pHYs",
      "sPLT", "tIME", "tEXt", "zTXt", "iTXt", "eXIf", "oFFs", "pCAL", "sCAL", "sTER", "gIFg"};
  for (const char* name : known) {
    if (IsType(type, name)) return true;
  }
  return (type[3] & 0x20) != 0;
}

// The chunks of the file, read through its descriptor: the header's
// fields, and every other chunk but the image data and the end, kept whole;
// `interlace` the header's method.
bool WalkChunks(int fd, TPngFile& file, std::uint8_t& interlace, TRefusal& why) {
  const auto damaged = [&](const std::string& text) {
    why = {TRefusalKind::Damaged, text};
    return false;
  };
  std::uint8_t head[8];
  std::uint64_t at = SignatureSize;
  bool header = false, data = false, ended = false;
  for (std::uint32_t count = 0; !ended; ++count) {
    if (ReadAt(fd, head, 8, at) != 8) return damaged("cut short");
    const std::uint32_t length = BigEndian32(head);
    const std::uint8_t* type = head + 4;
    const std::string name(reinterpret_cast<const char*>(type), 4);
    if (length > 0x7FFFFFFFu) return damaged("damaged chunk " + std::to_string(count + 1));
    for (const std::uint8_t c : name) {
      if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')))
        return damaged("damaged chunk " + std::to_string(count + 1));
    }
    if ((count == 0) != IsType(type, "IHDR")) return damaged("damaged header");
    if (IsType(type, "IHDR")) {
      std::uint8_t fields[13];
      if (length != 13 || header || ReadAt(fd, fields, 13, at + 8) != 13)
        return damaged("damaged header");
      header = true;
      file.Width = BigEndian32(fields);
      file.Height = BigEndian32(fields + 4);
      file.Depth = fields[8];
      file.ColourType = fields[9];
      interlace = fields[12];
    } else if (IsType(type, "IDAT")) {
      if (data && !file.After.empty()) return damaged("damaged image data");
      data = true;
    } else if (IsType(type, "IEND")) {
      ended = true;
    } else if (IsType(type, "acTL")) {
      why = {TRefusalKind::NotFlattened, "an animated PNG is not flattened"};
      return false;
    } else if ((type[0] & 0x20) == 0 && !IsType(type, "PLTE")) {
      why = {TRefusalKind::NotFlattened, "its chunk " + name + " is not one it knows"};
      return false;
    } else if (IsType(type, "tRNS") && file.ColourType != 3) {
      why = {TRefusalKind::NotFlattened,
             "its transparent colour (tRNS) would fall on other pixels once flattened"};
      return false;
    } else if (!KnownToHold(type)) {
      why = {TRefusalKind::NotFlattened,
             "its chunk " + name + " may not be kept in a changed image"};
      return false;
    } else {
      std::vector<std::uint8_t> whole(std::size_t{length} + 12);
      if (ReadAt(fd, whole.data(), whole.size(), at) != static_cast<std::int64_t>(whole.size()))
        return damaged("cut short");
      (data ? file.After : file.Before).push_back(std::move(whole));
    }
    at += std::uint64_t{length} + 12;
  }
  if (!data) return damaged("no image data");
  // Bytes after the end would be lost in the new file.
  std::uint8_t more = 0;
  if (ReadAt(fd, &more, 1, at) != 0) {
    why = {TRefusalKind::NotFlattened, "it holds bytes after the end of the image"};
    return false;
  }
  return true;
}

// libpng's errors return to the setjmp of the call under way; its messages
// are not printed (the refusal says what went wrong).
[[noreturn]] void OnError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void OnWarning(png_structp, png_const_charp) {}

struct TSource {
  int Fd = -1;
  std::uint64_t At = 0;
};

void ReadData(png_structp png, png_bytep data, std::size_t size) {
  auto& source = *static_cast<TSource*>(png_get_io_ptr(png));
  for (std::size_t done = 0; done < size;) {
    const std::int64_t n = ReadAt(source.Fd, data + done, size - done, source.At);
    if (n <= 0) png_error(png, "cut short");
    done += static_cast<std::size_t>(n);
    source.At += static_cast<std::uint64_t>(n);
  }
}

// Decodes the image into `rows`, 16-bit samples in host order. Only plain
// values live here, as a longjmp may leave it.
bool DecodeRows(png_structp png, png_infop info, png_bytep* rows, bool swap) {
  if (setjmp(png_jmpbuf(png)) != 0) return false;
  png_read_info(png, info);
  if (swap) png_set_swap(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  png_read_image(png, rows);
  png_read_end(png, nullptr);
  return true;
}

bool HostIsLittleEndian() {
  const std::uint16_t one = 1;
  std::uint8_t first = 0;
  std::memcpy(&first, &one, 1);
  return first == 1;
}

struct TSink {
  int Fd = -1;
  std::uint64_t At = 0;
  int Error = 0;
};

bool Put(TSink& sink, const std::uint8_t* data, std::size_t size) {
  return WriteAllAt(sink.Fd, data, size, sink.At, sink.Error);
}

void WriteData(png_structp png, png_bytep data, std::size_t size) {
  if (!Put(*static_cast<TSink*>(png_get_io_ptr(png)), data, size)) png_error(png, "write");
}
void FlushData(png_structp) {}

bool PutChunks(TSink& sink, const std::vector<std::vector<std::uint8_t>>& chunks) {
  for (const auto& chunk : chunks) {
    if (!Put(sink, chunk.data(), chunk.size())) return false;
  }
  return true;
}

// Encodes the file around `rows`: the header, the chunks before, the image
// data, the chunks after and the end. Plain values only, as in DecodeRows.
bool EncodeRows(png_structp png, png_infop info, TSink* sink, const TPngFile* file, png_bytep* rows,
                std::uint32_t width, std::uint32_t height, int depth, int colourType, bool swap) {
  if (setjmp(png_jmpbuf(png)) != 0) return false;
  png_set_IHDR(png, info, width, height, depth, colourType,
               file->Interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  if (!PutChunks(*sink, file->Before)) return false;
  if (swap) png_set_swap(png);
  if (file->Interlaced) png_set_interlace_handling(png);
  // The last row written flushes the image data, so what comes after it
  // lands after the last IDAT.
  png_write_image(png, rows);
  if (!PutChunks(*sink, file->After)) return false;
  png_write_end(png, nullptr);
  return true;
}

template <class T>
std::vector<png_bytep> RowsOf(T* samples, std::uint32_t width, std::uint32_t height,
                              std::uint32_t perPixel) {
  std::vector<png_bytep> rows(height);
  for (std::uint32_t y = 0; y < height; ++y)
    rows[y] = reinterpret_cast<png_bytep>(samples + std::size_t{y} * width * perPixel);
  return rows;
}

// The file's chunks and header, judged: 1 a page it flattens, 0 a PNG file
// of a kind it does not flatten, -1 not PNG or damaged; `why` says why.
std::int32_t Examine(int fd, TPngFile& file, TRefusal& why) {
  file = {};
  why = {};
  std::uint8_t head[SignatureSize];
  const char* kind =
      ReadAt(fd, head, sizeof head, 0) == sizeof head ? FileKindOf(head, sizeof head) : nullptr;
  if (kind == nullptr || std::strcmp(kind, "a PNG image") != 0) {
    why = {TRefusalKind::NotTiff, "not a PNG file"};
    return -1;
  }
  std::uint8_t interlace = 0;
  if (!WalkChunks(fd, file, interlace, why)) return why.Kind == TRefusalKind::Damaged ? -1 : 0;
  file.Interlaced = interlace == 1;
  const std::uint8_t type = file.ColourType;
  if (file.Width == 0 || file.Height == 0 || file.Width > 0x7FFFFFFFu ||
      file.Height > 0x7FFFFFFFu || type > 6 || type == 1 || type == 5 || interlace > 1) {
    why = {TRefusalKind::Damaged, "damaged header"};
    return -1;
  }
  if (type == 3 || (file.Depth != 8 && file.Depth != 16)) {
    why = {TRefusalKind::NotFlattened,
           type == 3 ? std::string("a palette PNG is not flattened")
                     : "a PNG of " + std::to_string(file.Depth) + " bits is not flattened"};
    return 0;
  }
  if (std::uint64_t{file.Width} * file.Height * ((type & 2) != 0 ? 3 : 1) >=
      (std::uint64_t{1} << 32)) {
    why = {TRefusalKind::TooLarge, "more pixels than it can hold"};
    return -1;
  }
  return 1;
}

}  // namespace

std::int32_t ListPng(const TPageFile& page, TPngFile& file, TRefusal& why) {
  return Examine(page.Fd, file, why);
}

std::int32_t ReadPng(const TPageFile& page, TMyImage& image, TPngFile& file,
                     const std::function<bool(const TMyImage&, std::uint64_t)>& reserve,
                     TRefusal& why) {
  why = {};
  const std::uint8_t type = file.ColourType;
  const bool colour = (type & 2) != 0, alpha = (type & 4) != 0;

  TMyImage header;
  header.Width = file.Width;
  header.Height = file.Height;
  header.BitsPerSample = file.Depth;
  header.SamplesPerPixel = (colour ? 3 : 1) + (alpha ? 1 : 0);
  header.Photometric = colour ? 2 : 1;
  header.PlanarConfig = 1;
  header.RowsPerStrip = 1;
  header.StripCount = file.Height;
  if (alpha) header.ExtraKinds = {2};
  // The planes of the whole correction, as for a TIFF page, the alpha
  // plane, the rows as the file holds them where alpha is among them, and
  // the chunks kept.
  std::uint64_t kept = 0;
  for (const auto* chunks : {&file.Before, &file.After}) {
    for (const auto& chunk : *chunks) kept += chunk.size();
  }
  const std::uint64_t pixels64 = std::uint64_t{header.Width} * header.Height;
  const std::uint64_t bytes = header.BitsPerSample / 8;
  const std::uint64_t planeBytes = pixels64 * (colour ? 25 : 13) / 4 * bytes +
                                   (alpha ? pixels64 * bytes * (1 + header.SamplesPerPixel) : 0) +
                                   kept;
  if (!reserve(header, planeBytes)) return -1;

  TakeHeader(image, std::move(header), static_cast<std::size_t>(alpha ? pixels64 * bytes : 0));
  const std::uint32_t pixels = PixelCount(image);
  const std::uint32_t channels = colour ? 3 : 1;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, OnError, OnWarning);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  bool decoded = false;
  if (info != nullptr) {
    // Every chunk but the image's own was kept above; libpng reads none.
    png_set_keep_unknown_chunks(png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
    png_set_user_limits(png, 0x7FFFFFFF, 0x7FFFFFFF);
    TSource source{page.Fd, 0};
    png_set_read_fn(png, &source, ReadData);
    WithSamples(image, [&](auto zero) {
      using T = decltype(zero);
      auto& gray = GrayOf(zero, image);
      auto& rgb = RgbOf(zero, image);
      const bool swap = sizeof(T) == 2 && HostIsLittleEndian();
      if (!alpha) {
        std::vector<png_bytep> rows =
            RowsOf(colour ? rgb.data() : gray.data(), image.Width, image.Height, channels);
        decoded = DecodeRows(png, info, rows.data(), swap);
      } else {
        TSamples<T> whole(std::size_t{pixels} * (channels + 1));
        std::vector<png_bytep> rows = RowsOf(whole.data(), image.Width, image.Height, channels + 1);
        decoded = DecodeRows(png, info, rows.data(), swap);
        T* samples = colour ? rgb.data() : gray.data();
        T* extra = reinterpret_cast<T*>(image.Extra.data());
        for (std::size_t k = 0; decoded && k < pixels; ++k) {
          for (std::uint32_t c = 0; c < channels; ++c)
            samples[k * channels + c] = whole[k * (channels + 1) + c];
          std::memcpy(extra + k, &whole[k * (channels + 1) + channels], sizeof(T));
        }
      }
      if (decoded && colour) RgbToGray(rgb.data(), gray.data(), pixels);
    });
  }
  png_destroy_read_struct(png != nullptr ? &png : nullptr, info != nullptr ? &info : nullptr,
                          nullptr);
  if (!decoded) {
    why = {TRefusalKind::Damaged, "damaged image data"};
    return -1;
  }
  return 1;
}

std::int32_t WritePng(TSafeWrite& write, const TMyImage& image, const TPngFile& file) {
  const bool colour = IsColour(image), alpha = !image.ExtraKinds.empty();
  const std::uint32_t channels = colour ? 3 : 1;
  const std::uint32_t pixels = PixelCount(image);
  const int colourType = (colour ? PNG_COLOR_MASK_COLOR : 0) | (alpha ? PNG_COLOR_MASK_ALPHA : 0);
  TSink sink{write.TempFd, 0, 0};
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, OnError, OnWarning);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  bool written = false;
  if (info != nullptr) {
    png_set_write_fn(png, &sink, WriteData, FlushData);
    WithSamples(image, [&](auto zero) {
      using T = decltype(zero);
      const T* samples = colour ? RgbOf(zero, image).data() : GrayOf(zero, image).data();
      const bool swap = sizeof(T) == 2 && HostIsLittleEndian();
      if (!alpha) {
        std::vector<png_bytep> rows =
            RowsOf(const_cast<T*>(samples), image.Width, image.Height, channels);
        written = EncodeRows(png, info, &sink, &file, rows.data(), image.Width, image.Height,
                             static_cast<int>(image.BitsPerSample), colourType, swap);
        return;
      }
      // The samples and the alpha kept beside them, interleaved again.
      TSamples<T> whole(std::size_t{pixels} * (channels + 1));
      const auto* extra = reinterpret_cast<const T*>(image.Extra.data());
      for (std::size_t k = 0; k < pixels; ++k) {
        for (std::uint32_t c = 0; c < channels; ++c)
          whole[k * (channels + 1) + c] = samples[k * channels + c];
        std::memcpy(&whole[k * (channels + 1) + channels], extra + k, sizeof(T));
      }
      std::vector<png_bytep> rows = RowsOf(whole.data(), image.Width, image.Height, channels + 1);
      written = EncodeRows(png, info, &sink, &file, rows.data(), image.Width, image.Height,
                           static_cast<int>(image.BitsPerSample), colourType, swap);
    });
  }
  png_destroy_write_struct(png != nullptr ? &png : nullptr, info != nullptr ? &info : nullptr);
  if (!written) {
    write.Why = {TRefusalKind::Unwritable,
                 sink.Error != 0
                     ? "the new file cannot be written: " + std::string(std::strerror(sink.Error))
                     : std::string("the new file cannot be written")};
    return -1;
  }
  return 1;
}
