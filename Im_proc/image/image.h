// The page in memory (Im_proc/image/): the image record that every stage of
// the pipeline passes along and its planes (here), where their memory comes
// from (plane_memory.h), the grey value of a colour pixel (grey.h), colour
// stored multiplied by alpha (alpha.h), and a pass over a plane split
// between threads (split_rows.h). This room uses nothing but the C++
// library, and the system's memory advice in plane memory; every other room
// builds on it.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <vector>

#include "plane_memory.h"

// Hands out plane memory without setting it: growing a plane leaves the new
// bytes as they are, for the stage that grows it to write. Every stage
// writes each byte it makes, so filling with zeros first would only cost
// time, and a page's memory is touched only as its pixels arrive. The
// memory is plane memory (plane_memory.h): large pages where there are.
template <class T>
struct TRawAllocator : std::allocator<T> {
  using value_type = T;
  template <class U>
  struct rebind {
    using other = TRawAllocator<U>;
  };
  TRawAllocator() = default;
  template <class U>
  TRawAllocator(const TRawAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(TakePlaneMemory(n * sizeof(T)));
  }
  void deallocate(T* memory, std::size_t n) noexcept { GivePlaneMemory(memory, n * sizeof(T)); }
  // Value-initialisation (what resize() asks for) leaves the byte unset;
  // copies still go through std::allocator_traits' plain construction.
  template <class U>
  void construct(U* place) noexcept {
    ::new (static_cast<void*>(place)) U;
  }
  template <class U>
  bool operator==(const TRawAllocator<U>&) const noexcept {
    return true;
  }
};

// A plane of unsigned samples, 0 black and the type's largest value white,
// row-major with the top row first. Its length is its own; the record's
// Width and Height say how much of it is image. resize() leaves new samples
// unset; assign() sets them.
template <class T>
using TSamples = std::vector<T, TRawAllocator<T>>;
using TPlane = TSamples<std::uint8_t>;     // 8 bits: 255 white
using TPlane16 = TSamples<std::uint16_t>;  // 16 bits: 65535 white

// TCarriedTag: a tag of the file that was read that still describes the
// page once it is flattened (a colour profile, XMP, orientation, page number,
// descriptive text, a private tag), handed on to the file that is written.
// Value holds Count values as libtiff keeps them in memory; only the TIFF
// unit reads it.
struct TCarriedTag {
  std::uint32_t Tag = 0;
  std::uint32_t Type = 0;  // the TIFF data type
  std::uint32_t Count = 0;
  std::vector<std::uint8_t> Value;
  std::uint32_t Directory = 0;  // 0: the page's own; 1: its EXIF, 2: its GPS directory
  bool operator==(const TCarriedTag&) const = default;
};

// TMyImage: the TIFF header values taken from the file that was read (and
// handed back unchanged to the file that is written), then the pixels.
//
// A header field holds 0 when the file lacks its tag; the writers then leave
// that tag out of the output rather than inventing a value.
//
// Gray has one sample per pixel (pixel (x, y) at y * Width + x) and holds at
// least Width * Height samples. Rgb, present only for colour pages, holds
// exactly Width * Height * 3 samples, R, G, B interleaved. A page of 8 bits
// per sample uses Gray and Rgb, one of 16 bits Gray16 and Rgb16 (IsWide).
//
// Extra samples (an alpha sample, say) are not part of the image that is
// flattened: Extra holds them per pixel as the file did, ExtraKinds.size()
// samples of BitsPerSample / 8 bytes each, host byte order, untouched by
// every operation; ExtraKinds holds their kinds as the file's ExtraSamples
// tag gives them (0 unspecified, 1 alpha the other samples are multiplied
// by, 2 alpha they are not).
//
// Assignment copies the planes; the driver moves the records that operations
// return, so no pixel data moves between its variables.
struct TMyImage {
  std::uint32_t Width = 0;
  std::uint32_t Height = 0;
  std::uint32_t BitsPerSample = 0;
  std::uint32_t SamplesPerPixel = 0;
  std::uint32_t Compression = 0;
  // 1: grey, 0 is black; 0: grey, 0 is white (the plane holds the image
  // shown, 0 black); 2: RGB; 6: YCbCr JPEG, planes in RGB
  std::uint32_t Photometric = 0;
  // Strip tables belong to libtiff and die with the open file; the reader
  // keeps no reference to them, so these two stay null.
  const void* StripOffsets = nullptr;
  std::uint32_t RowsPerStrip = 0;
  const void* StripByteCounts = nullptr;
  float XResolution = 0;
  float YResolution = 0;
  std::uint32_t ResolutionUnit = 0;
  std::uint32_t StripCount = 0;  // number of strips or tiles of the file, not a tag
  std::uint32_t TileWidth = 0;   // tiled pages: the size of a tile; 0 for strips
  std::uint32_t TileLength = 0;
  std::uint32_t PlanarConfig = 0;
  std::uint32_t FillOrder = 0;  // 1: bits from the highest, 2: from the lowest
  std::uint32_t Predictor = 0;  // of the codecs that have one; kept at 16 bits
  // JPEG pages: the quality they are written back with, and whether their
  // tables sit in every strip rather than in the JPEGTables tag.
  std::uint32_t JpegQuality = 0;
  bool JpegTablesInStrips = false;
  // WebP pages: lossless, or else the level (1 to 100) they are written back
  // at; LERC pages: the largest error a sample may take (0: none).
  bool WebpLossless = false;
  std::uint32_t WebpLevel = 0;
  double LercMaxZError = 0;
  std::vector<std::uint16_t> ExtraKinds;
  // Every other tag of the file that is carried over, by directory and tag.
  std::vector<TCarriedTag> Tags;
  TPlane Gray;
  TPlane Rgb;
  TPlane16 Gray16;
  TPlane16 Rgb16;
  TPlane Extra;
  // The page's previews (thumbnails, reduced-resolution images), each a
  // record of its own header and tags; their planes are made from the page
  // by MakePreviews just before it is written.
  std::vector<TMyImage> Previews;
};

// IsColour: whether the page has a colour plane (RGB, or YCbCr JPEG read
// and written through RGB samples).
inline bool IsColour(const TMyImage& image) {
  return image.Photometric == 2 || image.Photometric == 6;
}

// IsWide: whether the page has 16 bits per sample (Gray16 and Rgb16).
inline bool IsWide(const TMyImage& image) { return image.BitsPerSample == 16; }

// The grey and colour planes of samples of type T (std::uint8_t for an
// 8-bit page, std::uint16_t for a 16-bit one), const for a const record.
template <class T, class TImage>
auto& GrayOf(T, TImage& image) {
  if constexpr (sizeof(T) == 1)
    return image.Gray;
  else
    return image.Gray16;
}
template <class T, class TImage>
auto& RgbOf(T, TImage& image) {
  if constexpr (sizeof(T) == 1)
    return image.Rgb;
  else
    return image.Rgb16;
}

// WithSamples: work(T{}) with T the page's sample type, for code written
// once for both sizes: [&](auto zero) { using T = decltype(zero); ... }.
template <class TWork>
decltype(auto) WithSamples(const TMyImage& image, TWork&& work) {
  return IsWide(image) ? work(std::uint16_t{0}) : work(std::uint8_t{0});
}

// Number of pixels, Width * Height, in the 32-bit arithmetic that every index
// of a plane uses.
inline std::uint32_t PixelCount(const TMyImage& image) { return image.Width * image.Height; }

// HeaderOf: a new record with the header fields and the carried
// tags of `source`, and both planes empty and no previews. Never touches
// `source`.
TMyImage HeaderOf(const TMyImage& source);

// HeaderOf with memory: the same, its grey planes (still empty) holding the
// memory of `memory`'s, so that a stage filling them allocates nothing
// while the memory is large enough. The driver passes the record a result
// replaces, so that its records keep their memory from page to page;
// `memory` is never `source`, whose planes the stage is still to read.
TMyImage HeaderOf(const TMyImage& source, TMyImage&& memory);

// TakeHeader: `image` becomes `header` (its fields, tags and previews) with
// planes for its pixels, their samples unset: Gray (or Gray16, 16 bits) of
// (Width * Height / 1024 + 1) * 1024 samples, Rgb (or Rgb16) of Width *
// Height * 3 for a colour page, and Extra of `extraBytes` bytes. The memory
// of `image`'s planes is reused and none of their samples copied (a grey
// page keeps the colour plane's memory); the planes of the other sample
// size are let go. For a reader filling the record page after page.
void TakeHeader(TMyImage& image, TMyImage&& header, std::size_t extraBytes);

// CopyImage: a new record with all header fields of `source`, a grey plane of
// its own (same length as the source's; its first Width * Height samples
// equal the source's, the rest zero) and empty colour and extra planes. Never touches
// `source`; the result shares no bytes with it.
// The copy is split between `threads` threads on large pages. Its plane
// takes the memory of `memory`'s (see HeaderOf).
TMyImage CopyImage(const TMyImage& source, unsigned threads = 1, TMyImage&& memory = {});
