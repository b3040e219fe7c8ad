#include "harness.h"

#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>

TBytes FileBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<TBytes> Damaged(const TBytes& bytes, std::uint32_t count, std::uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<TBytes> copies;
  for (std::uint32_t k = 0; k < count; ++k) {
    TBytes copy = bytes;
    if (k % 4 == 0) {
      copy.resize(random() % bytes.size());
    } else {
      for (std::uint32_t n = 1 + random() % 4; n > 0; --n)
        copy[random() % copy.size()] = static_cast<char>(random());
    }
    copies.push_back(std::move(copy));
  }
  return copies;
}

void PutBytes(const fs::path& path, const TBytes& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

fs::path MakeTempDir() {
  std::random_device random;
  for (;;) {
    const fs::path dir = fs::temp_directory_path() / ("valdrane-test-" + std::to_string(random()));
    if (fs::create_directory(dir)) return dir;
  }
}

bool WriteScan(const fs::path& path, const TScanLayout& layout, std::uint32_t seed) {
  return WriteScanTiff(path.string().c_str(), layout,
                       SyntheticScan(layout.Width, layout.Height, layout.Colour, seed));
}

bool WriteRawTiff(const fs::path& path, const std::map<std::uint16_t, std::uint32_t>& tags,
                  const std::vector<std::uint8_t>& data, int directories) {
  std::vector<std::uint8_t> bytes;
  auto put = [&bytes](std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  };
  put(0x002A4949, 4);  // "II", 42
  put(static_cast<std::uint32_t>(8 + data.size()), 4);
  bytes.insert(bytes.end(), data.begin(), data.end());
  for (int d = 0; d < directories; ++d) {
    put(static_cast<std::uint32_t>(tags.size()), 2);
    for (const auto& [tag, value] : tags) put(tag, 2), put(4, 2), put(1, 4), put(value, 4);
    const bool last = d + 1 == directories;
    put(last ? 0 : static_cast<std::uint32_t>(bytes.size() + 4), 4);
  }
  PutBytes(path, TBytes(bytes.begin(), bytes.end()));
  return fs::file_size(path) == bytes.size();
}

namespace {

// Every sample of the page the open file is in (8 or 16 bits; none of
// others), through libtiff's tile and scanline readers.
bool ReadSamples(TIFF* tif, TFileInfo& info) {
  std::uint16_t spp = 1, planar = PLANARCONFIG_CONTIG;
  std::uint32_t tw = info.Width, tl = 1;  // tiles, or one row of a strip
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
  const bool tiled = TIFFIsTiled(tif) != 0;
  if (tiled) TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tw), TIFFGetField(tif, TIFFTAG_TILELENGTH, &tl);
  const std::uint32_t W = info.Width, H = info.Height, bytes = info.Bits / 8;
  const std::uint32_t planes = planar == PLANARCONFIG_SEPARATE ? spp : 1, each = spp / planes;
  info.Samples.assign(std::size_t{W} * H * spp, 0);
  std::vector<std::uint8_t> block(std::size_t{tw} * tl * each * 2);
  for (std::uint16_t p = 0; p < planes && (info.Bits == 8 || info.Bits == 16); ++p) {
    for (std::uint32_t y = 0; y < H; y += tl) {
      for (std::uint32_t x = 0; x < W; x += tw) {
        if ((tiled ? TIFFReadTile(tif, block.data(), x, y, 0, p)
                   : TIFFReadScanline(tif, block.data(), y, p)) < 0) {
          return false;
        }
        for (std::uint32_t i = 0; i < tw * tl * each; ++i) {
          const std::uint32_t px = x + i / each % tw, py = y + i / each / tw;
          std::uint16_t v = block[i];
          if (bytes == 2) std::memcpy(&v, &block[i * 2], 2);
          if (px < W && py < H) info.Samples[(std::size_t{py} * W + px) * spp + p + i % each] = v;
        }
      }
    }
  }
  return true;
}

}  // namespace

bool ReadFileInfo(const fs::path& path, TFileInfo& info, std::uint16_t directory, int preview) {
  TIFF* tif = TIFFOpen(path.string().c_str(), "rc");
  if (tif == nullptr) return false;
  std::uint16_t previews = 0;
  std::uint64_t* offsets = nullptr;
  if (TIFFSetDirectory(tif, directory) != 1 ||
      (preview >= 0 && (TIFFGetField(tif, TIFFTAG_SUBIFD, &previews, &offsets) != 1 ||
                        preview >= previews || TIFFSetSubDirectory(tif, offsets[preview]) != 1))) {
    TIFFClose(tif);
    return false;
  }
  info = TFileInfo{};
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &info.Width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &info.Height);
  TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &info.Photometric);
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &info.Compression);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &info.Bits);
  std::uint16_t extras = 0, *kinds = nullptr;
  if (TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &extras, &kinds) == 1) {
    info.ExtraKinds.assign(kinds, kinds + extras);
  }
  if (info.Compression != COMPRESSION_JPEG && !ReadSamples(tif, info)) {
    TIFFClose(tif);
    return false;
  }
  // Through libtiff's RGBA reader, whatever the layout: YCbCr JPEG as the
  // RGB the codec makes of it, grey as its value in R.
  const bool colour = info.Photometric > PHOTOMETRIC_MINISBLACK;
  std::vector<std::uint32_t> rgba(std::size_t{info.Width} * info.Height);
  const bool ok = TIFFReadRGBAImageOriented(tif, info.Width, info.Height, rgba.data(),
                                            ORIENTATION_TOPLEFT, 0) == 1;
  for (const std::uint32_t pixel : rgba) {
    info.Pixels.push_back(static_cast<std::uint8_t>(TIFFGetR(pixel)));
    if (colour) {
      info.Pixels.insert(info.Pixels.end(), {static_cast<std::uint8_t>(TIFFGetG(pixel)),
                                             static_cast<std::uint8_t>(TIFFGetB(pixel))});
    }
  }
  TIFFClose(tif);
  return ok;
}

std::map<std::uint16_t, std::string> Entries(const fs::path& path, std::uint16_t sub) {
  const TBytes b = FileBytes(path);
  auto get = [&b](std::size_t at, int size) {
    std::uint32_t value = 0;
    for (int i = size; i-- > 0;) value = value << 8 | static_cast<std::uint8_t>(b.at(at + i));
    return value;
  };
  std::map<std::uint16_t, std::string> entries;
  std::uint32_t directory = get(4, 4);
  for (std::uint32_t i = 0, n = get(directory, 2); sub != 0 && i < n; ++i) {
    if (get(directory + 2 + 12 * i, 2) == sub)
      directory = get(directory + 2 + 12 * i + 8, 4), i = n;
  }
  for (std::uint32_t i = 0, n = get(directory, 2); i < n; ++i) {
    const std::size_t e = directory + 2 + 12 * i;
    const std::uint32_t type = get(e + 2, 2);
    const std::size_t size = get(e + 4, 4) * std::size_t{type == 3   ? 2u
                                                         : type == 4 ? 4u
                                                         : type == 5 ? 8u
                                                                     : 1u};
    const std::size_t at = size <= 4 ? e + 8 : get(e + 8, 4);
    entries[static_cast<std::uint16_t>(get(e, 2))] =
        std::to_string(type) + ":" + std::string(&b.at(at), size);
  }
  for (const int offset : {273, 279, 324, 325, 34665, 34853})
    entries.erase(static_cast<std::uint16_t>(offset));
  return entries;
}

namespace {

std::map<std::string, TEntry> ParseReport(const std::string& text) {
  static const std::regex stage(
      "(read|down|border|bg|up|copy|div|substract|margin|paper|write|total) "
      "(0|[1-9][0-9]*)\\.[0-9]{3}");
  static const std::regex failure("image (.*) (read|write) error");
  std::map<std::string, TEntry> entries;
  TEntry current;
  std::size_t start = 0, lines = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    const std::string line = text.substr(start, end - start);
    std::smatch match;
    if (lines++ < 2) continue;  // the banner
    if (std::regex_match(line, match, stage)) {
      EXPECT_LT(std::stoul(match[2]), 3600u) << line << ": no stage of a test takes an hour";
      current.Labels.push_back(match[1]);
      continue;
    }
    const bool failed = std::regex_match(line, match, failure);
    current.Outcome = failed ? match[2].str() + " error" : "done";
    entries[failed ? match[1].str() : line] = current;
    current = TEntry{};
  }
  EXPECT_EQ(start, text.size()) << "text after the last CRLF";
  EXPECT_TRUE(current.Labels.empty()) << "the report ends inside an entry";
  return entries;
}

}  // namespace

std::string SummaryLine(const std::string& err) {
  const std::size_t at = err.find(" flattened, ");
  const std::size_t start = err.rfind("valdrane: ", at) + 10, end = err.find("\r\n", at);
  return at == std::string::npos ? std::string() : err.substr(start, end - start);
}

void ReadOutput(const fs::path& dir, TToolRun& run) {
  const TBytes out = FileBytes(dir.parent_path() / "out.txt"),
               err = FileBytes(dir.parent_path() / "err.txt");
  run.Out.assign(out.begin(), out.end());
  run.Err.assign(err.begin(), err.end());
  if (run.Status == 0 && run.Out.rfind(Banner, 0) == 0) run.Entries = ParseReport(run.Out);
}

const char* const Banner = "Valdrane v.0.3 alpha\r\n______20.05.2007._______________\r\n";
const std::vector<std::string> GreyLabels = {"read", "down", "border", "bg",   "up",
                                             "copy", "div",  "write",  "total"};
const std::vector<std::string> ColourLabels = {"read", "down", "border",    "bg",    "up",
                                               "copy", "div",  "substract", "write", "total"};
const std::vector<std::string> PaperLabels = {"read", "down",  "margin", "paper",
                                              "div",  "write", "total"};

std::vector<std::string> Listing(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::u8string name = e.path().filename().u8string();
    names.emplace_back(name.begin(), name.end());
  }
  return names;
}
