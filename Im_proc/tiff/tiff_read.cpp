#include <tiffio.h>

#include <algorithm>
#include <memory>
#include <utility>

#include "tiff_blocks.h"
#include "tiff_codec.h"
#include "tiff_handle.h"
#include "tiff_io.h"
#include "tiff_jpeg.h"
#include "tiff_tags.h"

namespace {

// Whether a resolution comes back unchanged from a file written with it: a
// missing one (0), or a value that a TIFF rational (two 32-bit unsigned
// integers) holds to single precision, which libtiff manages from 2^-31 up
// to below 2^32. Larger values come out as x/0, smaller ones as 0; negative
// ones and NaN are not written at all.
bool IsWritableResolution(float resolution) {
  return resolution == 0 || (resolution >= 0x1p-31f && resolution < 0x1p32f);
}

// Whether the open file is a page that can be read and written back exactly
// from its grey or colour plane and its extra samples, for the header
// already taken from it: grey (either way round) or RGB of 8 or 16 bits per
// unsigned sample, or YCbCr JPEG, with any extra samples.
bool IsSupportedPage(TIFF* tif, const TMyImage& header) {
  if (header.Width == 0 || header.Height == 0) return false;
  // YCbCr only as JPEG, which the codec turns into RGB and back.
  if (header.Photometric != PhotometricGray && header.Photometric != PhotometricWhiteIsZero &&
      header.Photometric != PhotometricRgb &&
      (header.Photometric != PhotometricYCbCr || header.Compression != COMPRESSION_JPEG)) {
    return false;
  }
  const std::uint32_t bits = Defaulted16(tif, TIFFTAG_BITSPERSAMPLE);
  // Separate planes of RGB samples; a grey page's one plane is the same either way.
  const std::uint32_t samples = SamplesOf(header.Photometric);
  const std::uint32_t planar = Defaulted16(tif, TIFFTAG_PLANARCONFIG);
  if ((bits != 8 && (bits != 16 || header.Compression == COMPRESSION_JPEG)) ||
      Defaulted16(tif, TIFFTAG_SAMPLESPERPIXEL) != samples + header.ExtraKinds.size() ||
      (planar != PLANARCONFIG_CONTIG &&
       (planar != PLANARCONFIG_SEPARATE || header.Photometric == PhotometricYCbCr)) ||
      Defaulted16(tif, TIFFTAG_SAMPLEFORMAT) != SAMPLEFORMAT_UINT) {
    return false;
  }
  // Every plane index is 32-bit: the colour plane must fit in 2^32 - 1
  // samples, and the extra samples in as many bytes.
  const std::uint64_t pixels = std::uint64_t{header.Width} * header.Height;
  if (pixels * 3 > 0xFFFFFFFFu || pixels * header.ExtraKinds.size() * (bits / 8) > 0xFFFFFFFFu) {
    return false;
  }
  if (!IsWritableResolution(header.XResolution) || !IsWritableResolution(header.YResolution)) {
    return false;
  }
  // The blocks as the file has them, each decoding to the size its layout says.
  const tmsize_t blockSize = TIFFIsTiled(tif) != 0 ? TIFFTileSize(tif) : TIFFStripSize(tif);
  return header.StripCount == BlocksFor(header) && header.StripCount != 0 &&
         static_cast<std::uint64_t>(blockSize) == BlockBytes(header);
}

// The header of the directory the open file is in, a YCbCr JPEG page's
// as the RGB it decodes to. False when libtiff refuses the conversion.
bool TakeHeader(TIFF* tif, TMyImage& header) {
  if (!DecodeJpegAsRgb(tif)) return false;
  header.Width = Tag32(tif, TIFFTAG_IMAGEWIDTH);
  header.Height = Tag32(tif, TIFFTAG_IMAGELENGTH);
  header.BitsPerSample = Tag16(tif, TIFFTAG_BITSPERSAMPLE);
  header.SamplesPerPixel = Tag16(tif, TIFFTAG_SAMPLESPERPIXEL);
  header.Compression = Tag16(tif, TIFFTAG_COMPRESSION);
  header.Photometric = Tag16(tif, TIFFTAG_PHOTOMETRIC);
  header.RowsPerStrip = Tag32(tif, TIFFTAG_ROWSPERSTRIP);
  header.XResolution = TagFloat(tif, TIFFTAG_XRESOLUTION);
  header.YResolution = TagFloat(tif, TIFFTAG_YRESOLUTION);
  header.ResolutionUnit = Tag16(tif, TIFFTAG_RESOLUTIONUNIT);
  header.PlanarConfig = Tag16(tif, TIFFTAG_PLANARCONFIG);
  header.FillOrder = Tag16(tif, TIFFTAG_FILLORDER);
  header.Predictor = Tag16(tif, TIFFTAG_PREDICTOR);
  header.TileWidth = Tag32(tif, TIFFTAG_TILEWIDTH);
  header.TileLength = Tag32(tif, TIFFTAG_TILELENGTH);
  header.StripCount = TIFFIsTiled(tif) != 0 ? TIFFNumberOfTiles(tif) : TIFFNumberOfStrips(tif);
  std::uint16_t count = 0;
  const std::uint16_t* kinds = nullptr;
  if (TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &count, &kinds) == 1 && count != 0) {
    header.ExtraKinds.assign(kinds, kinds + count);
  }
  return true;
}

// The previews of the page the open file is in (directory `directory`)
// that are of a kind the tool writes (as a page is, without extra
// samples): header and tags (their own EXIF and GPS directories aside);
// others are left out. A preview is never larger than its page: one that
// declares more columns or rows than the page has is made at most at the
// page's size. Then the file is back at the page. False when it cannot be
// taken back.
bool TakePreviews(TIFF* tif, std::uint32_t directory, const TMyImage& page,
                  std::vector<TMyImage>& previews) {
  for (const TPreviewPlace& place : PreviewPlaces(tif)) {
    TMyImage preview;
    if (GoToPreview(tif, place) && TakeHeader(tif, preview) && preview.ExtraKinds.empty() &&
        IsSupportedPage(tif, preview) && TakeCodecSettings(tif, preview) &&
        TakeTags(tif, preview.Tags)) {
      std::erase_if(preview.Tags, [](const TCarriedTag& t) { return t.Directory != 0; });
      preview.Width = std::min(preview.Width, page.Width);
      preview.Height = std::min(preview.Height, page.Height);
      preview.StripCount = BlocksFor(preview);
      previews.push_back(std::move(preview));
    }
  }
  return TIFFSetDirectory(tif, directory) == 1;
}

}  // namespace

std::int32_t ListPages(const TPageFile& page, TTiffFile& file) {
  file = TTiffFile{};
  TReadWarnings warnings;
  TFileHandle handle;
  const std::unique_ptr<TIFF, void (*)(TIFF*)> open(OpenForReading(page, handle, warnings),
                                                    CloseForReading);
  TIFF* tif = open.get();
  if (tif == nullptr) return -1;
  file.BigTiff = TIFFIsBigTIFF(tif) != 0;
  file.BigEndian = TIFFIsBigEndian(tif) != 0;
  do {
    TMyImage header;
    if (!TakeHeader(tif, header)) return -1;
    const bool flattened = IsSupportedPage(tif, header);
    file.Flattened.push_back(flattened);
    if (flattened) {
      file.Bytes += std::uint64_t{header.Width} * header.Height *
                    (SamplesOf(header.Photometric) + header.ExtraKinds.size()) *
                    header.BitsPerSample / 8;
    }
    for (std::uint32_t k = 0; !flattened && k < header.StripCount; ++k) {
      file.Bytes += TIFFGetStrileByteCount(tif, k);
    }
  } while (TIFFReadDirectory(tif) == 1);
  // The chain ends where it says it does, not at a directory that fails.
  if (!TIFFLastDirectory(tif) || warnings.GuessedStripSizes) return -1;
  return std::find(file.Flattened.begin(), file.Flattened.end(), true) != file.Flattened.end() ? 1
                                                                                               : 0;
}

std::uint64_t CodingBytesPerThread(const TMyImage& header) {
  constexpr std::uint64_t MiB = 1 << 20;
  const std::uint64_t state = header.Compression == COMPRESSION_ZSTD   ? 16 * MiB
                              : header.Compression == COMPRESSION_LZMA ? 24 * MiB
                                                                       : MiB;
  // Each thread's libtiff handle, or file in memory, has its own table of
  // where the blocks lie and how long they are (and, as it reads its
  // directory, the table as the file holds it).
  return 4 * BlockBytes(header) + 32 * std::uint64_t{header.StripCount} + state;
}

std::int32_t ReadTiff(const TPageFile& page, TMyImage& image,
                      const std::function<bool(const TMyImage&, std::uint64_t)>& reserve,
                      unsigned threads, std::uint32_t directory) {
  TReadWarnings warnings;
  TFileHandle handle;
  // Closed however the read ends, an allocation that fails included.
  const std::unique_ptr<TIFF, void (*)(TIFF*)> file(OpenForReading(page, handle, warnings),
                                                    CloseForReading);
  TIFF* tif = file.get();
  TMyImage header;
  if (tif == nullptr || (directory != 0 && TIFFSetDirectory(tif, directory) != 1) ||
      !TakeHeader(tif, header)) {
    return -1;
  }
  // Reading the tags of other directories rereads the page's: its JPEG is
  // made to decode to RGB again.
  if (!TakeTags(tif, header.Tags) || !TakePreviews(tif, directory, header, header.Previews) ||
      !DecodeJpegAsRgb(tif)) {
    return -1;
  }

  // The planes of the whole correction: the page's grey (and colour)
  // plane, a saved copy and the background, the two half-size images, and
  // with extra samples, those and a copy of the image plane to multiply by
  // alpha as it is written.
  const std::uint64_t pixels64 = std::uint64_t{header.Width} * header.Height;
  const std::uint64_t bytes = header.BitsPerSample / 8;
  const std::uint64_t extraBytes = pixels64 * header.ExtraKinds.size() * bytes;
  std::uint64_t previewBytes = 0;
  for (const TMyImage& p : header.Previews) {
    previewBytes +=
        std::uint64_t{p.Width} * p.Height * SamplesOf(p.Photometric) * (p.BitsPerSample / 8);
  }
  const std::uint64_t planeBytes =
      pixels64 * (IsColour(header) ? 25 : 13) / 4 * bytes + extraBytes +
      (header.ExtraKinds.empty() ? 0 : pixels64 * 3 * bytes) + previewBytes;
  if (warnings.GuessedStripSizes || !IsSupportedPage(tif, header) ||
      !TakeCodecSettings(tif, header) || !reserve(header, planeBytes)) {
    return -1;
  }

  // The record's planes are reused from page to page; a grey page keeps
  // whatever colour plane the record held.
  header.Gray = std::move(image.Gray);
  header.Rgb = std::move(image.Rgb);
  header.Gray16 = std::move(image.Gray16);
  header.Rgb16 = std::move(image.Rgb16);
  header.Extra = std::move(image.Extra);
  image = std::move(header);

  // Plane memory is not set when allocated, only as strips decode into it,
  // so a header that declares a huge page over a few bytes of data costs
  // address space, not memory, before its first strip fails. Nothing of the
  // previous page is worth copying as the planes grow; the planes of the
  // other sample size are let go.
  const std::uint32_t pixels = PixelCount(image);
  if (IsWide(image)) {
    TPlane().swap(image.Gray), TPlane().swap(image.Rgb);
  } else {
    TPlane16().swap(image.Gray16), TPlane16().swap(image.Rgb16);
  }
  WithSamples(image, [&](auto zero) {
    GrayOf(zero, image).clear();
    GrayOf(zero, image).resize((pixels / 1024 + 1) * std::size_t{1024});
    if (IsColour(image)) {
      RgbOf(zero, image).clear();
      RgbOf(zero, image).resize(std::size_t{pixels} * 3);
    }
  });
  image.Extra.clear();
  image.Extra.resize(static_cast<std::size_t>(extraBytes));
  const unsigned helpers = std::max(1u, std::min(threads, image.StripCount));
  const bool ok = DecodeBlocks(page, tif, directory, image, helpers, warnings);
  return ok && !warnings.DamagedJpeg ? 1 : -1;
}
