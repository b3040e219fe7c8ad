// PNG pages through the tool: flattened exactly as the same page in a TIFF
// file, every other chunk kept in its place; the kinds it does not flatten
// refused with a reason and left byte for byte.
#include <png.h>
#include <sys/wait.h>
#include <zlib.h>

#include <algorithm>
#include <csetjmp>
#include <cstring>

#include "harness.h"

namespace {

using TChunk = std::pair<std::string, std::string>;  // type, data

std::string ChunkBytes(const TChunk& chunk) {
  std::string whole(4, '\0');
  const auto length = static_cast<std::uint32_t>(chunk.second.size());
  for (int i = 0; i < 4; ++i) whole[i] = static_cast<char>(length >> (24 - 8 * i));
  whole += chunk.first + chunk.second;
  const auto* typed = reinterpret_cast<const Bytef*>(whole.data() + 4);
  const auto crc = static_cast<std::uint32_t>(crc32(0, typed, static_cast<uInt>(whole.size() - 4)));
  for (int i = 0; i < 4; ++i) whole += static_cast<char>(crc >> (24 - 8 * i));
  return whole;
}

// The chunks of a PNG file's bytes, in order, after the signature.
std::vector<TChunk> ChunksOf(const TBytes& bytes) {
  std::vector<TChunk> chunks;
  for (std::size_t at = 8; at + 12 <= bytes.size();) {
    std::uint32_t length = 0;
    for (int i = 0; i < 4; ++i) length = length << 8 | static_cast<std::uint8_t>(bytes[at + i]);
    chunks.emplace_back(std::string(&bytes[at + 4], 4), std::string(&bytes[at + 8], length));
    at += 12 + length;
  }
  return chunks;
}

void OnError(png_structp png, png_const_charp) { png_longjmp(png, 1); }

struct TMemory {
  std::string Bytes;
};
void Append(png_structp png, png_bytep data, std::size_t size) {
  static_cast<TMemory*>(png_get_io_ptr(png))->Bytes.append(reinterpret_cast<char*>(data), size);
}
void NoFlush(png_structp) {}

bool Encode(png_structp png, png_infop info, png_bytep* rows, std::uint32_t w, std::uint32_t h,
            int bits, int type, bool interlaced, const png_color* palette) {
  if (setjmp(png_jmpbuf(png)) != 0) return false;
  png_set_IHDR(png, info, w, h, bits, type, interlaced ? PNG_INTERLACE_ADAM7 : 0, 0, 0);
  if (palette != nullptr) png_set_PLTE(png, info, palette, 256);
  png_write_info(png, info);
  if (bits == 16) png_set_swap(png);
  if (interlaced) png_set_interlace_handling(png);
  png_write_image(png, rows);
  png_write_end(png, nullptr);
  return true;
}

// A PNG file of `samples` (host order at 16 bits, `perPixel` a pixel), with
// `before` put after IHDR and `after` before IEND.
TBytes MakePng(const std::vector<std::uint16_t>& samples, std::uint32_t w, std::uint32_t h,
               int bits, int type, bool interlaced, const std::vector<TChunk>& before,
               const std::vector<TChunk>& after) {
  const int perPixel = type == 2 ? 3 : type == 4 ? 2 : type == 6 ? 4 : 1;
  const std::size_t rowBytes = std::size_t{w} * perPixel * (bits == 16 ? 2 : 1);
  std::vector<std::uint8_t> packed(rowBytes * h);
  for (std::size_t k = 0; k < samples.size(); ++k) {
    if (bits == 16) {
      std::memcpy(&packed[2 * k], &samples[k], 2);
    } else if (bits == 8) {
      packed[k] = static_cast<std::uint8_t>(samples[k]);
    }
  }
  std::vector<png_bytep> rows(h);
  for (std::uint32_t y = 0; y < h; ++y) rows[y] = packed.data() + y * rowBytes;
  png_color palette[256];
  for (int i = 0; i < 256; ++i) palette[i] = {static_cast<png_byte>(i), 0, 0};
  TMemory memory;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, OnError, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_write_fn(png, &memory, Append, NoFlush);
  const bool made =
      Encode(png, info, rows.data(), w, h, bits, type, interlaced, type == 3 ? palette : nullptr);
  png_destroy_write_struct(&png, &info);
  if (!made) return {};
  std::string& bytes = memory.Bytes;
  std::string middle;
  for (const TChunk& chunk : before) middle += ChunkBytes(chunk);
  bytes.insert(8 + 25, middle);
  std::string end;
  for (const TChunk& chunk : after) end += ChunkBytes(chunk);
  bytes.insert(bytes.size() - 12, end);
  return TBytes(bytes.begin(), bytes.end());
}

bool Decode(png_structp png, png_infop info, int transforms) {
  if (setjmp(png_jmpbuf(png)) != 0) return false;
  png_read_png(png, info, transforms, nullptr);
  return true;
}

struct TSource {
  const TBytes* Bytes;
  std::size_t At = 0;
};
void ReadMemory(png_structp png, png_bytep data, std::size_t size) {
  auto& source = *static_cast<TSource*>(png_get_io_ptr(png));
  if (source.At + size > source.Bytes->size()) png_error(png, "short");
  std::memcpy(data, source.Bytes->data() + source.At, size);
  source.At += size;
}

// The samples of a PNG file, in host order, every sample of every pixel.
std::vector<std::uint16_t> SamplesOfPng(const TBytes& bytes) {
  TSource source{&bytes};
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, OnError, nullptr);
  png_infop info = png_create_info_struct(png);
  png_set_read_fn(png, &source, ReadMemory);
  std::vector<std::uint16_t> samples;
  if (Decode(png, info, PNG_TRANSFORM_SWAP_ENDIAN)) {
    const std::size_t rowBytes = png_get_rowbytes(png, info);
    const bool wide = png_get_bit_depth(png, info) == 16;
    png_bytepp rows = png_get_rows(png, info);
    for (std::uint32_t y = 0; y < png_get_image_height(png, info); ++y) {
      for (std::size_t k = 0; k < rowBytes; k += wide ? 2 : 1) {
        std::uint16_t v = rows[y][k];
        if (wide) std::memcpy(&v, rows[y] + k, 2);
        samples.push_back(v);
      }
    }
  }
  png_destroy_read_struct(&png, &info, nullptr);
  return samples;
}

class Png : public TFolderTest {};

}  // namespace

// Each kind of PNG page it flattens, with and without alpha, interlaced or
// not, with chunks before and after the image: the samples come out as the
// same page's in a TIFF file do, alpha as it was, and every chunk but the
// image data is kept in order, byte for byte.
TEST_F(Png, EachKindComesOutAsTheSamePageInTiff) {
  const std::vector<TChunk> before = {{"gAMA", std::string("\0\0\xb1\x8f", 4)},
                                      {"pHYs", std::string("\0\0\x0b\x13\0\0\x0b\x13\x01", 9)},
                                      {"tEXt", std::string("Title\0a page", 12)},
                                      {"abCd", "a private chunk safe to copy"}};
  const std::vector<TChunk> after = {{"zTXt", std::string("Note\0\0", 6) + "x\x9c\x03\0\0\0\0\x01"},
                                     {"eXIf", "MM\0*"}};
  const struct {
    bool colour;
    int bits;
    bool alpha, interlaced;
  } cases[] = {{false, 8, false, false}, {true, 8, false, false}, {true, 8, false, true},
               {false, 16, false, true}, {true, 16, true, false}, {false, 8, true, true}};
  const std::uint32_t w = 157, h = 211;
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.bits) + (c.colour ? " colour" : " grey") +
                 (c.alpha ? " alpha" : "") + (c.interlaced ? " interlaced" : ""));
    const std::vector<std::uint8_t> pixels = SyntheticScan(w, h, c.colour, 7);
    const std::uint32_t channels = c.colour ? 3 : 1, perPixel = channels + (c.alpha ? 1 : 0);
    const std::uint16_t scale = c.bits == 16 ? 257 : 1;
    std::vector<std::uint16_t> samples, alpha;
    for (std::size_t k = 0; k < std::size_t{w} * h; ++k) {
      for (std::uint32_t s = 0; s < channels; ++s)
        samples.push_back(static_cast<std::uint16_t>(pixels[k * channels + s] * scale));
      if (c.alpha) {
        alpha.push_back(static_cast<std::uint16_t>(k % 251 * scale));
        samples.push_back(alpha.back());
      }
    }
    const int type = (c.colour ? 2 : 0) | (c.alpha ? 4 : 0);
    const TBytes png = MakePng(samples, w, h, c.bits, type, c.interlaced, before, after);
    ASSERT_FALSE(png.empty());
    PutBytes(dir / "page.png", png);
    TScanLayout layout{w, h, c.colour};
    layout.Bits = static_cast<std::uint16_t>(c.bits);
    ASSERT_TRUE(WriteScanTiff((dir / "page.tif").c_str(), layout, pixels));
    for (const char* correction : {"-p", "-j1"}) {
      const TToolRun run = RunToolWith(dir, {correction, "page.png", "page.tif"});
      EXPECT_EQ(SummaryLine(run.Err), "2 flattened, 0 read errors, 0 write errors, 0 skipped")
          << run.Err;
      const TBytes out = FileBytes(dir / "page.png");
      TFileInfo tiff;
      ASSERT_TRUE(ReadFileInfo(dir / "page.tif", tiff));
      const std::vector<std::uint16_t> flat = SamplesOfPng(out);
      ASSERT_EQ(flat.size(), std::size_t{w} * h * perPixel);
      std::size_t differ = 0, alphaMoved = 0;
      for (std::size_t k = 0; k < std::size_t{w} * h; ++k) {
        for (std::uint32_t s = 0; s < channels; ++s)
          differ += flat[k * perPixel + s] != tiff.Samples[k * channels + s];
        if (c.alpha) alphaMoved += flat[k * perPixel + channels] != alpha[k];
      }
      EXPECT_EQ(differ, 0u);
      EXPECT_EQ(alphaMoved, 0u);
      EXPECT_NE(flat, samples) << "not flattened";
      std::vector<TChunk> kept = ChunksOf(out), wanted = ChunksOf(png);
      const auto isData = [](const TChunk& chunk) { return chunk.first == "IDAT"; };
      kept.erase(std::remove_if(kept.begin(), kept.end(), isData), kept.end());
      wanted.erase(std::remove_if(wanted.begin(), wanted.end(), isData), wanted.end());
      EXPECT_EQ(kept, wanted);
      PutBytes(dir / "page.png", png);
      ASSERT_TRUE(WriteScanTiff((dir / "page.tif").c_str(), layout, pixels));
    }
  }
}

// What it does not flatten, or cannot read, is left byte for byte with a
// reason; with -o, a PNG file of a kind it does not flatten is copied there
// as it is, and a damaged one is not.
TEST_F(Png, WhatItDoesNotFlattenIsLeftAsItWas) {
  const std::uint32_t w = 40, h = 30;
  const std::vector<std::uint16_t> grey(std::size_t{w} * h, 200), rgb(std::size_t{w} * h * 3, 180);
  TBytes cut = MakePng(grey, w, h, 8, 0, false, {}, {});
  cut.resize(cut.size() - 30);
  TBytes trailing = MakePng(grey, w, h, 8, 0, false, {}, {});
  trailing.push_back('x');
  const struct {
    const char* name;
    TBytes bytes;
    const char* reason;
    bool copied;
  } cases[] = {
      {"palette.png", MakePng(grey, w, h, 8, 3, false, {}, {}), "a palette PNG is not flattened",
       true},
      {"four.png",
       MakePng(std::vector<std::uint16_t>(std::size_t{w} * h, 3), w, h, 4, 0, false, {}, {}),
       "a PNG of 4 bits is not flattened", true},
      {"key.png", MakePng(rgb, w, h, 8, 2, false, {{"tRNS", std::string(6, '\0')}}, {}),
       "its transparent colour (tRNS) would fall on other pixels once flattened", true},
      {"unsafe.png", MakePng(grey, w, h, 8, 0, false, {{"abCD", "x"}}, {}),
       "its chunk abCD may not be kept in a changed image", true},
      {"animated.png", MakePng(grey, w, h, 8, 0, false, {{"acTL", std::string(8, '\0')}}, {}),
       "an animated PNG is not flattened", true},
      {"trailing.png", trailing, "it holds bytes after the end of the image", true},
      {"cut.png", cut, "cut short", false},
  };
  std::vector<const char*> names = {"-o", "../out"};
  for (const auto& c : cases) {
    ASSERT_FALSE(c.bytes.empty()) << c.name;
    PutBytes(dir / c.name, c.bytes);
    names.push_back(c.name);
  }
  const TToolRun inPlace =
      RunToolWith(dir, std::vector<const char*>(names.begin() + 2, names.end()));
  const TToolRun toOutput = RunToolWith(dir, names);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FileBytes(dir / c.name), c.bytes);
    EXPECT_NE(inPlace.Err.find(std::string("valdrane: ") + c.name + ": " + c.reason),
              std::string::npos)
        << inPlace.Err;
    EXPECT_EQ(fs::exists(top / "out" / c.name), c.copied);
    if (c.copied) {
      EXPECT_EQ(FileBytes(top / "out" / c.name), c.bytes);
    }
  }
  EXPECT_EQ(SummaryLine(toOutput.Err),
            "0 flattened, 1 read errors, 0 write errors, 0 skipped, 6 copied as they are");
}

// Damaged PNG files, many at once: the run goes through, and each file is
// left byte for byte or comes out a PNG file that decodes whole.
TEST_F(Png, DamagedFilesAreLeftOrWrittenWhole) {
  const std::uint32_t w = 90, h = 70;
  const std::vector<std::uint8_t> pixels = SyntheticScan(w, h, true, 2);
  const TBytes good = MakePng(std::vector<std::uint16_t>(pixels.begin(), pixels.end()), w, h, 8, 2,
                              true, {{"tEXt", std::string("a\0b", 3)}}, {});
  const std::vector<TBytes> damaged = Damaged(good, 120, 11);
  std::vector<std::string> names;
  for (std::size_t k = 0; k < damaged.size(); ++k) {
    names.push_back(std::to_string(k) + ".png");
    PutBytes(dir / names.back(), damaged[k]);
  }
  const TToolRun run = RunToolWith(dir, {"--png", "-p"});
  ASSERT_TRUE(WIFEXITED(run.Status) && WEXITSTATUS(run.Status) == 0) << run.Err;
  for (std::size_t k = 0; k < damaged.size(); ++k) {
    const TBytes now = FileBytes(dir / names[k]);
    EXPECT_TRUE(now == damaged[k] || SamplesOfPng(now).size() == std::size_t{w} * h * 3)
        << names[k];
  }
}
