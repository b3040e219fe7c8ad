// The correction against the paper, chosen instead of the default one: the
// page divided, channel by channel, by the paper it is printed on, so that
// paper turns white on every channel, text keeps its contrast to the paper
// around it, and only a dark scanner margin along a side is whitened;
// content that touches the edge (ruled lines, a photograph, a grey-scale
// target) stays. Integers throughout: the same bytes on every system and
// with any number of threads.
//
// On the half-size image (DownscaleMin, and DownscaleMinRgb for colour):
//   FindMargin     the scanner margin: the dark band along a side, where at
//                  least half of the side's lines start dark;
//   EstimatePaper  the paper on a grid of tiles: a high rank of each tile's
//                  pixels outside the margin; a shadow along a side taken
//                  as paper in shadow; paper the region continuous with the
//                  paper at the rim of the page, in lightness and colour,
//                  everything else (text, fills, washes, pictures, however
//                  large and pale) content, filled in from the paper around
//                  it; then smoothed;
// then on the page:
//   DivideByPaper  each sample divided by the paper interpolated at its
//                  place; the margin white.
#pragma once

#include <cstdint>
#include <vector>

#include "image.h"

// A tile of the paper grid: this many half-size pixels a side.
constexpr std::uint32_t PaperTile = 16;

// TPaperField: what FindMargin and EstimatePaper find on a half-size image
// of Width x Height pixels.
struct TPaperField {
  std::uint32_t Width = 0;
  std::uint32_t Height = 0;
  // Width * Height, row-major: 1 where the half-size pixel is scanner
  // margin, else 0.
  std::vector<std::uint8_t> Margin;
  // The grid: TilesX x TilesY tiles of PaperTile pixels (the last ones of a
  // row or column may be smaller), Channels levels each (1 grey, 3 colour:
  // R, G, B), tile (x, y) channel c at (y * TilesX + x) * Channels + c: the
  // paper at the tile's centre, in samples of the page (1 to white).
  std::uint32_t TilesX = 0;
  std::uint32_t TilesY = 0;
  std::uint32_t Channels = 0;
  std::vector<std::uint32_t> Level;
  // How far below white the paper's grain reaches, in samples: whitened
  // with it (see DivideByPaper).
  std::uint32_t Knee = 0;
  // Too little of the page is paper to tell its light by: the levels are
  // white and the page comes out as it went in (its margin aside).
  bool LittlePaper = false;
};

// DownscaleMinRgb: sets `reduced`'s colour plane (Rgb or Rgb16, as `page`
// is 8 or 16 bits) to the half-size colour image of the colour `page`:
// (Width / 2) x (Height / 2) pixels, each channel of each pixel the darkest
// of that channel in its 2 x 2 block. `reduced` must be the page's
// DownscaleMin. Never changes `page`; does nothing to a grey page.
void DownscaleMinRgb(const TMyImage& page, TMyImage& reduced, unsigned threads = 1);

// FindMargin: sets `paper`'s Width, Height and Margin from the grey plane
// of the half-size image `reduced`. The paper level P is the value three
// quarters of the pixels are at or below (at 16 bits, to 8 bits'
// precision); dark pixels are those at or below 2P / 5. A side has a margin
// when at least half of its lines (rows for the left and right sides,
// columns for the top and bottom) start with a dark pixel; along each line
// the margin is the run of dark pixels from the edge, held to the median of
// the runs of the 33 lines around it (those on the page). Those pixels and
// every pixel next to one are margin. Dark regions at the edge that do not
// run along half a side (a photograph, a target), and what runs into the
// margin deeper than its lines around it (a ruled line), are not.
void FindMargin(const TMyImage& reduced, TPaperField& paper);

// EstimatePaper: sets `paper`'s grid, Knee and LittlePaper from the
// half-size image `reduced` (its grey plane for a grey page, its colour
// plane for a colour one) and the margin FindMargin found on it:
//   1. each tile with at least a quarter of its pixels outside the margin
//      gets, per channel, the value at rank 7n / 8 (0 the darkest) of its n
//      pixels outside the margin, and the one at rank n / 4; the others
//      have none;
//   2. a shadow along a side (a book's gutter): from each side inwards, as
//      long as the lines of tiles along it (columns for the left and right
//      sides) are flat along (three quarters of their tiles within a 16th
//      of the line's median, the channels summed), darker than the open
//      page (the upper quartile of the lines' medians) by more than a 32nd
//      and lightening inwards, each line's light is its median over the
//      open page's, within a third of the page from the side; the lines
//      the margin takes are passed over. The levels
//      divided by the light of their column and row are the lit levels;
//   3. regions: tiles joined to their 4 neighbours where every channel's lit
//      level differs by at most a 48th of the larger, or, where the tile
//      behind (away from the neighbour) is in the region already, where
//      every channel lies within a 48th of the level the slope from it
//      carries on to and steps by at most an eighth (paper under a smooth
//      shade, however steep; a fill starts with a step); the paper is the
//      region with the most tiles on the rim (the grid's edge, or next to
//      a tile without a level; ties to the larger region, then the first),
//      with every other region on the rim whose mean lit level is within a
//      16th of its own and (colour) whose channels' shares of it are each
//      within a 32nd of the paper's. Where the paper is under a quarter of
//      the tiles with a level, or none touches the rim, every level is
//      white and LittlePaper is set: the page comes out as it went in;
//   4. every other tile takes, ring by ring outwards from the paper, the
//      mean (rounded) of the lit levels of its 8 neighbours that have one;
//   5. each tile's lit level times its light, then the mean (rounded) of its
//      3 x 3 tiles (those on the grid), at least 1;
//   6. paper white already: where at least half the paper's tiles have
//      every channel's rank 7n / 8 within a 64th of white (a page this
//      made, or a clean scan), every level within a 16th of white is white,
//      so that only paper clearly below white is divided again;
//   7. Knee: the lower quartile over the paper's tiles of how far their
//      rank n / 4 lies below their rank 7n / 8 (the channels summed), as a
//      share of white, times 3 / 2; at most an eighth of white.
// The same with any number of threads.
void EstimatePaper(const TMyImage& reduced, TPaperField& paper, unsigned threads = 1);

// DivideByPaper: divides each image sample of `page` (the grey plane of a
// grey page, every channel of the colour plane of a colour one) by the
// paper b at its place: the grid's levels interpolated bilinearly between
// the tile centres around it (a tile's centre at full size is at
// 2 * PaperTile * i + PaperTile), and carried on along the slope of the
// two outermost centres beyond them; in 1/4096ths, rounded half up, held to
// 1 to W. With W white, p the sample and q = p * W / b (remainder dropped):
// p >= b gives W, else the knee k = min(Knee, W - b): min(W, max(q, 2q - W
// + 2k)), so that quotients from W - k up turn white with the paper's grain
// and those from W - 2k up are stretched onto the gap, while darker ones
// keep their quotient; paper already white (b = W) keeps every sample. A pixel whose half-size pixel (x / 2, y / 2, the last row or
// column for an odd size) is margin becomes W. Changes nothing else; the
// grey plane of a colour page is left as it was.
void DivideByPaper(TMyImage& page, const TPaperField& paper, unsigned threads = 1);

// PaperLineBytes: what the correction against the paper of `page` (its
// header) holds beyond the planes of the default correction, which cover
// its own: a number a line along the longer side of the half-size image,
// while the margin is found.
std::uint64_t PaperLineBytes(const TMyImage& page);
