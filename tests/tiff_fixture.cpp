#include "tiff_fixture.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>

bool WriteFixture(const std::filesystem::path& path, TFixture f) {
  const std::size_t rowBytes = std::size_t{f.Width} * f.SamplesPerPixel * (f.BitsPerSample / 8);
  if (f.Pixels.empty()) f.Pixels = RandomBytes(rowBytes * f.Height, f.Width * 7919u + f.Height);
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  if (tif == nullptr) return false;
  bool ok = true;
  for (std::uint32_t page = 0; ok && page < f.Pages; ++page) {
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, f.Width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, f.Height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, f.BitsPerSample);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, f.SamplesPerPixel);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, f.Compression);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, f.Photometric);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, f.PlanarConfig);
    if (f.SampleFormat != 0) TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, f.SampleFormat);
    if (f.XResolution != 0) {
      TIFFSetField(tif, TIFFTAG_XRESOLUTION, double{f.XResolution});
      TIFFSetField(tif, TIFFTAG_YRESOLUTION, double{f.YResolution});
    }
    if (f.ResolutionUnit != 0) TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, f.ResolutionUnit);
    if (f.TileSize > 0) {
      TIFFSetField(tif, TIFFTAG_TILEWIDTH, f.TileSize);
      TIFFSetField(tif, TIFFTAG_TILELENGTH, f.TileSize);
      tmsize_t tileBytes = TIFFTileSize(tif);
      std::vector<std::uint8_t> tile(static_cast<std::size_t>(tileBytes), 128);
      for (ttile_t t = 0; ok && t < TIFFNumberOfTiles(tif); ++t) {
        ok = TIFFWriteEncodedTile(tif, t, tile.data(), tileBytes) == tileBytes;
      }
    } else {
      if (f.RowsPerStrip != 0) TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, f.RowsPerStrip);
      const std::uint32_t rows =
          f.RowsPerStrip == 0 || f.RowsPerStrip > f.Height ? f.Height : f.RowsPerStrip;
      // With separate planes each strip holds one sample of its rows; their
      // content does not matter to the tests that make such files.
      const std::uint32_t stripsPerPlane = (f.Height + rows - 1) / rows;
      const std::size_t stripRowBytes =
          f.PlanarConfig == 2 ? rowBytes / f.SamplesPerPixel : rowBytes;
      for (tstrip_t s = 0; ok && s < TIFFNumberOfStrips(tif); ++s) {
        const std::uint32_t first = (s % stripsPerPlane) * rows;
        const std::uint32_t n = std::min(rows, f.Height - first);
        const std::uint8_t* data = f.Pixels.data() + (f.PlanarConfig == 2 ? 0 : first * rowBytes);
        ok = TIFFWriteEncodedStrip(tif, s, const_cast<std::uint8_t*>(data),
                                   tmsize_t(stripRowBytes * n)) != -1;
      }
    }
    ok = ok && TIFFWriteDirectory(tif) == 1;
  }
  TIFFClose(tif);
  return ok;
}

bool WriteRawTiff(const std::filesystem::path& path,
                  std::vector<std::pair<std::uint16_t, std::uint32_t>> entries,
                  const std::vector<std::uint8_t>& data) {
  if (std::none_of(entries.begin(), entries.end(), [](auto e) { return e.first == 273; })) {
    entries.emplace_back(273, 8);
  }
  std::sort(entries.begin(), entries.end());  // directories list tags in ascending order
  std::vector<std::uint8_t> bytes;
  auto put = [&bytes](std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i) bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
  };
  put(0x002A4949, 4);  // "II", 42
  put(static_cast<std::uint32_t>(8 + data.size()), 4);
  bytes.insert(bytes.end(), data.begin(), data.end());
  put(static_cast<std::uint32_t>(entries.size()), 2);
  for (const auto& [tag, value] : entries) {
    put(tag, 2);
    put(4, 2);  // LONG
    put(1, 4);  // one value
    put(value, 4);
  }
  put(0, 4);  // no further directory
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

bool ReadFileInfo(const std::filesystem::path& path, TFileInfo& info) {
  TIFF* tif = TIFFOpen(path.c_str(), "rc");
  if (tif == nullptr) return false;
  info = TFileInfo{};
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &info.Width);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &info.Height);
  TIFFGetFieldDefaulted(tif, TIFFTAG_ROWSPERSTRIP, &info.RowsPerStrip);
  TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &info.Photometric);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &info.SamplesPerPixel);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &info.BitsPerSample);
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &info.Compression);
  TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &info.PlanarConfig);
  info.HasXResolution = TIFFGetField(tif, TIFFTAG_XRESOLUTION, &info.XResolution) == 1;
  info.HasYResolution = TIFFGetField(tif, TIFFTAG_YRESOLUTION, &info.YResolution) == 1;
  info.HasResolutionUnit = TIFFGetField(tif, TIFFTAG_RESOLUTIONUNIT, &info.ResolutionUnit) == 1;
  info.Strips = TIFFNumberOfStrips(tif);
  const tmsize_t scanline = TIFFScanlineSize(tif);
  info.Pixels.resize(static_cast<std::size_t>(scanline) * info.Height);
  bool ok = true;
  for (std::uint32_t row = 0; ok && row < info.Height; ++row) {
    ok = TIFFReadScanline(tif, info.Pixels.data() + row * scanline, row) == 1;
  }
  TIFFClose(tif);
  return ok;
}

std::vector<char> FileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::filesystem::path MakeTempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "valdrane-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) std::abort();
  return pattern;
}

std::vector<std::uint8_t> RandomBytes(std::size_t count, std::uint32_t seed) {
  std::mt19937 generator(seed);
  std::vector<std::uint8_t> bytes(count);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(generator() >> 24);
  return bytes;
}
