// Pages the tool does not flatten (bilevel, palette, other kinds), copied
// into the new file as they are: their compressed blocks, byte for byte,
// and the tags that say how to read them.
#include <tiffio.h>

#include <memory>
#include <vector>

#include "tiff_blocks.h"
#include "tiff_handle.h"
#include "tiff_io.h"
#include "tiff_tags.h"

namespace {

// Sets on `to` the fixed fields of `from` that describe its page and how
// it is coded, each only where the page has it. The compression comes
// first: the codec's own fields (predictor, JPEG tables, fax options)
// exist only once it is set.
bool CopyCoding(TIFF* from, TIFF* to) {
  bool ok = true;
  const auto copy16 = [&](ttag_t tag) {
    std::uint16_t value = 0;
    if (TIFFGetField(from, tag, &value) == 1) ok = ok && TIFFSetField(to, tag, value) == 1;
  };
  const auto copy32 = [&](ttag_t tag) {
    std::uint32_t value = 0;
    if (TIFFGetField(from, tag, &value) == 1) ok = ok && TIFFSetField(to, tag, value) == 1;
  };
  const auto copyReal = [&](ttag_t tag) {
    float single = 0;
    double value = 0;
    const bool isDouble = tag == TIFFTAG_SMINSAMPLEVALUE || tag == TIFFTAG_SMAXSAMPLEVALUE;
    if (isDouble ? TIFFGetField(from, tag, &value) == 1 : TIFFGetField(from, tag, &single) == 1) {
      ok = ok && TIFFSetField(to, tag, isDouble ? value : double{single}) == 1;
    }
  };
  copy16(TIFFTAG_COMPRESSION);
  for (const ttag_t tag :
       {TIFFTAG_BITSPERSAMPLE, TIFFTAG_SAMPLESPERPIXEL, TIFFTAG_PHOTOMETRIC, TIFFTAG_FILLORDER,
        TIFFTAG_PLANARCONFIG, TIFFTAG_RESOLUTIONUNIT, TIFFTAG_THRESHHOLDING, TIFFTAG_MINSAMPLEVALUE,
        TIFFTAG_MAXSAMPLEVALUE, TIFFTAG_SAMPLEFORMAT, TIFFTAG_PREDICTOR}) {
    copy16(tag);
  }
  for (const ttag_t tag :
       {TIFFTAG_IMAGEWIDTH, TIFFTAG_IMAGELENGTH, TIFFTAG_ROWSPERSTRIP, TIFFTAG_TILEWIDTH,
        TIFFTAG_TILELENGTH, TIFFTAG_GROUP3OPTIONS, TIFFTAG_GROUP4OPTIONS}) {
    copy32(tag);
  }
  for (const ttag_t tag : {TIFFTAG_XRESOLUTION, TIFFTAG_YRESOLUTION, TIFFTAG_SMINSAMPLEVALUE,
                           TIFFTAG_SMAXSAMPLEVALUE}) {
    copyReal(tag);
  }
  std::uint16_t pair[2];
  if (TIFFGetField(from, TIFFTAG_HALFTONEHINTS, &pair[0], &pair[1]) == 1) {
    ok = ok && TIFFSetField(to, TIFFTAG_HALFTONEHINTS, pair[0], pair[1]) == 1;
  }
  std::uint16_t* curves[3] = {nullptr, nullptr, nullptr};
  if (TIFFGetField(from, TIFFTAG_COLORMAP, &curves[0], &curves[1], &curves[2]) == 1) {
    ok = ok && TIFFSetField(to, TIFFTAG_COLORMAP, curves[0], curves[1], curves[2]) == 1;
  }
  std::uint16_t count = 0;
  std::uint16_t* extra = nullptr;
  if (TIFFGetField(from, TIFFTAG_EXTRASAMPLES, &count, &extra) == 1) {
    ok = ok && TIFFSetField(to, TIFFTAG_EXTRASAMPLES, count, extra) == 1;
  }
  if (TIFFGetField(from, TIFFTAG_TRANSFERFUNCTION, &curves[0], &curves[1], &curves[2]) == 1) {
    ok = ok && TIFFSetField(to, TIFFTAG_TRANSFERFUNCTION, curves[0], curves[1], curves[2]) == 1;
  }
  std::uint32_t bytes = 0;
  const void* tables = nullptr;
  if (TIFFGetField(from, TIFFTAG_JPEGTABLES, &bytes, &tables) == 1) {
    ok = ok && TIFFSetField(to, TIFFTAG_JPEGTABLES, bytes, tables) == 1;
  }
  return ok;
}

// Copies the directory `from` is in into `to` as its next one: its coding,
// the tags in `tags` that belong to it, and its blocks, none larger than
// the file (`fileSize`).
bool CopyDirectory(TIFF* from, TIFF* to, const std::vector<TCarriedTag>& tags,
                   std::uint64_t fileSize) {
  bool ok = CopyCoding(from, to);
  for (std::size_t i = 0; ok && i < tags.size(); ++i) {
    ok = tags[i].Directory != 0 || PutTag(to, tags[i]);
  }
  const std::uint32_t blocks =
      TIFFIsTiled(from) != 0 ? TIFFNumberOfTiles(from) : TIFFNumberOfStrips(from);
  std::vector<std::uint8_t> block;
  for (std::uint32_t k = 0; ok && k < blocks; ++k) {
    // A block the file cannot hold is not read into memory.
    const std::uint64_t size = TIFFGetStrileByteCount(from, k);
    ok = size != 0 && size <= fileSize;
    if (!ok) break;
    block.resize(static_cast<std::size_t>(size));
    const auto bytes = static_cast<tmsize_t>(size);
    ok = ReadRawBlock(from, k, block.data(), bytes) == bytes &&
         WriteRawBlock(to, k, block.data(), bytes) == bytes;
  }
  return ok && TIFFWriteDirectory(to) == 1;
}

}  // namespace

std::int32_t CopyTiffPage(TTiffOutput& output, const TPageFile& page, std::uint32_t directory) {
  TReadWarnings warnings;
  TFileHandle handle;
  const std::unique_ptr<TIFF, void (*)(TIFF*)> open(OpenForReading(page, handle, warnings),
                                                    CloseForReading);
  TIFF* from = open.get();
  std::vector<TCarriedTag> tags;
  // Old-style JPEG points into the file it is in; it cannot be moved.
  const auto movable = [&] { return Tag16(from, TIFFTAG_COMPRESSION) != COMPRESSION_OJPEG; };
  if (output.Writer == nullptr || from == nullptr ||
      (directory != 0 && TIFFSetDirectory(from, directory) != 1) || !movable() ||
      !TakeTags(from, tags)) {
    return -1;
  }
  // Its previews, unchanged as the page is, follow it (old-style JPEG ones
  // left out).
  std::vector<TPreviewPlace> previews = PreviewPlaces(from);
  std::erase_if(previews,
                [&](const TPreviewPlace& p) { return !GoToPreview(from, p) || !movable(); });
  TIFF* to = output.Writer->Tif;
  const std::uint64_t fileSize = FileSize(page.Fd);
  bool ok = TIFFSetDirectory(from, directory) == 1 && WriteCustomDirectories(to, tags) &&
            HoldPreviews(to, previews.size()) && CopyDirectory(from, to, tags, fileSize);
  for (std::size_t i = 0; ok && i < previews.size(); ++i) {
    std::vector<TCarriedTag> own;
    ok = GoToPreview(from, previews[i]) && TakeTags(from, own) && GoToPreview(from, previews[i]) &&
         CopyDirectory(from, to, own, fileSize);
  }
  return ok ? 1 : -1;
}
