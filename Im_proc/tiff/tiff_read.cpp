#include <tiffio.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>

#include "file_kind.h"
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

// What a page IsSupportedPage refuses is, as the line that says so begins.
std::string KindOfPage(TIFF* tif, const TMyImage& header) {
  const std::uint32_t bits = Defaulted16(tif, TIFFTAG_BITSPERSAMPLE);
  const std::uint32_t format = Defaulted16(tif, TIFFTAG_SAMPLEFORMAT);
  if (header.Width == 0 || header.Height == 0) return "a page with no pixels";
  if (header.Compression == COMPRESSION_OJPEG) return "an old-style JPEG page";
  switch (header.Photometric) {
    case PHOTOMETRIC_PALETTE:
      return "a palette page";
    case PHOTOMETRIC_SEPARATED:
      return "a CMYK page";
    case PHOTOMETRIC_CIELAB:
    case PHOTOMETRIC_ICCLAB:
    case PHOTOMETRIC_ITULAB:
      return "a Lab page";
    case PHOTOMETRIC_MASK:
      return "a transparency mask";
    case PHOTOMETRIC_LOGL:
    case PHOTOMETRIC_LOGLUV:
      return "a LogLuv page";
    case PHOTOMETRIC_YCBCR:
      if (header.Compression != COMPRESSION_JPEG) return "a YCbCr page not in JPEG";
      break;
    case PhotometricGray:
    case PhotometricWhiteIsZero:
      if (bits == 1) return "a bilevel page";
      break;
    default:
      break;
  }
  if (format == SAMPLEFORMAT_IEEEFP) return "a floating-point page";
  if (format != SAMPLEFORMAT_UINT) return "a page of signed or complex samples";
  if (bits != 8 && bits != 16) return "a page of " + std::to_string(bits) + "-bit samples";
  if (bits == 16 && header.Compression == COMPRESSION_JPEG) return "a 12-bit or 16-bit JPEG page";
  if (Defaulted16(tif, TIFFTAG_SAMPLESPERPIXEL) !=
      SamplesOf(header.Photometric) + header.ExtraKinds.size()) {
    return "a page whose samples do not match its colour space";
  }
  if (!IsWritableResolution(header.XResolution) || !IsWritableResolution(header.YResolution)) {
    return "a page whose resolution a TIFF file cannot hold";
  }
  return "a page it cannot write back exactly";
}

// Why a file that libtiff does not open is not read: another kind of file,
// or a TIFF one whose header or first directory is broken.
TRefusal WhyNotOpened(const TPageFile& page) {
  std::uint8_t start[16];
  const std::int64_t got = ReadAt(page.Fd, start, sizeof start, 0);
  const char* kind = got < 0 ? nullptr : FileKindOf(start, static_cast<std::size_t>(got));
  if (got < 0) return {TRefusalKind::Unreadable, "the file cannot be read"};
  if (kind == nullptr) return {TRefusalKind::NotTiff, "not a TIFF file"};
  if (std::string(kind) == "TIFF") return {TRefusalKind::Damaged, "damaged header"};
  return {TRefusalKind::NotTiff, std::string("not a TIFF file (it is ") + kind + ")"};
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
  if (tif == nullptr) {
    file.Why = WhyNotOpened(page);
    return -1;
  }
  file.BigTiff = TIFFIsBigTIFF(tif) != 0;
  file.BigEndian = TIFFIsBigEndian(tif) != 0;
  const auto damaged = [&] {
    file.Why = {TRefusalKind::Damaged,
                "damaged directory " + std::to_string(file.Flattened.size())};
    return -1;
  };
  do {
    TMyImage header;
    if (!TakeHeader(tif, header)) return damaged();
    const bool flattened = IsSupportedPage(tif, header);
    if (!flattened && file.Flattened.empty()) {
      file.Why = {TRefusalKind::NotFlattened, KindOfPage(tif, header) + " is not flattened"};
    }
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
  if (!TIFFLastDirectory(tif)) return damaged();
  if (warnings.GuessedStripSizes) {
    file.Why = {TRefusalKind::Damaged,
                "damaged strip table" +
                    (file.Why.Text.empty() ? std::string() : " (and " + file.Why.Text + ")")};
    return -1;
  }
  if (std::find(file.Flattened.begin(), file.Flattened.end(), true) == file.Flattened.end()) {
    return 0;
  }
  file.Why = {};
  return 1;
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
                      unsigned threads, std::uint32_t directory, TRefusal* why) {
  TRefusal ignored;
  TRefusal& refusal = why != nullptr ? *why : ignored;
  refusal = {};
  TReadWarnings warnings;
  TFileHandle handle;
  // Closed however the read ends, an allocation that fails included.
  const std::unique_ptr<TIFF, void (*)(TIFF*)> file(OpenForReading(page, handle, warnings),
                                                    CloseForReading);
  TIFF* tif = file.get();
  TMyImage header;
  if (tif == nullptr) {
    refusal = WhyNotOpened(page);
    return -1;
  }
  refusal = {TRefusalKind::Damaged, "damaged directory " + std::to_string(directory)};
  if ((directory != 0 && TIFFSetDirectory(tif, directory) != 1) || !TakeHeader(tif, header)) {
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
  if (warnings.GuessedStripSizes) {
    refusal.Text = "damaged strip table";
    return -1;
  }
  if (!IsSupportedPage(tif, header) || !TakeCodecSettings(tif, header)) {
    refusal = {TRefusalKind::NotFlattened, KindOfPage(tif, header) + " is not flattened"};
    return -1;
  }
  // What the memory allows, its caller says.
  refusal = {};
  if (!reserve(header, planeBytes)) return -1;

  // The record's planes are reused from page to page.
  TakeHeader(image, std::move(header), static_cast<std::size_t>(extraBytes));
  const unsigned helpers = std::max(1u, std::min(threads, image.StripCount));
  if (!DecodeBlocks(page, tif, directory, image, helpers, warnings)) {
    if (TIFFIsCODECConfigured(static_cast<std::uint16_t>(image.Compression)) == 0) {
      refusal = {TRefusalKind::NotFlattened,
                 "compression " + std::to_string(image.Compression) + " is not one it can decode"};
      return -1;
    }
    refusal = {TRefusalKind::Damaged, (TIFFIsTiled(tif) != 0 ? "damaged tile " : "damaged strip ") +
                                          std::to_string(warnings.FirstBadBlock)};
    return -1;
  }
  if (warnings.DamagedJpeg) {
    refusal = {TRefusalKind::Damaged, "damaged JPEG data"};
    return -1;
  }
  return 1;
}
