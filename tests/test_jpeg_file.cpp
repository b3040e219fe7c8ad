// JPEG files through the tool: flattened and coded back as they were coded
// (tables, sampling, restart interval, progression, every APPn and COM
// segment in order); what it does not flatten left byte for byte.
#include <cstddef>
#include <cstdio>
// clang-format off
#include <jpeglib.h>
// clang-format on

#include <sys/wait.h>

#include <csetjmp>
#include <cstdlib>

#include "harness.h"

namespace {

struct TErrors {
  jpeg_error_mgr Manager;
  std::jmp_buf Jump;
};
[[noreturn]] void OnExit(j_common_ptr info) {
  std::longjmp(reinterpret_cast<TErrors*>(info->err)->Jump, 1);
}
void Quiet(j_common_ptr, int) {}

struct TCoding {
  bool Colour = true, Progressive = false, Cmyk = false, Arithmetic = false;
  int Quality = 75, Sampling = 2;  // luminance sampling both ways (1: 4:4:4)
  unsigned Restart = 0;            // restart interval in MCUs
};

bool Encode(jpeg_compress_struct* c, TErrors* errors, const TCoding* coding,
            const std::vector<std::uint8_t>* pixels, std::uint32_t w, std::uint32_t h,
            unsigned char** out, unsigned long* size) {
  if (setjmp(errors->Jump) != 0) return false;
  jpeg_create_compress(c);
  jpeg_mem_dest(c, out, size);
  c->image_width = w;
  c->image_height = h;
  c->input_components = coding->Cmyk ? 4 : coding->Colour ? 3 : 1;
  c->in_color_space = coding->Cmyk ? JCS_CMYK : coding->Colour ? JCS_RGB : JCS_GRAYSCALE;
  jpeg_set_defaults(c);
  jpeg_set_quality(c, coding->Quality, TRUE);
  c->comp_info[0].h_samp_factor = c->comp_info[0].v_samp_factor = coding->Sampling;
  c->restart_interval = coding->Restart;
  c->arith_code = coding->Arithmetic ? TRUE : FALSE;
  if (coding->Progressive) jpeg_simple_progression(c);
  jpeg_start_compress(c, TRUE);
  const char exif[] = "Exif\0\0MM\0*\0\0\0\x08\0\0";
  jpeg_write_marker(c, JPEG_APP0 + 1, reinterpret_cast<const JOCTET*>(exif), sizeof exif - 1);
  const char comment[] = "scanned in 2026";
  jpeg_write_marker(c, JPEG_COM, reinterpret_cast<const JOCTET*>(comment), sizeof comment - 1);
  const std::size_t row = std::size_t{w} * c->input_components;
  while (c->next_scanline < h) {
    JSAMPROW line = const_cast<JSAMPROW>(pixels->data() + c->next_scanline * row);
    jpeg_write_scanlines(c, &line, 1);
  }
  jpeg_finish_compress(c);
  return true;
}

TBytes MakeJpeg(const TCoding& coding, const std::vector<std::uint8_t>& pixels, std::uint32_t w,
                std::uint32_t h) {
  jpeg_compress_struct c{};
  TErrors errors;
  c.err = jpeg_std_error(&errors.Manager);
  errors.Manager.error_exit = OnExit;
  unsigned char* out = nullptr;
  unsigned long size = 0;
  const bool made = Encode(&c, &errors, &coding, &pixels, w, h, &out, &size);
  jpeg_destroy_compress(&c);
  TBytes bytes;
  if (made) bytes.assign(out, out + size);
  std::free(out);
  return bytes;
}

bool Decode(jpeg_decompress_struct* d, TErrors* errors, const TBytes* bytes,
            std::vector<std::uint8_t>* pixels) {
  if (setjmp(errors->Jump) != 0) return false;
  jpeg_create_decompress(d);
  jpeg_mem_src(d, reinterpret_cast<const unsigned char*>(bytes->data()), bytes->size());
  jpeg_read_header(d, TRUE);
  d->dct_method = JDCT_ISLOW;
  jpeg_start_decompress(d);
  const std::size_t row = std::size_t{d->output_width} * d->output_components;
  pixels->resize(row * d->output_height);
  while (d->output_scanline < d->output_height) {
    JSAMPROW line = pixels->data() + d->output_scanline * row;
    jpeg_read_scanlines(d, &line, 1);
  }
  jpeg_finish_decompress(d);
  return true;
}

std::vector<std::uint8_t> PixelsOfJpeg(const TBytes& bytes) {
  jpeg_decompress_struct d{};
  TErrors errors;
  d.err = jpeg_std_error(&errors.Manager);
  errors.Manager.error_exit = OnExit;
  errors.Manager.emit_message = Quiet;
  std::vector<std::uint8_t> pixels;
  if (!Decode(&d, &errors, &bytes, &pixels)) pixels.clear();
  jpeg_destroy_decompress(&d);
  return pixels;
}

// The segments of a JPEG stream before its first scan that say how it is
// coded or what it carries, marker and payload, in order: DQT, SOFn (its
// payload), DRI, APPn and COM; DHT are left out (the Huffman tables are
// the page's own).
std::vector<std::pair<int, std::string>> CodingOf(const TBytes& bytes) {
  std::vector<std::pair<int, std::string>> segments;
  for (std::size_t at = 2; at + 4 <= bytes.size();) {
    const int marker = static_cast<std::uint8_t>(bytes[at + 1]);
    const std::size_t length =
        static_cast<std::uint8_t>(bytes[at + 2]) * 256u + static_cast<std::uint8_t>(bytes[at + 3]);
    if (marker == 0xDA) break;
    if (marker != 0xC4) segments.emplace_back(marker, std::string(&bytes[at + 4], length - 2));
    at += 2 + length;
  }
  return segments;
}

class JpegFile : public TFolderTest {};

}  // namespace

// Each coding: the page comes out flattened (as the same samples in an
// uncompressed TIFF file, within 3 levels on average: what coding them
// again loses), coded with the same tables, sampling, restart interval and
// progression, and every APPn and COM segment kept in its order.
TEST_F(JpegFile, EachCodingComesBackAsItWas) {
  const TCoding codings[] = {{true, false, false, false, 75, 2, 0},
                             {true, true, false, false, 90, 1, 0},
                             {false, false, false, false, 60, 1, 4},
                             {false, true, false, false, 85, 1, 0},
                             {true, false, false, false, 95, 1, 2}};
  const std::uint32_t w = 320, h = 240;
  for (const TCoding& coding : codings) {
    SCOPED_TRACE(std::to_string(coding.Quality) + (coding.Colour ? " colour" : " grey") +
                 (coding.Progressive ? " progressive" : ""));
    const TBytes jpeg = MakeJpeg(coding, SyntheticScan(w, h, coding.Colour, 3), w, h);
    ASSERT_FALSE(jpeg.empty());
    PutBytes(dir / "page.jpg", jpeg);
    // The same samples, uncompressed, through the same correction.
    TScanLayout layout{w, h, coding.Colour};
    ASSERT_TRUE(WriteScanTiff((dir / "same.tif").c_str(), layout, PixelsOfJpeg(jpeg)));
    const TToolRun run = RunToolWith(dir, {"-p", "page.jpg", "same.tif"});
    EXPECT_EQ(SummaryLine(run.Err), "2 flattened, 0 read errors, 0 write errors, 0 skipped")
        << run.Err;
    const TBytes out = FileBytes(dir / "page.jpg");
    EXPECT_EQ(CodingOf(out), CodingOf(jpeg));
    TFileInfo same;
    ASSERT_TRUE(ReadFileInfo(dir / "same.tif", same));
    const std::vector<std::uint8_t> flat = PixelsOfJpeg(out), before = PixelsOfJpeg(jpeg);
    ASSERT_EQ(flat.size(), same.Pixels.size());
    std::uint64_t off = 0, moved = 0;
    for (std::size_t k = 0; k < flat.size(); ++k) {
      off += static_cast<std::uint64_t>(std::abs(flat[k] - same.Pixels[k]));
      moved += static_cast<std::uint64_t>(std::abs(flat[k] - before[k]));
    }
    EXPECT_LT(off, flat.size() * 3) << "not as the page flattened";
    EXPECT_GT(moved, flat.size() * 10) << "not flattened";
  }
}

// CMYK, arithmetic coding and damaged data are refused with a reason and
// left byte for byte; a folder stands for its JPEG files only with --jpeg.
TEST_F(JpegFile, WhatItDoesNotFlattenIsLeftAsItWas) {
  const std::uint32_t w = 64, h = 48;
  const std::vector<std::uint8_t> grey = SyntheticScan(w, h, false, 1);
  TCoding cmyk;
  cmyk.Cmyk = true;
  TCoding arithmetic;
  arithmetic.Arithmetic = true;
  TBytes cut = MakeJpeg(TCoding{}, SyntheticScan(w, h, true, 1), w, h);
  cut.resize(cut.size() / 2);
  const struct {
    const char* name;
    TBytes bytes;
    const char* reason;
  } cases[] = {
      {"cmyk.jpg", MakeJpeg(cmyk, std::vector<std::uint8_t>(w * h * 4, 90), w, h),
       "a CMYK JPEG is not flattened"},
      {"arith.jpg", MakeJpeg(arithmetic, SyntheticScan(w, h, true, 1), w, h),
       "an arithmetic-coded JPEG is not flattened"},
      {"cut.jpg", cut, "damaged JPEG data"},
  };
  std::vector<const char*> names;
  for (const auto& c : cases) {
    ASSERT_FALSE(c.bytes.empty()) << c.name;
    PutBytes(dir / c.name, c.bytes);
    names.push_back(c.name);
  }
  const TToolRun run = RunToolWith(dir, names);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FileBytes(dir / c.name), c.bytes);
    EXPECT_NE(run.Err.find(std::string("valdrane: ") + c.name + ": " + c.reason), std::string::npos)
        << run.Err;
  }
  for (const auto& c : cases) fs::remove(dir / c.name);
  const TBytes page = MakeJpeg(TCoding{}, SyntheticScan(w, h, true, 1), w, h);
  PutBytes(dir / "photo.jpeg", page);
  EXPECT_EQ(SummaryLine(RunToolWith(dir, {}).Err),
            "0 flattened, 0 read errors, 0 write errors, 0 skipped");
  EXPECT_EQ(FileBytes(dir / "photo.jpeg"), page);
  EXPECT_EQ(SummaryLine(RunToolWith(dir, {"--jpeg"}).Err),
            "1 flattened, 0 read errors, 0 write errors, 0 skipped");
  EXPECT_NE(FileBytes(dir / "photo.jpeg"), page);
}

// Damaged JPEG files, many at once: the run goes through, and each file is
// left byte for byte or comes out a JPEG file that decodes whole.
TEST_F(JpegFile, DamagedFilesAreLeftOrWrittenWhole) {
  const std::uint32_t w = 96, h = 64;
  const TBytes good = MakeJpeg(TCoding{}, SyntheticScan(w, h, true, 2), w, h);
  const std::vector<TBytes> damaged = Damaged(good, 120, 12);
  for (std::size_t k = 0; k < damaged.size(); ++k)
    PutBytes(dir / (std::to_string(k) + ".jpg"), damaged[k]);
  const TToolRun run = RunToolWith(dir, {"--jpeg", "-p"});
  ASSERT_TRUE(WIFEXITED(run.Status) && WEXITSTATUS(run.Status) == 0) << run.Err;
  for (std::size_t k = 0; k < damaged.size(); ++k) {
    const TBytes now = FileBytes(dir / (std::to_string(k) + ".jpg"));
    EXPECT_TRUE(now == damaged[k] || !PixelsOfJpeg(now).empty()) << k;
  }
}
