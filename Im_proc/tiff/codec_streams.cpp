#include "codec_streams.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

std::uint32_t Le32(const std::uint8_t* at) {
  return std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 | std::uint32_t{at[2]} << 16 |
         std::uint32_t{at[3]} << 24;
}

// The boolean entropy decoder of VP8's frame header (RFC 6386, section 7),
// reading zeros past the end; Short says it got there.
struct TBoolReader {
  const std::uint8_t* At;
  const std::uint8_t* End;
  std::uint32_t Value = 0, Range = 255;
  int Bits = 0;
  bool Short = false;

  TBoolReader(const std::uint8_t* at, const std::uint8_t* end) : At(at), End(end) {
    Value = std::uint32_t{Next()} << 8;
    Value |= Next();
  }
  std::uint8_t Next() {
    if (At == End) {
      Short = true;
      return 0;
    }
    return *At++;
  }
  bool Bit(std::uint32_t probability) {
    const std::uint32_t split = 1 + (((Range - 1) * probability) >> 8);
    const bool one = Value >= split << 8;
    if (one) {
      Range -= split;
      Value -= split << 8;
    } else {
      Range = split;
    }
    while (Range < 128) {
      Value <<= 1;
      Range <<= 1;
      if (++Bits == 8) {
        Bits = 0;
        Value |= Next();
      }
    }
    return one;
  }
  std::uint32_t Literal(int bits) {
    std::uint32_t v = 0;
    while (bits-- > 0) v = v << 1 | (Bit(128) ? 1u : 0u);
    return v;
  }
  // A value of `bits` bits and its sign, behind a flag saying it is there.
  int Signed(int bits) {
    if (!Bit(128)) return 0;
    const int v = static_cast<int>(Literal(bits));
    return Bit(128) ? -v : v;
  }
};

// The finest quantiser of a lossy VP8 key frame's header (RFC 6386,
// section 19.2): the base index, or with segments the index of each.
bool ReadVp8Quantiser(const std::uint8_t* data, std::size_t size, std::uint32_t& finest) {
  // Frame tag (3 bytes, bit 0 clear on a key frame), start code, sizes.
  if (size < 10 || (data[0] & 1) != 0 || data[3] != 0x9d || data[4] != 0x01 || data[5] != 0x2a) {
    return false;
  }
  TBoolReader r(data + 10, data + size);
  r.Literal(2);  // colour space, clamping
  int segments[4] = {0, 0, 0, 0};
  bool perSegment = false, absolute = false;
  if (r.Bit(128)) {  // segmentation enabled
    const bool updateMap = r.Bit(128);
    if (r.Bit(128)) {  // segment data
      perSegment = true;
      absolute = r.Bit(128);
      for (int& q : segments) q = r.Signed(7);
      for (int i = 0; i < 4; ++i) r.Signed(6);  // loop filter levels
    }
    if (updateMap) {
      for (int i = 0; i < 3; ++i) {
        if (r.Bit(128)) r.Literal(8);
      }
    }
  }
  r.Literal(1 + 6 + 3);  // filter type, level, sharpness
  if (r.Bit(128) && r.Bit(128)) {
    for (int i = 0; i < 8; ++i) r.Signed(6);  // loop filter deltas
  }
  r.Literal(2);  // partitions
  const int base = static_cast<int>(r.Literal(7));
  if (r.Short) return false;
  int least = base;
  if (perSegment) {
    least = 127;
    for (const int q : segments) least = std::min(least, absolute ? q : base + q);
  }
  finest = static_cast<std::uint32_t>(std::clamp(least, 0, 127));
  return true;
}

// libwebp's base quantiser index for each level 0 to 100:
// (int)(127 * (1 - c^(1/3))), c = 2/3 q below q = 0.75, else 2q - 1, for
// q = level / 100, as its encoder computes it. A table rather than pow(), so
// that every system picks the same level.
constexpr std::uint8_t BaseQuantiser[101] = {
    127, 103, 96, 92, 89, 86, 83, 81, 79, 77, 75, 73, 72, 70, 69, 68, 66, 65, 64, 63, 62,
    61,  60,  59, 58, 57, 56, 55, 54, 53, 52, 51, 51, 50, 49, 48, 48, 47, 46, 45, 45, 44,
    43,  43,  42, 41, 41, 40, 40, 39, 38, 38, 37, 37, 36, 36, 35, 35, 34, 33, 33, 32, 32,
    31,  31,  30, 30, 29, 29, 28, 28, 28, 27, 27, 26, 26, 24, 23, 22, 21, 19, 18, 17, 16,
    15,  14,  13, 12, 11, 10, 9,  8,  7,  6,  5,  4,  3,  2,  1,  0,  0};

}  // namespace

bool ReadWebpCoding(const std::uint8_t* data, std::size_t size, TWebpCoding& coding) {
  if (size < 12 || std::memcmp(data, "RIFF", 4) != 0 || std::memcmp(data + 8, "WEBP", 4) != 0) {
    return false;
  }
  for (std::size_t at = 12; at + 8 <= size;) {
    const std::uint32_t length = Le32(data + at + 4);
    const std::uint8_t* body = data + at + 8;
    const std::size_t left = size - at - 8;
    if (std::memcmp(data + at, "VP8L", 4) == 0) {
      coding = {true, 0};
      return true;
    }
    if (std::memcmp(data + at, "VP8 ", 4) == 0) {
      coding.Lossless = false;
      return ReadVp8Quantiser(body, std::min<std::size_t>(length, left), coding.FinestQuantiser);
    }
    if (length > left) return false;
    at += 8 + std::size_t{length} + (length & 1);
  }
  return false;
}

std::uint32_t WebpLevelFor(std::uint32_t quantiser) {
  std::uint32_t level = 1;
  while (level < 100 && BaseQuantiser[level + 1] >= quantiser) ++level;
  return level;
}

bool ReadLercMaxZError(const std::uint8_t* data, std::size_t size, double& maxZError) {
  if (size < 10 || std::memcmp(data, "Lerc2 ", 6) != 0) return false;
  const std::uint32_t version = Le32(data + 6);
  if (version < 2 || version > 6) return false;
  // After the version: a checksum (from version 3), six to eight integers,
  // four flag bytes (version 6), then MaxZError, a little-endian double.
  const std::size_t at = 10 + (version >= 3 ? 4 : 0) +
                         4 * (6 + (version >= 4 ? 1 : 0) + (version >= 6 ? 1 : 0)) +
                         (version >= 6 ? 4 : 0);
  if (size < at + 8) return false;
  std::uint64_t bits = 0;
  for (int i = 7; i >= 0; --i) bits = bits << 8 | data[at + static_cast<std::size_t>(i)];
  std::memcpy(&maxZError, &bits, sizeof maxZError);
  // Infinity would take every sample to one value; NaN compares false.
  return std::isfinite(maxZError) && maxZError >= 0;
}

namespace {

// liblerc's Fletcher-32 over bytes, two at a time, the first the high one.
std::uint32_t LercChecksum(const std::uint8_t* data, std::size_t size) {
  std::uint32_t sum1 = 0xffff, sum2 = 0xffff;
  for (std::size_t words = size / 2; words > 0;) {
    std::size_t run = std::min<std::size_t>(words, 359);
    words -= run;
    for (; run > 0; --run, data += 2) {
      sum1 += std::uint32_t{data[0]} << 8;
      sum2 += sum1 += data[1];
    }
    sum1 = (sum1 & 0xffff) + (sum1 >> 16);
    sum2 = (sum2 & 0xffff) + (sum2 >> 16);
  }
  if (size % 2 != 0) sum2 += sum1 += std::uint32_t{*data} << 8;
  sum1 = (sum1 & 0xffff) + (sum1 >> 16);
  sum2 = (sum2 & 0xffff) + (sum2 >> 16);
  return sum2 << 16 | sum1;
}

// Whether the blob of `size` bytes at `data` ends in the Huffman coder's
// unwritten word: 8-bit data (liblerc's types 0 and 1) coded without loss
// (MaxZError 0.5), with values to code, in one of the Huffman modes.
bool EndsInHuffmanWord(const std::uint8_t* data, std::size_t size, std::uint32_t version) {
  const auto number = [&](std::size_t at) { return at + 4 <= size ? Le32(data + at) : 0u; };
  std::size_t at = 10 + (version >= 3 ? 4 : 0);
  const std::uint32_t depth = version >= 4 ? number(at + 8) : 1;
  at += version >= 4 ? 12 : 8;
  const std::uint32_t valid = number(at);
  const std::uint32_t type = number(at + 12);
  at += 16 + (version >= 6 ? 8 : 0);
  double limits[3];  // MaxZError, the least and the largest value
  if (at + sizeof limits > size || type > 1 || valid == 0) return false;
  std::memcpy(limits, data + at, sizeof limits);
  at += sizeof limits;
  if (limits[0] != 0.5 || limits[1] == limits[2]) return false;
  at += 4 + std::size_t{number(at)};  // the mask
  if (version >= 4) {                 // each depth's least and largest value, a byte each
    if (depth == 0 || at + 2 * std::size_t{depth} > size ||
        std::equal(data + at, data + at + depth, data + at + depth)) {
      return false;
    }
    at += 2 * std::size_t{depth};
  }
  // Not written in one sweep, and coded by Huffman rather than in tiles.
  return at + 2 <= size && data[at] == 0 && data[at + 1] != 0;
}

}  // namespace

void SettleLercBlobs(std::uint8_t* data, std::size_t size) {
  for (std::size_t at = 0; size - at >= 14 && std::memcmp(data + at, "Lerc2 ", 6) == 0;) {
    const std::uint32_t version = Le32(data + at + 6);
    if (version < 2 || version > 6) return;
    // The blob's size, among the integers after the checksum.
    const std::size_t sizeAt = at + 10 + (version >= 3 ? 4 : 0) + (version >= 4 ? 20 : 16);
    if (sizeAt + 4 > size) return;
    const std::size_t blob = Le32(data + sizeAt);
    if (blob < 18 || blob > size - at) return;
    std::uint8_t* start = data + at;
    if (EndsInHuffmanWord(start, blob, version)) {
      std::memset(start + blob - 4, 0, 4);
      if (version >= 3) {
        const std::uint32_t checksum = LercChecksum(start + 14, blob - 14);
        for (int i = 0; i < 4; ++i) start[10 + i] = static_cast<std::uint8_t>(checksum >> (8 * i));
      }
    }
    at += blob;
  }
}
