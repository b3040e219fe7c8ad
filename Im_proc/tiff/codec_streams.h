// What the compressed data of a strip or tile tell of the settings they
// were made with, where the TIFF file does not record them: whether WebP is
// lossless and how finely a lossy one is quantised, and the largest error a
// LERC blob allows. Plain functions on bytes; no codec is involved.
#pragma once

#include <cstddef>
#include <cstdint>

// TWebpCoding: how one WebP bitstream was coded. Lossless: a VP8L image;
// else a lossy VP8 frame whose finest quantiser index (0 to 127, smaller is
// finer) over its segments is FinestQuantiser.
struct TWebpCoding {
  bool Lossless = false;
  std::uint32_t FinestQuantiser = 127;
};

// ReadWebpCoding: reads a RIFF WebP stream (a strip of a WebP page), its
// image chunk found past any others (VP8X, ALPH). False when it is not
// WebP, has no image chunk, or the lossy frame's header is cut short or is
// not a key frame.
bool ReadWebpCoding(const std::uint8_t* data, std::size_t size, TWebpCoding& coding);

// WebpLevelFor: the WebP level (1 to 100) to write a page whose finest
// quantiser index is `quantiser`: the highest level whose base quantiser
// (libwebp's, before its per-segment modulation) is no finer than it.
// libwebp quantises at least one segment of every frame no more coarsely
// than the base (a segment whose susceptibility is at or above the page's
// mean), so the level a frame was made at is never above this one: written
// at it, nothing is quantised more coarsely than the page's finest segment
// was.
std::uint32_t WebpLevelFor(std::uint32_t quantiser);

// ReadLercMaxZError: the largest error (MaxZError) a LERC blob ("Lerc2 ",
// versions 2 to 6) was encoded with, from its header. False when the bytes
// are not such a header, are cut short, or give no finite error of 0 or more.
bool ReadLercMaxZError(const std::uint8_t* data, std::size_t size, double& maxZError);

// SettleLercBlobs: the Lerc2 blobs of a strip or tile, one after another,
// made the same whatever memory the encoder was given. liblerc (4.0) codes
// lossless 8-bit data with Huffman codes and counts one 32-bit word more
// than it writes, for its decoder to read ahead into: that last word of the
// blob is whatever the buffer held, and the blob's checksum (from version
// 3) covers it. Here it is set to zero and the checksum made again; the
// decoded samples are the same. Blobs of another kind, and bytes that are
// not Lerc2 blobs, are left as they are.
void SettleLercBlobs(std::uint8_t* data, std::size_t size);
