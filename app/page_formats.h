// The kinds of file a run flattens, behind one set of calls: TIFF files of
// one page or many, and PNG and JPEG files of one. The driver lists the pages of a
// file, reads each, writes each into the new file and puts that in place,
// whatever the kind; each call goes to the binding of the file's kind.
#pragma once

#include <cstdint>
#include <functional>

#include "image.h"
#include "jpeg_io.h"
#include "png_io.h"
#include "safe_file.h"
#include "tiff_io.h"

// TImageFile: the file open for a run, as ListImages found it: its kind,
// and what that kind's binding keeps of it besides the samples.
enum class TImageKind { Tiff, Png, Jpeg };
struct TImageFile {
  TImageKind Kind = TImageKind::Tiff;
  TTiffFile Tiff;  // Flattened: whether each page is one it flattens
  TPngFile Png;
  TJpegFile Jpeg;
};

// TImageOutput: the new file under way beside the page (or at its output).
struct TImageOutput {
  TTiffOutput Tiff;
  TSafeWrite Write;  // PNG and JPEG: written whole by WriteImage
  bool Begun = false;
};

// ListImages: the pages of the file open in `page`, by its first bytes
// (one named "*.tif" or "*.tiff" is taken as TIFF whatever it holds): a
// PNG or JPEG file is one page, flattened unless it is of a kind that is
// not (its reason in file.Tiff.Why), read here once into file.Png or
// file.Jpeg for ReadImage and WriteImage; anything else goes to ListPages. Returns as
// ListPages does: 1, 0 where no page is flattened, -1 where the file is
// not one of these kinds or is damaged, with file.Tiff.Why saying why.
std::int32_t ListImages(const TPageFile& page, TImageFile& file);

// ReadImage: page `k` into `image`, as ReadTiff, ReadPng or ReadJpeg reads it; after
// -1, `why` says why (nothing where `reserve` refused it).
std::int32_t ReadImage(const TPageFile& page, TImageFile& file, TMyImage& image,
                       const std::function<bool(const TMyImage&, std::uint64_t)>& reserve,
                       unsigned threads, std::uint32_t k, TRefusal& why);

// BeginImageOutput: starts the new file, as BeginTiffOutput or
// BeginSafeWrite does. WriteImage: adds the page to it (a PNG or JPEG
// file's only one). CopyImage: adds TIFF page `k` as it is. FinishImageOutput: puts it
// in place, as FinishTiffOutput does. Each returns 1, or -1 with
// OutputRefusal saying why where it can tell.
std::int32_t BeginImageOutput(const TPageFile& page, const TImageFile& file, TImageOutput& output,
                              const TOutputPlace* target);
std::int32_t WriteImage(TImageOutput& output, const TImageFile& file, const TMyImage& image,
                        unsigned threads);
std::int32_t CopyImagePage(TImageOutput& output, const TPageFile& page, std::uint32_t k);
std::int32_t FinishImageOutput(TImageOutput& output, const TImageFile& file, TPageFile& page);
const TRefusal& OutputRefusal(const TImageOutput& output);
