#include "jpeg_quality.h"

#include <algorithm>

namespace {

// Annex K of the JPEG standard, tables K.1 and K.2, in natural order.
constexpr std::uint16_t Luminance[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
constexpr std::uint16_t Chrominance[64] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
    99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};

// Where the k-th value of a table in a stream (zigzag order) goes.
constexpr std::uint8_t NaturalOrder[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

// Reads the tables of one DQT segment's body.
bool ReadSegment(const std::uint8_t* at, std::size_t size, TQuantTables& tables) {
  while (size > 0) {
    const int precision = at[0] >> 4, number = at[0] & 15;
    const std::size_t bytes = 1 + 64 * (precision == 0 ? 1u : 2u);
    if (precision > 1 || number > 3 || size < bytes) return false;
    for (int k = 0; k < 64; ++k) {
      tables.Values[number][NaturalOrder[k]] =
          precision == 0 ? at[1 + k]
                         : static_cast<std::uint16_t>(at[1 + 2 * k] << 8 | at[2 + 2 * k]);
    }
    tables.Present[number] = true;
    at += bytes;
    size -= bytes;
  }
  return true;
}

}  // namespace

bool ReadQuantTables(const std::uint8_t* data, std::size_t size, TQuantTables& tables) {
  if (size < 2 || data[0] != 0xFF || data[1] != 0xD8) return false;
  std::size_t at = 2;
  while (at + 1 < size) {
    if (data[at] != 0xFF) return false;
    const std::uint8_t marker = data[at + 1];
    if (marker == 0xFF) {  // fill byte
      ++at;
      continue;
    }
    at += 2;
    if (marker == 0xD9 || marker == 0xDA) return true;  // the end, or the first scan
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) continue;  // no length
    if (at + 2 > size) return false;
    const std::size_t length = std::size_t{data[at]} << 8 | data[at + 1];
    if (length < 2 || at + length > size) return false;
    if (marker == 0xDB && !ReadSegment(data + at + 2, length - 2, tables)) return false;
    at += length;
  }
  return true;
}

std::array<std::uint16_t, 64> StandardTable(bool chrominance, int quality) {
  quality = std::clamp(quality, 1, 100);
  const long scale = quality < 50 ? 5000 / quality : 200 - 2 * quality;
  std::array<std::uint16_t, 64> table{};
  for (int i = 0; i < 64; ++i) {
    const long value = ((chrominance ? Chrominance : Luminance)[i] * scale + 50) / 100;
    table[i] = static_cast<std::uint16_t>(std::clamp(value, 1L, 32767L));
  }
  return table;
}

int QualityOf(const TQuantTables& tables) {
  if (std::none_of(tables.Present.begin(), tables.Present.end(), [](bool p) { return p; })) {
    return 0;
  }
  // How each present table compares with the standard ones of a quality.
  const auto all = [&](int quality, auto&& holds) {
    for (int n = 0; n < 4; ++n) {
      if (!tables.Present[n]) continue;
      const std::array<std::uint16_t, 64> standard = StandardTable(n != 0, quality);
      for (int i = 0; i < 64; ++i) {
        if (!holds(standard[i], tables.Values[n][i])) return false;
      }
    }
    return true;
  };
  for (int quality = 1; quality <= 100; ++quality) {
    if (all(quality, [](std::uint16_t s, std::uint16_t v) { return s == v; })) return quality;
  }
  for (int quality = 1; quality <= 100; ++quality) {
    if (all(quality, [](std::uint16_t s, std::uint16_t v) { return s <= v; })) return quality;
  }
  return 0;  // a table with a 0 entry, which no JPEG decoder takes
}
