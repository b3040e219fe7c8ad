#include <tiffio.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "safe_file.h"
#include "tiff_blocks.h"
#include "tiff_handle.h"
#include "tiff_io.h"
#include "tiff_tags.h"

namespace {

// Whether the record can be written as it says: planes long enough and a
// count of strips or tiles that covers every pixel exactly once.
bool IsWritable(const TMyImage& image) {
  if (image.Width == 0 || image.Height == 0) return false;
  const std::uint64_t pixels = std::uint64_t{image.Width} * image.Height;
  const std::uint64_t samples = pixels * SamplesOf(image.Photometric);
  const std::size_t planeSize = WithSamples(image, [&](auto zero) {
    return (IsColour(image) ? RgbOf(zero, image) : GrayOf(zero, image)).size();
  });
  if (planeSize < samples ||
      image.Extra.size() < pixels * image.ExtraKinds.size() * image.BitsPerSample / 8) {
    return false;
  }
  return image.StripCount == BlocksFor(image);
}

// Sets the layout, tags and blocks of one directory.
bool WriteDirectory(TIFF* tif, const TMyImage& image, unsigned threads) {
  bool ok = SetLayout(tif, image);
  for (std::size_t i = 0; ok && i < image.Tags.size(); ++i) {
    ok = image.Tags[i].Directory != 0 || PutTag(tif, image.Tags[i]);
  }
  return ok && EncodeBlocks(tif, image, threads) && TIFFWriteDirectory(tif) == 1;
}

}  // namespace

TTiffOutput::~TTiffOutput() {
  // libtiff lets go of the temporary file before the record of the write
  // removes it.
  if (Writer != nullptr && Writer->Tif != nullptr) TIFFClose(Writer->Tif);
  delete Writer;
}

std::int32_t BeginTiffOutput(const TPageFile& page, const TTiffFile& file, TTiffOutput& output,
                             const TOutputPlace* target) {
  // A classic TIFF addresses 4 GiB: pages whose samples come near that
  // (compressed or not, they might not fit) are written as BigTIFF.
  constexpr std::uint64_t ClassicLimit = std::uint64_t{15} << 28;  // 3.75 GiB
  if (output.Writer != nullptr || BeginSafeWrite(page, output.Write, target) != 1) return -1;
  output.Writer = new (std::nothrow) TTiffWriter{TFileHandle{output.Write.TempFd, 0}, nullptr};
  if (output.Writer != nullptr) {
    output.Writer->Tif = OpenForWriting(page.Name.c_str(), output.Writer->Handle,
                                        file.BigTiff || file.Bytes > ClassicLimit, file.BigEndian);
  }
  if (output.Writer == nullptr || output.Writer->Tif == nullptr) {
    AbortSafeWrite(output.Write);
    return -1;
  }
  return 1;
}

std::int32_t WriteTiffPage(TTiffOutput& output, const TMyImage& image, unsigned threads) {
  if (output.Writer == nullptr || !IsWritable(image) ||
      !std::all_of(image.Previews.begin(), image.Previews.end(), IsWritable)) {
    return -1;
  }
  TIFF* tif = output.Writer->Tif;
  bool ok = WriteCustomDirectories(tif, image.Tags) && HoldPreviews(tif, image.Previews.size()) &&
            WriteDirectory(tif, image, threads);
  for (std::size_t i = 0; ok && i < image.Previews.size(); ++i) {
    ok = WriteDirectory(tif, image.Previews[i], threads);
  }
  const int error = output.Writer->Handle.Error;
  if (!ok) {
    output.Write.Why = {TRefusalKind::Unwritable,
                        error != 0
                            ? std::string("the new file cannot be written: ") + std::strerror(error)
                            : "the page cannot be written back in its compression"};
  }
  return ok ? 1 : -1;
}

std::int32_t FinishTiffOutput(TTiffOutput& output, TPageFile& page) {
  if (output.Writer == nullptr) return -1;
  // Every page's directory is written: closing only lets go of the file.
  TIFFClose(output.Writer->Tif);
  output.Writer->Tif = nullptr;
  ClosePage(page);
  return CommitSafeWrite(output.Write);
}

namespace {

std::int32_t WriteOnePage(TPageFile& page, const TMyImage& image, unsigned threads) {
  TTiffFile file;
  file.Flattened = {true};
  file.Bytes = std::uint64_t{image.Width} * image.Height *
               (SamplesOf(image.Photometric) + image.ExtraKinds.size()) * image.BitsPerSample / 8;
  TTiffOutput output;
  if (BeginTiffOutput(page, file, output) != 1 || WriteTiffPage(output, image, threads) != 1) {
    return -1;
  }
  return FinishTiffOutput(output, page);
}

}  // namespace

std::int32_t WriteGrayTiff(TPageFile& page, const TMyImage& image, unsigned threads) {
  return !IsColour(image) ? WriteOnePage(page, image, threads) : -1;
}

std::int32_t WriteRgbTiff(TPageFile& page, const TMyImage& image, unsigned threads) {
  return IsColour(image) ? WriteOnePage(page, image, threads) : -1;
}
