// Test fixtures: TIFF files made and inspected with libtiff directly, so the
// tests do not depend on the reader and writers they check.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct TFixture {
  std::uint32_t Width = 4;
  std::uint32_t Height = 4;
  std::uint16_t Photometric = 1;
  std::uint16_t SamplesPerPixel = 1;
  std::uint16_t BitsPerSample = 8;
  std::uint16_t Compression = 1;
  std::uint16_t PlanarConfig = 1;
  std::uint16_t SampleFormat = 0;  // 0: tag not written
  std::uint32_t RowsPerStrip = 0;  // 0: tag not written
  float XResolution = 0;           // 0: resolution tags not written
  float YResolution = 0;
  std::uint16_t ResolutionUnit = 0;  // 0: tag not written
  std::uint32_t TileSize = 0;        // > 0: a tiled file with square tiles
  std::uint32_t Pages = 1;
  // Pixel bytes, row by row, samples interleaved; made up when empty.
  std::vector<std::uint8_t> Pixels;
};

// Writes `fixture` to `path`; false when libtiff refused it.
bool WriteFixture(const std::filesystem::path& path, TFixture fixture);

// Writes a little-endian TIFF by hand: the 8-byte header, `data` from
// offset 8, then one directory of `entries` (tag, value), each stored as
// one LONG. Lets a test declare what libtiff would refuse to write, such as
// a size that the data does not have. StripOffsets (273) is 8 when not given.
bool WriteRawTiff(const std::filesystem::path& path,
                  std::vector<std::pair<std::uint16_t, std::uint32_t>> entries,
                  const std::vector<std::uint8_t>& data);

// What a file holds, read independently of the tool.
struct TFileInfo {
  std::uint32_t Width = 0, Height = 0, RowsPerStrip = 0, Strips = 0;
  std::uint16_t Photometric = 0, SamplesPerPixel = 0, BitsPerSample = 0, Compression = 0,
                PlanarConfig = 0, ResolutionUnit = 0;
  bool HasXResolution = false, HasYResolution = false, HasResolutionUnit = false;
  float XResolution = 0, YResolution = 0;
  std::vector<std::uint8_t> Pixels;  // decoded, row by row
};

// Reads `path`; false when libtiff cannot read it.
bool ReadFileInfo(const std::filesystem::path& path, TFileInfo& info);

// Bytes of a file, for checking that a file was left untouched.
std::vector<char> FileBytes(const std::filesystem::path& path);

// A fresh, empty directory under the system's temporary directory.
std::filesystem::path MakeTempDir();

// Pseudo-random bytes from a fixed seed.
std::vector<std::uint8_t> RandomBytes(std::size_t count, std::uint32_t seed);
