#include "file_kind.h"

#include <cstring>

const char* FileKindOf(const std::uint8_t* bytes, std::size_t size) {
  struct TSignature {
    std::size_t At;
    const char* Bytes;
    std::size_t Size;
    const char* Kind;
  };
  // What scanners, cameras and the programs around them write, and what
  // lands in a folder of scans by mistake.
  static constexpr TSignature Signatures[] = {
      {0, "II*\0", 4, "TIFF"},
      {0, "MM\0*", 4, "TIFF"},
      {0, "II+\0", 4, "TIFF"},
      {0, "MM\0+", 4, "TIFF"},
      {0, "%PDF", 4, "a PDF"},
      {0, "\x89PNG\r\n\x1a\n", 8, "a PNG image"},
      {0, "\xff\xd8\xff", 3, "a JPEG image"},
      {0, "\0\0\0\x0cjP  \r\n\x87\n", 12, "a JPEG 2000 image"},
      {0, "\xff\x4f\xff\x51", 4, "a JPEG 2000 image"},
      {4, "ftypavif", 8, "an AVIF image"},
      {4, "ftypheic", 8, "a HEIC image"},
      {0, "GIF8", 4, "a GIF image"},
      {0, "BM", 2, "a BMP image"},
      {8, "WEBP", 4, "a WebP image"},
      {0, "AT&TFORM", 8, "a DjVu document"},
      {0, "PK\3\4", 4, "a ZIP archive"},
      {0, "\x1f\x8b", 2, "a gzip archive"},
      {0, "8BPS", 4, "a Photoshop document"},
      {0, "%!PS", 4, "a PostScript file"},
      {0, "<?xml", 5, "an XML file"},
  };
  if (size == 0) return "empty";
  for (const TSignature& s : Signatures) {
    if (size >= s.At + s.Size && std::memcmp(bytes + s.At, s.Bytes, s.Size) == 0) return s.Kind;
  }
  // Netpbm's grey and colour kinds: P2, P3, P5, P6 and a space.
  if (size >= 3 && bytes[0] == 'P' && bytes[1] >= '1' && bytes[1] <= '7' &&
      (bytes[2] == '\n' || bytes[2] == ' ' || bytes[2] == '\r' || bytes[2] == '\t')) {
    return "a Netpbm image";
  }
  return nullptr;
}
