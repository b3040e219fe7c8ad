#include "page_formats.h"

#include <cstring>

#include "file_kind.h"
#include "platform.h"

std::int32_t ListImages(const TPageFile& page, TImageFile& file) {
  std::uint8_t head[16] = {};
  // A file named as a TIFF page is one, whatever it holds, as it always was.
  const std::int64_t got = NameMatchesTif(page.Name) ? 0 : ReadAt(page.Fd, head, sizeof head, 0);
  const char* kind = got > 0 ? FileKindOf(head, static_cast<std::size_t>(got)) : nullptr;
  const auto is = [&](const char* name) { return kind != nullptr && std::strcmp(kind, name) == 0; };
  file.Kind = is("a PNG image")    ? TImageKind::Png
              : is("a JPEG image") ? TImageKind::Jpeg
                                   : TImageKind::Tiff;
  if (file.Kind == TImageKind::Tiff) return ListPages(page, file.Tiff);
  file.Tiff = {};
  const std::int32_t listed = file.Kind == TImageKind::Png
                                  ? ListPng(page, file.Png, file.Tiff.Why)
                                  : ListJpeg(page, file.Jpeg, file.Tiff.Why);
  file.Tiff.Flattened.assign(listed == 1 ? 1 : 0, true);
  return listed;
}

std::int32_t ReadImage(const TPageFile& page, TImageFile& file, TMyImage& image,
                       const std::function<bool(const TMyImage&, std::uint64_t)>& reserve,
                       unsigned threads, std::uint32_t k, TRefusal& why) {
  switch (file.Kind) {
    case TImageKind::Png:
      return ReadPng(page, image, file.Png, reserve, why);
    case TImageKind::Jpeg:
      return ReadJpeg(image, file.Jpeg, reserve, why);
    case TImageKind::Tiff:
      break;
  }
  return ReadTiff(page, image, reserve, threads, k, &why);
}

std::int32_t BeginImageOutput(const TPageFile& page, const TImageFile& file, TImageOutput& output,
                              const TOutputPlace* target) {
  const std::int32_t begun = file.Kind != TImageKind::Tiff
                                 ? BeginSafeWrite(page, output.Write, target)
                                 : BeginTiffOutput(page, file.Tiff, output.Tiff, target);
  output.Begun = begun == 1;
  return begun;
}

std::int32_t WriteImage(TImageOutput& output, const TImageFile& file, const TMyImage& image,
                        unsigned threads) {
  switch (file.Kind) {
    case TImageKind::Png:
      return WritePng(output.Write, image, file.Png);
    case TImageKind::Jpeg:
      return WriteJpeg(output.Write, image, file.Jpeg);
    case TImageKind::Tiff:
      break;
  }
  return WriteTiffPage(output.Tiff, image, threads);
}

std::int32_t CopyImagePage(TImageOutput& output, const TPageFile& page, std::uint32_t k) {
  return CopyTiffPage(output.Tiff, page, k);
}

std::int32_t FinishImageOutput(TImageOutput& output, const TImageFile& file, TPageFile& page) {
  if (file.Kind == TImageKind::Tiff) return FinishTiffOutput(output.Tiff, page);
  ClosePage(page);
  return CommitSafeWrite(output.Write);
}

const TRefusal& OutputRefusal(const TImageOutput& output) {
  return output.Write.Why.Kind != TRefusalKind::None ? output.Write.Why : output.Tiff.Write.Why;
}
