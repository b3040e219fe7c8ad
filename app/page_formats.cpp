#include "page_formats.h"

#include "platform.h"

std::int32_t ListImages(const TPageFile& page, TImageFile& file) {
  std::uint8_t head[8] = {};
  // A file named as a TIFF page is one, whatever it holds, as it always was.
  file.Png = !NameMatchesTif(page.Name) && ReadAt(page.Fd, head, sizeof head, 0) == sizeof head &&
             IsPngSignature(head, 8);
  if (!file.Png) return ListPages(page, file.Tiff);
  file.Tiff = {};
  const std::int32_t kind = ListPng(page, file.Tiff.Why);
  file.Tiff.Flattened.assign(kind == 1 ? 1 : 0, true);
  return kind;
}

std::int32_t ReadImage(const TPageFile& page, TImageFile& file, TMyImage& image,
                       const std::function<bool(const TMyImage&, std::uint64_t)>& reserve,
                       unsigned threads, std::uint32_t k, TRefusal& why) {
  if (file.Png) return ReadPng(page, image, file.PngFile, reserve, why);
  return ReadTiff(page, image, reserve, threads, k, &why);
}

std::int32_t BeginImageOutput(const TPageFile& page, const TImageFile& file, TImageOutput& output,
                              const TOutputPlace* target) {
  const std::int32_t begun = file.Png ? BeginSafeWrite(page, output.Write, target)
                                      : BeginTiffOutput(page, file.Tiff, output.Tiff, target);
  output.Begun = begun == 1;
  return begun;
}

std::int32_t WriteImage(TImageOutput& output, const TImageFile& file, const TMyImage& image,
                        unsigned threads) {
  if (file.Png) return WritePng(output.Write, image, file.PngFile);
  return WriteTiffPage(output.Tiff, image, threads);
}

std::int32_t CopyImagePage(TImageOutput& output, const TPageFile& page, std::uint32_t k) {
  return CopyTiffPage(output.Tiff, page, k);
}

std::int32_t FinishImageOutput(TImageOutput& output, const TImageFile& file, TPageFile& page) {
  if (!file.Png) return FinishTiffOutput(output.Tiff, page);
  ClosePage(page);
  return CommitSafeWrite(output.Write);
}

const TRefusal& OutputRefusal(const TImageOutput& output) {
  return output.Write.Why.Kind != TRefusalKind::None ? output.Write.Why : output.Tiff.Write.Why;
}
