// leptonica_peer: the same job as valdrane, done with Leptonica, as the
// benchmark's peer. For each page given, in place:
//   grey value (pixConvertRGBToGray for colour pages), min-downscale by 2
//   (pixScaleGrayMinMax), background by grey reconstruction by erosion from
//   the frame (pixSeedfillGray on the inverted images, run to convergence),
//   replicate-expand by 2 (pixExpandReplicate), division by the background;
//   colour pages get the grey change added to each sample. Written back with
//   the input's TIFF compression (pixWriteTiff, no temporary file or fsync).
//
//   leptonica_peer FILE.tif...
//
// Its pixels need not equal valdrane's (other grey weights' rounding, a
// reconstruction run to the end); it is there for the time it takes.
#include <leptonica/allheaders.h>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int DarkThreshold = 30;

// The background of an 8-bit page at half size, eroded in from its frame.
PIX* HalfBackground(PIX* grey) {
  PIX* half = pixScaleGrayMinMax(grey, 2, 2, L_CHOOSE_MIN);
  l_int32 w, h;
  pixGetDimensions(half, &w, &h, nullptr);
  // Seed: white inside, the half-size page on its frame.
  PIX* seed = pixCreate(w, h, 8);
  pixSetAllArbitrary(seed, 255);
  pixRasterop(seed, 0, 0, w, 1, PIX_SRC, half, 0, 0);
  pixRasterop(seed, 0, h - 1, w, 1, PIX_SRC, half, 0, h - 1);
  pixRasterop(seed, 0, 0, 1, h, PIX_SRC, half, 0, 0);
  pixRasterop(seed, w - 1, 0, 1, h, PIX_SRC, half, w - 1, 0);
  // Erosion of the seed down to the mask is a fill of the inverted seed up
  // to the inverted mask.
  pixInvert(seed, seed);
  pixInvert(half, half);
  pixSeedfillGray(seed, half, 8);
  pixInvert(seed, seed);
  pixDestroy(&half);
  return seed;
}

bool Flatten(const char* path) {
  PIX* page = pixRead(path);
  if (page == nullptr) return false;
  const l_int32 format = pixGetInputFormat(page);
  l_int32 W, H, depth;
  pixGetDimensions(page, &W, &H, &depth);
  if ((depth != 8 && depth != 32) || W < 2 || H < 2) {
    pixDestroy(&page);
    return false;
  }
  PIX* grey = depth == 32 ? pixConvertRGBToGray(page, 0.299f, 0.587f, 0.114f) : pixClone(page);
  PIX* half = HalfBackground(grey);
  PIX* background = pixExpandReplicate(half, 2);
  l_int32 bw, bh;
  pixGetDimensions(background, &bw, &bh, nullptr);

  const l_int32 wplGrey = pixGetWpl(grey), wplBack = pixGetWpl(background);
  const l_int32 wplPage = pixGetWpl(page);
  l_uint32* greyData = pixGetData(grey);
  l_uint32* backData = pixGetData(background);
  l_uint32* pageData = pixGetData(page);
  for (l_int32 y = 0; y < H; ++y) {
    l_uint32* greyLine = greyData + y * wplGrey;
    const l_uint32* backLine = backData + std::min(y, bh - 1) * wplBack;
    l_uint32* pageLine = pageData + y * wplPage;
    for (l_int32 x = 0; x < W; ++x) {
      const l_int32 p = GET_DATA_BYTE(greyLine, x);
      const l_int32 b = GET_DATA_BYTE(backLine, std::min(x, bw - 1));
      const l_int32 flat = b < DarkThreshold || p >= b ? 255 : p * 255 / b;
      if (depth == 8) {
        SET_DATA_BYTE(pageLine, x, static_cast<l_uint8>(flat));
      } else {
        const l_int32 gain = (flat - p) & 255;
        l_int32 r, g, bl;
        extractRGBValues(pageLine[x], &r, &g, &bl);
        composeRGBPixel(std::min(r + gain, 255), std::min(g + gain, 255), std::min(bl + gain, 255),
                        &pageLine[x]);
      }
    }
  }
  const l_int32 compression = format == IFF_TIFF_LZW   ? IFF_TIFF_LZW
                              : format == IFF_TIFF_ZIP ? IFF_TIFF_ZIP
                                                       : IFF_TIFF;
  const bool ok = pixWriteTiff(path, page, compression, "w") == 0;
  pixDestroy(&background);
  pixDestroy(&half);
  pixDestroy(&grey);
  pixDestroy(&page);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  setMsgSeverity(L_SEVERITY_ERROR);
  int failures = 0;
  for (int i = 1; i < argc; ++i) {
    if (!Flatten(argv[i])) {
      std::fprintf(stderr, "leptonica_peer: %s failed\n", argv[i]);
      ++failures;
    }
  }
  return failures == 0 ? 0 : 1;
}
