#include "tiff_blocks.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>

#include "alpha.h"
#include "codec_streams.h"
#include "grey.h"
#include "split_rows.h"
#include "tiff_codec.h"
#include "tiff_jpeg.h"
#include "tiff_tags.h"

std::uint32_t StripRows(std::uint32_t rowsPerStrip, std::uint32_t height) {
  return rowsPerStrip == 0 ? height : std::min(rowsPerStrip, height);
}

std::uint32_t StripsFor(std::uint32_t rows, std::uint32_t height) {
  return height / rows + (height % rows != 0 ? 1 : 0);
}

std::uint32_t SamplesOf(std::uint32_t photometric) {
  return photometric == PhotometricRgb || photometric == PhotometricYCbCr ? 3 : 1;
}

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
         set32(TIFFTAG_TILEWIDTH, image.TileWidth) && set32(TIFFTAG_TILELENGTH, image.TileLength) &&
         set32(TIFFTAG_COMPRESSION, image.Compression) &&
         // 0 here is a value of its own: white is zero.
         TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, image.Photometric) == 1 &&
         set32(TIFFTAG_PLANARCONFIG, image.PlanarConfig) &&
         set32(TIFFTAG_FILLORDER, image.FillOrder) &&
         // An 8-bit page compresses better flattened without its predictor
         // (the demo page as LZW: 21 088 bytes against 25 822); a 16-bit
         // one keeps it, mostly the better for it (A4 LZW, colour: 4.2 MB
         // against 5.7 MB; grey: 0.74 MB against 0.66 MB).
         set32(TIFFTAG_PREDICTOR, IsWide(image) ? image.Predictor : 0) &&
         (image.ExtraKinds.empty() ||
          TIFFSetField(tif, TIFFTAG_EXTRASAMPLES,
                       static_cast<std::uint16_t>(image.ExtraKinds.size()),
                       image.ExtraKinds.data()) == 1) &&
         setDouble(TIFFTAG_XRESOLUTION, image.XResolution) &&
         setDouble(TIFFTAG_YRESOLUTION, image.YResolution) &&
         set32(TIFFTAG_RESOLUTIONUNIT, image.ResolutionUnit) && SetCodecSettings(tif, image);
}

namespace {

// Where block k of a page lies: the part of the image it covers, its coded
// size (a whole tile, or a strip's rows at the page's width) and which
// samples it holds.
struct TBlock {
  std::uint32_t X = 0, Y = 0, Width = 0, Height = 0;
  std::uint32_t Columns = 0, Rows = 0;
  std::uint32_t Sample = 0;   // the first sample it holds (with separate planes, its one)
  std::uint32_t Samples = 1;  // samples per pixel in it
  bool Direct = false;        // a strip of all samples: the plane's own bytes
};

// Samples per pixel in the file: the image's and the extra ones.
std::uint32_t AllSamples(const TMyImage& image) {
  return SamplesOf(image.Photometric) + static_cast<std::uint32_t>(image.ExtraKinds.size());
}

std::uint32_t SampleBytes(const TMyImage& image) { return IsWide(image) ? 2 : 1; }

bool SeparatePlanes(const TMyImage& image) {
  return image.PlanarConfig == PLANARCONFIG_SEPARATE && AllSamples(image) > 1;
}

std::uint32_t Across(const TMyImage& image) {
  return image.TileWidth == 0 ? 1 : StripsFor(image.TileWidth, image.Width);
}

std::uint32_t Down(const TMyImage& image) {
  return image.TileLength == 0
             ? StripsFor(StripRows(image.RowsPerStrip, image.Height), image.Height)
             : StripsFor(image.TileLength, image.Height);
}

TBlock BlockOf(const TMyImage& image, std::uint32_t k) {
  TBlock block;
  const std::uint32_t perPlane = Across(image) * Down(image);
  block.Samples = SeparatePlanes(image) ? 1 : AllSamples(image);
  block.Sample = SeparatePlanes(image) ? k / perPlane : 0;
  k %= perPlane;
  if (image.TileWidth == 0) {
    const std::uint32_t rows = StripRows(image.RowsPerStrip, image.Height);
    block.Y = k * rows;
    block.Width = block.Columns = image.Width;
    block.Height = block.Rows = std::min(rows, image.Height - block.Y);
    // A page with 0 white is encoded from an inverted copy, one with extra
    // samples from its planes put together, one with a predictor from a
    // copy too (libtiff before 4.5 takes differences in the caller's buffer).
    block.Direct = !SeparatePlanes(image) && image.Photometric != PhotometricWhiteIsZero &&
                   image.ExtraKinds.empty() && (!IsWide(image) || image.Predictor <= 1);
  } else {
    block.X = k % Across(image) * image.TileWidth;
    block.Y = k / Across(image) * image.TileLength;
    block.Width = std::min(image.TileWidth, image.Width - block.X);
    block.Height = std::min(image.TileLength, image.Height - block.Y);
    block.Columns = image.TileWidth;
    block.Rows = image.TileLength;
  }
  return block;
}

tmsize_t CodedBytes(const TMyImage& image, const TBlock& block) {
  return static_cast<tmsize_t>(std::uint64_t{block.Columns} * block.Rows * block.Samples *
                               SampleBytes(image));
}

// Where a block's first pixel lies in the page's image plane, in bytes.
std::size_t PlaneOffset(const TMyImage& image, const TBlock& block) {
  return (std::size_t{block.Y} * image.Width + block.X) * SamplesOf(image.Photometric) *
         SampleBytes(image);
}

// The bytes of the page's grey plane, or of its colour plane.
const std::uint8_t* PlaneBytes(const TMyImage& image) {
  return WithSamples(image, [&](auto zero) {
    const auto& plane = IsColour(image) ? RgbOf(zero, image) : GrayOf(zero, image);
    return reinterpret_cast<const std::uint8_t*>(plane.data());
  });
}

std::uint8_t* PlaneBytes(TMyImage& image) {
  return const_cast<std::uint8_t*>(PlaneBytes(static_cast<const TMyImage&>(image)));
}

// How a block's samples map to the page's planes: per pixel, `Shown`
// samples of the image (of `Of` in its plane, from `First` on), then
// `Extra` extra samples (of `ExtraOf`, from `ExtraFirst` on), each `Bytes`
// bytes; `Invert` for a page with 0 white, whose image samples are inverted
// on the way (a 255 - v or 65535 - v is every bit flipped).
struct TSampleMap {
  std::uint32_t Bytes, Of, First, Shown, ExtraOf, ExtraFirst, Extra;
  bool Invert;
};

TSampleMap MapOf(const TMyImage& image, const TBlock& block) {
  const std::uint32_t of = SamplesOf(image.Photometric), end = block.Sample + block.Samples;
  const std::uint32_t first = std::min(block.Sample, of), extraFirst = std::max(block.Sample, of);
  return {SampleBytes(image),
          of,
          first,
          std::min(end, of) - first,
          static_cast<std::uint32_t>(image.ExtraKinds.size()),
          extraFirst - of,
          std::max(end, of) - extraFirst,
          image.Photometric == PhotometricWhiteIsZero};
}

void CopyBytes(const std::uint8_t* from, std::size_t n, std::uint8_t* to, bool invert) {
  if (!invert) {
    std::copy(from, from + n, to);
  } else {
    for (std::size_t i = 0; i < n; ++i) to[i] = static_cast<std::uint8_t>(~from[i]);
  }
}

// Copies a decoded block into the page's planes, row by row; with `back`,
// the other way, for encoding, past the page's edge the last column and row
// repeated.
template <bool Back>
void Move(std::conditional_t<Back, std::uint8_t, const std::uint8_t>* coded, const TBlock& block,
          const TMyImage& image, std::conditional_t<Back, const std::uint8_t, std::uint8_t>* plane,
          std::conditional_t<Back, const std::uint8_t, std::uint8_t>* extra) {
  const TSampleMap map = MapOf(image, block);
  const std::size_t b = map.Bytes, shown = map.Shown * b, pixel = (map.Shown + map.Extra) * b;
  const std::uint32_t rows = Back ? block.Rows : block.Height;
  const std::uint32_t columns = Back ? block.Columns : block.Width;
  for (std::uint32_t r = 0; r < rows; ++r) {
    auto* codedRow = coded + std::size_t{r} * block.Columns * pixel;
    const std::size_t at =
        std::size_t{block.Y + std::min(r, block.Height - 1)} * image.Width + block.X;
    if constexpr (!Back) {
      if (map.Extra == 0 && map.Shown == map.Of) {
        CopyBytes(codedRow, block.Width * pixel, plane + at * pixel, map.Invert);
        continue;
      }
    }
    for (std::uint32_t x = 0; x < columns; ++x) {
      const std::size_t i = at + std::min(x, block.Width - 1);
      auto* samples = codedRow + x * pixel;
      auto* shownAt = plane + (i * map.Of + map.First) * b;
      auto* extras = extra + (i * map.ExtraOf + map.ExtraFirst) * b;
      if constexpr (Back) {
        CopyBytes(shownAt, shown, samples, map.Invert);
        std::copy(extras, extras + map.Extra * b, samples + shown);
      } else {
        CopyBytes(samples, shown, shownAt, map.Invert);
        std::copy(samples + shown, samples + pixel, extras);
      }
    }
  }
}

// Starts `work` on a thread of its own, if the system gives one; the
// caller's own share of the work then covers what it would have done.
template <class TWork>
void AddHelper(std::vector<std::thread>& helpers, TWork&& work) {
  try {
    helpers.emplace_back(std::forward<TWork>(work));
  } catch (const std::system_error&) {
  }
}

// Decodes block k into the page's planes, through `scratch` where it is
// not the plane's own bytes, and, for a colour page of all samples together
// and no alpha to divide by, works out the grey values of its pixels. False
// when the block does not decode to its full size.
bool DecodeBlock(TIFF* tif, TMyImage& image, std::uint32_t k, std::vector<std::uint8_t>& scratch) {
  const TBlock block = BlockOf(image, k);
  const tmsize_t bytes = CodedBytes(image, block);
  std::uint8_t* into = PlaneBytes(image) + PlaneOffset(image, block);
  if (!block.Direct) {
    scratch.resize(static_cast<std::size_t>(bytes));
    into = scratch.data();
  }
  const tmsize_t read = image.TileWidth != 0 ? TIFFReadEncodedTile(tif, k, into, bytes)
                                             : TIFFReadEncodedStrip(tif, k, into, bytes);
  if (read != bytes) return false;
  if (!block.Direct) Move<false>(into, block, image, PlaneBytes(image), image.Extra.data());
  if (IsColour(image) && !GreyAfterDecoding(image)) {
    WithSamples(image, [&](auto zero) {
      for (std::uint32_t r = 0; r < block.Height; ++r) {
        const std::size_t at = std::size_t{block.Y + r} * image.Width + block.X;
        RgbToGray(RgbOf(zero, image).data() + at * 3, GrayOf(zero, image).data() + at, block.Width);
      }
    });
  }
  return true;
}

// Encodes block k of `plane` (the bytes of the page's image plane) with the
// open file's codec. libtiff takes a non-const buffer but leaves samples in
// the host's byte order as they are without a predictor; into a file of the
// other byte order it swaps 16-bit samples where they lie, and into a page
// whose bits run from the lowest it reverses every byte where it lies, so
// those go through a copy.
bool EncodeBlock(TIFF* tif, const TMyImage& image, const std::uint8_t* plane, std::uint32_t k,
                 std::vector<std::uint8_t>& scratch) {
  const TBlock block = BlockOf(image, k);
  const tmsize_t bytes = CodedBytes(image, block);
  void* data = const_cast<std::uint8_t*>(plane + PlaneOffset(image, block));
  if (!block.Direct || (IsWide(image) && TIFFIsByteSwapped(tif) != 0) ||
      image.FillOrder == FILLORDER_LSB2MSB) {
    scratch.resize(static_cast<std::size_t>(bytes));
    Move<true>(scratch.data(), block, image, plane, image.Extra.data());
    data = scratch.data();
  }
  return (image.TileWidth != 0 ? TIFFWriteEncodedTile(tif, k, data, bytes)
                               : TIFFWriteEncodedStrip(tif, k, data, bytes)) == bytes;
}

// LERC blobs are settled (SettleLercBlobs) one by one, so they are always
// encoded apart, on one thread too. LERC came with libtiff 4.3.
bool IsLerc(std::uint32_t compression) {
#ifdef COMPRESSION_LERC
  return compression == COMPRESSION_LERC;
#else
  static_cast<void>(compression);
  return false;
#endif
}

// Whether `tag` is one a page's codec encodes by.
bool IsCodingTag(std::uint32_t compression, std::uint32_t tag) {
#ifdef TIFFTAG_LERC_PARAMETERS
  if (IsLerc(compression) && tag == TIFFTAG_LERC_PARAMETERS) return true;
#endif
  return compression == COMPRESSION_JPEG && tag == TIFFTAG_YCBCRSUBSAMPLING;
}

// Codecs whose blocks are encoded each on its own, from its rows alone, so
// that encoding them apart gives the bytes a sequential encoding gives, and
// slow enough for it to pay (PackBits is not: measured 0.29 s against 0.33 s
// sequential for an A4 colour page on two threads, with parallel encoding
// slower). JPEG is one too: its tables, the same for every block (set by
// the quality and the table layout, never by the pixels), go in the
// JPEGTables tag or in every block. Any codec not listed stays sequential.
bool EncodesBlocksApart(std::uint32_t compression) {
  return compression == COMPRESSION_LZW || compression == COMPRESSION_ADOBE_DEFLATE ||
         compression == COMPRESSION_DEFLATE || compression == COMPRESSION_ZSTD ||
         compression == COMPRESSION_LZMA || compression == COMPRESSION_JPEG;
}

// What a JPEG codec puts in the directory as it sets up to encode, which
// blocks written raw do not: the shared tables (when the page keeps them in
// the JPEGTables tag) and, for a YCbCr page, ReferenceBlackWhite where none
// was set. Taken from a file in memory that encoded a block, put on the
// page's file before its blocks are written raw.
struct TJpegDirectory {
  bool Taken = false;
  std::vector<std::uint8_t> Tables;
  std::vector<float> ReferenceBlackWhite;
};

void TakeJpegDirectory(TIFF* memory, TJpegDirectory& taken) {
  std::uint32_t bytes = 0;
  const std::uint8_t* tables = nullptr;
  if (TIFFGetField(memory, TIFFTAG_JPEGTABLES, &bytes, &tables) == 1 && tables != nullptr) {
    taken.Tables.assign(tables, tables + bytes);
  }
  float* reference = nullptr;
  if (TIFFGetField(memory, TIFFTAG_REFERENCEBLACKWHITE, &reference) == 1 && reference != nullptr) {
    taken.ReferenceBlackWhite.assign(reference, reference + 6);
  }
  taken.Taken = true;
}

bool PutJpegDirectory(TIFF* tif, const TJpegDirectory& taken) {
  float* reference = nullptr;
  const bool hasReference = TIFFGetField(tif, TIFFTAG_REFERENCEBLACKWHITE, &reference) == 1;
  return (taken.Tables.empty() ||
          TIFFSetField(tif, TIFFTAG_JPEGTABLES, static_cast<std::uint32_t>(taken.Tables.size()),
                       taken.Tables.data()) == 1) &&
         (hasReference || taken.ReferenceBlackWhite.empty() ||
          TIFFSetField(tif, TIFFTAG_REFERENCEBLACKWHITE, taken.ReferenceBlackWhite.data()) == 1);
}

// Puts LERC's further layer (LERC_ADD_COMPRESSION_DEFLATE or _ZSTD) over
// the blob in `blob`, as libtiff's codec would: the same codec at its
// default level, here through a file in memory of one row of bytes.
bool CompressFurther(std::vector<std::uint8_t>& blob, int further, bool bigEndian) {
  TMemoryFile memory;
  TIFF* tif = OpenInMemory(memory, bigEndian);
  std::uint64_t* offsets = nullptr;
  std::uint64_t* counts = nullptr;
  const auto size = static_cast<tmsize_t>(blob.size());
  const bool ok =
      tif != nullptr && TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(size)) &&
      TIFFSetField(tif, TIFFTAG_IMAGELENGTH, 1u) && TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8) &&
      TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1) &&
      TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 1u) &&
      TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK) &&
      TIFFSetField(tif, TIFFTAG_COMPRESSION,
                   further == 1 ? COMPRESSION_ADOBE_DEFLATE : COMPRESSION_ZSTD) &&
      TIFFWriteEncodedStrip(tif, 0, blob.data(), size) == size &&
      TIFFGetField(tif, TIFFTAG_STRIPOFFSETS, &offsets) == 1 &&
      TIFFGetField(tif, TIFFTAG_STRIPBYTECOUNTS, &counts) == 1;
  if (ok) {
    const auto first = memory.Bytes.begin() + static_cast<std::ptrdiff_t>(offsets[0]);
    blob.assign(first, first + static_cast<std::ptrdiff_t>(counts[0]));
  }
  if (tif != nullptr) TIFFClose(tif);
  return ok;
}

// Encodes the blocks of `plane` on `threads` threads, each with a file in
// memory set up like the page's file `out` (of its byte order), and writes
// them raw into `out` in order as they come (after what a JPEG codec set in
// its directory). A block is begun only within BlocksAhead(threads) of the
// first one not yet written, so the blocks held wait there at most: what a
// page's encoding holds does not grow with the page. False when any block
// fails.
bool EncodeBlocksApart(TIFF* out, const TMyImage& image, const std::uint8_t* plane,
                       unsigned threads) {
  const bool bigEndian = TIFFIsBigEndian(out) != 0;
  const std::uint32_t count = image.StripCount, ahead = BlocksAhead(threads);
  std::vector<std::vector<std::uint8_t>> encoded(count);
  std::vector<bool> done(count, false);
  std::atomic<std::uint32_t> next{0};
  // Under `lock`: whether all went well, the blocks written, the JPEG directory.
  std::mutex lock;
  std::condition_variable turn;
  bool ok = true;
  std::uint32_t written = 0;
  TJpegDirectory jpeg;
  const auto fail = [&] {
    const std::lock_guard<std::mutex> hold(lock);
    ok = false;
    turn.notify_all();
  };
  const auto encode = [&] {
    TMemoryFile memory;
    std::vector<std::uint8_t> scratch;
    TIFF* tif = OpenInMemory(memory, bigEndian);
    bool set = tif != nullptr && SetLayout(tif, image);
    // A JPEG page's subsampling and a LERC page's parameters (its version,
    // a further Deflate or ZSTD) are carried tags, and the codec encodes by them.
    for (const TCarriedTag& tag : image.Tags) {
      set = set &&
            (tag.Directory != 0 || !IsCodingTag(image.Compression, tag.Tag) || PutTag(tif, tag));
    }
    // LERC blobs come out plain, to be settled, then get the page's
    // further layer.
    int further = 0;
#ifdef TIFFTAG_LERC_ADD_COMPRESSION
    set =
        set && (!IsLerc(image.Compression) ||
                (TIFFGetField(tif, TIFFTAG_LERC_ADD_COMPRESSION, &further) == 1 &&
                 TIFFSetField(tif, TIFFTAG_LERC_ADD_COMPRESSION, LERC_ADD_COMPRESSION_NONE) == 1));
#endif
    if (!set) fail();
    for (std::uint32_t k; set && (k = next++) < count;) {
      {
        std::unique_lock<std::mutex> hold(lock);
        turn.wait(hold, [&] { return !ok || k < written + ahead; });
        if (!ok) break;
      }
      std::uint64_t* offsets = nullptr;
      std::uint64_t* counts = nullptr;
      std::vector<std::uint8_t> bytes;
      bool coded = EncodeBlock(tif, image, plane, k, scratch) &&
                   TIFFGetField(tif, TIFFTAG_STRIPOFFSETS, &offsets) == 1 &&
                   TIFFGetField(tif, TIFFTAG_STRIPBYTECOUNTS, &counts) == 1;
      try {
        if (coded) {
          const auto first =
              memory.Bytes.begin() + static_cast<std::ptrdiff_t>(offsets[k] - memory.Dropped);
          bytes.assign(first, first + static_cast<std::ptrdiff_t>(counts[k]));
          LetGo(memory);
        }
        if (coded && IsLerc(image.Compression)) {
          SettleLercBlobs(bytes.data(), bytes.size());
          coded = further == 0 || CompressFurther(bytes, further, bigEndian);
        }
      } catch (const std::bad_alloc&) {
        coded = false;  // the page is not written; nothing escapes this thread
      }
      if (!coded) {
        fail();
        break;
      }
      // The blocks ready from the first not yet written on go out in order.
      const std::lock_guard<std::mutex> hold(lock);
      if (image.Compression == COMPRESSION_JPEG && !jpeg.Taken) TakeJpegDirectory(tif, jpeg);
      encoded[k] = std::move(bytes);
      done[k] = true;
      for (; ok && written < count && done[written]; ++written) {
        std::vector<std::uint8_t>& block = encoded[written];
        const auto size = static_cast<tmsize_t>(block.size());
        ok = (written != 0 || !jpeg.Taken || PutJpegDirectory(out, jpeg)) &&
             WriteRawBlock(out, written, block.data(), size) == size;
        std::vector<std::uint8_t>().swap(block);
      }
      turn.notify_all();
    }
    if (tif != nullptr) TIFFClose(tif);
  };
  std::vector<std::thread> helpers;
  for (unsigned i = 1; i < threads; ++i) AddHelper(helpers, encode);
  encode();
  for (std::thread& helper : helpers) helper.join();
  return ok && written == count;
}

}  // namespace

std::uint32_t BlocksFor(const TMyImage& image) {
  if ((image.TileWidth == 0) != (image.TileLength == 0) || image.Width == 0 || image.Height == 0) {
    return 0;
  }
  return Across(image) * Down(image) * (SeparatePlanes(image) ? AllSamples(image) : 1);
}

std::uint64_t BlockBytes(const TMyImage& image) {
  return static_cast<std::uint64_t>(CodedBytes(image, BlockOf(image, 0)));
}

bool GreyAfterDecoding(const TMyImage& image) {
  return SeparatePlanes(image) || AlphaOf(image) != 0;
}

bool DecodeBlocks(const TPageFile& page, TIFF* tif, std::uint32_t directory, TMyImage& image,
                  unsigned threads, TReadWarnings& warnings) {
  std::atomic<std::uint32_t> next{0};
  std::atomic<bool> ok{true};
  // Blocks are taken in order, so every block before one that fails is
  // taken, and decoded to the end: the first that fails is always found.
  std::atomic<std::uint32_t> firstBad{image.StripCount};
  const auto decode = [&](TIFF* file) {
    std::vector<std::uint8_t> scratch;
    for (std::uint32_t k; ok && (k = next++) < image.StripCount;) {
      if (DecodeBlock(file, image, k, scratch)) continue;
      ok = false;
      for (std::uint32_t seen = firstBad; k < seen && !firstBad.compare_exchange_weak(seen, k);) {
      }
    }
  };
  std::vector<TReadWarnings> noted(threads);
  std::vector<std::thread> helpers;
  for (unsigned i = 1; i < threads; ++i) {
    AddHelper(helpers, [&, i] {
      TFileHandle handle;
      const std::unique_ptr<TIFF, void (*)(TIFF*)> file(OpenForReading(page, handle, noted[i]),
                                                        CloseForReading);
      if (file != nullptr && (directory == 0 || TIFFSetDirectory(file.get(), directory) == 1) &&
          DecodeJpegAsRgb(file.get())) {
        decode(file.get());
      }
    });
  }
  decode(tif);
  for (std::thread& helper : helpers) helper.join();
  for (const TReadWarnings& w : noted) {
    warnings.GuessedStripSizes |= w.GuessedStripSizes;
    warnings.DamagedJpeg |= w.DamagedJpeg;
  }
  warnings.FirstBadBlock = firstBad;
  // With separate planes a pixel's grey value waits for its last sample;
  // colour multiplied by alpha is divided by it first.
  if (ok && AlphaOf(image) != 0) DivideByAlpha(image, threads);
  if (ok && IsColour(image) && GreyAfterDecoding(image)) {
    WithSamples(image, [&](auto zero) {
      SplitRows(image.Height, threads, 64, [&](std::uint32_t first, std::uint32_t end) {
        const std::size_t at = std::size_t{first} * image.Width;
        RgbToGray(RgbOf(zero, image).data() + at * 3, GrayOf(zero, image).data() + at,
                  (end - first) * image.Width);
      });
    });
  }
  return ok;
}

bool EncodeBlocks(TIFF* tif, const TMyImage& image, unsigned threads) {
  bool ok = true;
  std::vector<std::uint8_t> scratch;
  // Colour that was divided by alpha is multiplied by it again, in a copy.
  std::vector<std::uint8_t> multiplied;
  if (AlphaOf(image) != 0) multiplied = MultipliedByAlpha(image, threads);
  const std::uint8_t* plane = AlphaOf(image) != 0 ? multiplied.data() : PlaneBytes(image);
  if ((threads > 1 && image.StripCount > 1 && EncodesBlocksApart(image.Compression)) ||
      IsLerc(image.Compression)) {
    ok = EncodeBlocksApart(tif, image, plane, std::min(threads, image.StripCount));
  } else {
    for (std::uint32_t k = 0; ok && k < image.StripCount; ++k) {
      ok = EncodeBlock(tif, image, plane, k, scratch);
    }
  }
  return ok;
}
