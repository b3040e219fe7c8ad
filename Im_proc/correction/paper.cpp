#include "paper.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <type_traits>

#include "processor.h"
#include "split_rows.h"

namespace {

constexpr std::uint32_t Unknown = std::numeric_limits<std::uint32_t>::max();

template <class T>
constexpr std::uint32_t WhiteOf() {
  return std::numeric_limits<T>::max();
}

// The level three quarters of the grey plane's pixels are at or below, from
// a histogram of their top eight bits, in samples.
template <class T>
std::uint32_t PaperLevel(const T* grey, std::uint32_t count) {
  constexpr unsigned shift = sizeof(T) == 1 ? 0 : 8;
  std::array<std::uint32_t, 256> histogram{};
  for (std::uint32_t i = 0; i < count; ++i) ++histogram[grey[i] >> shift];
  std::uint64_t seen = 0;
  std::uint32_t bin = 0;
  while (bin < 255 && (seen + histogram[bin]) * 4 < std::uint64_t{count} * 3)
    seen += histogram[bin++];
  return sizeof(T) == 1 ? bin : bin * 257;
}

// The depth of the margin along each line of one side: the run of dark
// pixels from the edge, held to the median of the runs of the lines around
// it, so that a ruled line or a mark that runs into the margin is not taken
// with it. All zero where fewer than half of the lines start dark.
template <class T>
std::vector<std::uint32_t> MarginDepths(const T* grey, std::uint32_t lines, std::uint32_t length,
                                        std::size_t first, std::ptrdiff_t along,
                                        std::ptrdiff_t across, std::uint32_t dark) {
  std::vector<std::uint32_t> run(lines, 0);
  std::uint32_t starting = 0;
  for (std::uint32_t i = 0; i < lines; ++i) {
    const T* at = grey + first + static_cast<std::ptrdiff_t>(i) * across;
    while (run[i] < length && at[static_cast<std::ptrdiff_t>(run[i]) * along] <= dark) ++run[i];
    starting += run[i] > 0;
  }
  if (starting * 2 < lines) {
    std::fill(run.begin(), run.end(), 0);
    return run;
  }
  // The depths take the runs' place as they go; the runs of the `reach`
  // lines before, still needed, are kept aside as they were.
  constexpr std::uint32_t reach = 16;
  std::array<std::uint32_t, reach> kept{};  // line j's run at j % reach
  std::vector<std::uint32_t> window;
  for (std::uint32_t i = 0; i < lines; ++i) {
    const std::uint32_t from = i > reach ? i - reach : 0, to = std::min(lines, i + reach + 1);
    window.clear();
    for (std::uint32_t j = from; j < i; ++j) window.push_back(kept[j % reach]);
    window.insert(window.end(), run.begin() + i, run.begin() + to);
    const auto middle = window.begin() + static_cast<std::ptrdiff_t>(window.size() / 2);
    std::nth_element(window.begin(), middle, window.end());
    kept[i % reach] = run[i];
    run[i] = std::min(run[i], *middle);
  }
  return run;
}

template <class T>
void FindMarginOf(const TMyImage& reduced, TPaperField& paper) {
  const std::uint32_t w = reduced.Width, h = reduced.Height, n = w * h;
  const T* grey = GrayOf(T{}, reduced).data();
  paper.Width = w;
  paper.Height = h;
  std::vector<std::uint8_t>& margin = paper.Margin;
  margin.assign(n, 0);
  if (n == 0) return;
  const std::uint32_t dark = PaperLevel(grey, n) * 2 / 5;
  // Each margin pixel, and the pixels next to it: its edge, blurred by the scan.
  const auto mark = [&](std::uint32_t x, std::uint32_t y) {
    for (std::uint32_t ny = y > 0 ? y - 1 : 0; ny <= std::min(y + 1, h - 1); ++ny) {
      for (std::uint32_t nx = x > 0 ? x - 1 : 0; nx <= std::min(x + 1, w - 1); ++nx)
        margin[ny * w + nx] = 1;
    }
  };
  // Left, right, top and bottom: where each line starts, and its steps; one
  // side at a time, so that only one side's depths are held.
  const auto sw = static_cast<std::ptrdiff_t>(w);
  const struct {
    std::uint32_t lines, length;
    std::size_t first;
    std::ptrdiff_t along, across;
  } sides[] = {{h, w, 0, 1, sw}, {h, w, w - 1, -1, sw}, {w, h, 0, sw, 1}, {w, h, n - w, -sw, 1}};
  for (const auto& side : sides) {
    const std::vector<std::uint32_t> depth =
        MarginDepths(grey, side.lines, side.length, side.first, side.along, side.across, dark);
    for (std::uint32_t i = 0; i < side.lines; ++i) {
      for (std::uint32_t k = 0; k < depth[i]; ++k) {
        const auto at = static_cast<std::size_t>(static_cast<std::ptrdiff_t>(side.first) +
                                                 i * side.across + k * side.along);
        mark(static_cast<std::uint32_t>(at % w), static_cast<std::uint32_t>(at / w));
      }
    }
  }
}

// The values at `high` and at `low` (ranks, 0 the darkest) of `count`
// 8-bit values in their histogram, counted from its top: paper is near it.
std::pair<std::uint32_t, std::uint32_t> RanksInHistogram(const std::uint16_t* histogram,
                                                         std::uint32_t count, std::uint32_t high,
                                                         std::uint32_t low) {
  std::uint32_t v = 255, above = histogram[255];
  for (; above < count - high;) above += histogram[--v];
  const std::uint32_t atHigh = v;
  for (; above < count - low;) above += histogram[--v];
  return {atHigh, v};
}

// The same of `count` 16-bit values, which it reorders.
std::pair<std::uint32_t, std::uint32_t> RanksOf(std::uint16_t* values, std::uint32_t count,
                                                std::uint32_t high, std::uint32_t low) {
  std::nth_element(values, values + high, values + count);
  const std::uint32_t atHigh = values[high];
  std::nth_element(values, values + low, values + high);
  return {atHigh, low < high ? values[low] : atHigh};
}

// One tile (x0 <= x < x1, y0 <= y < y1) of the `w` wide half-size page
// with `Channels` samples a pixel: its rank 7n/8 of each channel in
// `high`, the sum of its ranks n/4 in `low`, of the n pixels outside the
// margin; n is returned. At 8 bits the samples are counted straight into
// a histogram a channel.
template <class T, std::uint32_t Channels>
std::uint32_t TileRanks(const T* samples, const std::uint8_t* margin, std::uint32_t w,
                        std::uint32_t x0, std::uint32_t x1, std::uint32_t y0, std::uint32_t y1,
                        std::uint32_t* high, std::uint32_t& low) {
  // At 8 bits a histogram a channel, at 16 the samples themselves.
  constexpr std::size_t kept = sizeof(T) == 1 ? 256 : PaperTile * PaperTile;
  std::uint16_t store[Channels][kept];
  if constexpr (sizeof(T) == 1) std::memset(store, 0, sizeof store);
  std::uint32_t count = 0;
  low = 0;
  for (std::uint32_t yy = y0; yy < y1; ++yy) {
    for (std::uint32_t xx = x0; xx < x1; ++xx) {
      if (margin[yy * w + xx] != 0) continue;
      const T* pixel = samples + std::size_t{yy * w + xx} * Channels;
      for (std::uint32_t c = 0; c < Channels; ++c) {
        if constexpr (sizeof(T) == 1) {
          ++store[c][pixel[c]];
        } else {
          store[c][count] = pixel[c];
        }
      }
      ++count;
    }
  }
  if (count == 0) return 0;
  for (std::uint32_t c = 0; c < Channels; ++c) {
    const auto [ranked, under] = sizeof(T) == 1
                                     ? RanksInHistogram(store[c], count, count * 7 / 8, count / 4)
                                     : RanksOf(store[c], count, count * 7 / 8, count / 4);
    high[c] = ranked;
    low += under;
  }
  return count;
}

// The median of the known values among `values` (Unknown where fewer than
// half of them are known), which it reorders.
std::uint32_t KnownMedian(std::vector<std::uint32_t>& values) {
  const auto known =
      std::partition(values.begin(), values.end(), [](std::uint32_t v) { return v != Unknown; });
  const auto n = static_cast<std::size_t>(known - values.begin());
  if (n == 0 || n * 2 < values.size()) return Unknown;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(n / 2), known);
  return values[n / 2];
}

// The shadow along the sides of the page, across one direction: for each of
// the `lines` lines of tiles (columns when `columns`), its light in 4096ths
// of the open page's (4096 where there is no shadow). A side is in shadow
// where the median of the lines next to it darkens steadily towards the
// edge, and each of those lines is flat along: most of its tiles are near
// its median. That is how a book's gutter, or paper lifted off the glass,
// looks; a picture at the edge is not flat along.
std::vector<std::uint32_t> ShadowAcross(const std::vector<std::uint32_t>& sum, std::uint32_t tx,
                                        std::uint32_t ty, bool columns) {
  const std::uint32_t lines = columns ? tx : ty, length = columns ? ty : tx;
  std::vector<std::uint32_t> light(lines, 4096), median(lines, Unknown), line(length);
  std::vector<bool> flat(lines, false);
  for (std::uint32_t i = 0; i < lines; ++i) {
    for (std::uint32_t k = 0; k < length; ++k) line[k] = sum[columns ? k * tx + i : i * tx + k];
    const std::vector<std::uint32_t> values = line;
    median[i] = KnownMedian(line);
    if (median[i] == Unknown) continue;
    std::uint32_t near = 0, known = 0;
    for (const std::uint32_t v : values) {
      known += v != Unknown;
      near += v != Unknown &&
              std::uint64_t{v > median[i] ? v - median[i] : median[i] - v} * 16 <= median[i];
    }
    flat[i] = near * 4 >= known * 3;
  }
  // The open page: the light of the brighter lines (the upper quartile of
  // their medians), which content across the page does not lower.
  std::vector<std::uint32_t> known;
  for (const std::uint32_t m : median)
    if (m != Unknown) known.push_back(m);
  if (lines < 8 || known.size() * 2 < lines) return light;
  const auto quartile = known.begin() + static_cast<std::ptrdiff_t>(known.size() * 3 / 4);
  std::nth_element(known.begin(), quartile, known.end());
  const std::uint32_t open = *quartile;
  for (const bool far : {false, true}) {
    // From the edge (past the lines the margin takes) inwards, while the
    // lines are darker than the open page.
    std::uint32_t edge = 0;
    while (edge < lines / 3 && median[far ? lines - 1 - edge : edge] == Unknown) ++edge;
    const auto at = [&](std::uint32_t k) { return far ? lines - 1 - edge - k : edge + k; };
    std::uint32_t depth = 0;
    while (depth + edge < lines / 3 && median[at(depth)] != Unknown &&
           std::uint64_t{median[at(depth)]} * 32 < std::uint64_t{open} * 31) {
      ++depth;
    }
    // The shadow reaches from the edge as far as the lines are flat and
    // lighten inwards; past that, content across the page is no shadow.
    std::uint32_t reach = 0;
    while (reach < depth && flat[at(reach)] &&
           std::uint64_t{median[at(reach)]} * 32 <=
               std::uint64_t{reach + 1 < depth ? median[at(reach + 1)] : open} * 33) {
      ++reach;
    }
    for (std::uint32_t k = 0; k < reach; ++k)
      light[at(k)] = static_cast<std::uint32_t>(std::uint64_t{median[at(k)]} * 4096 / open);
  }
  return light;
}

template <class T>
void EstimatePaperOf(const TMyImage& reduced, TPaperField& paper, unsigned threads) {
  const std::uint32_t w = reduced.Width, h = reduced.Height;
  const std::uint32_t channels = IsColour(reduced) ? 3 : 1;
  const T* samples = channels == 3 ? RgbOf(T{}, reduced).data() : GrayOf(T{}, reduced).data();
  const std::uint32_t tx = (w + PaperTile - 1) / PaperTile, ty = (h + PaperTile - 1) / PaperTile;
  const std::uint32_t tiles = tx * ty;
  paper.TilesX = tx;
  paper.TilesY = ty;
  paper.Channels = channels;
  paper.Knee = 0;
  paper.LittlePaper = false;
  std::vector<std::uint32_t>& level = paper.Level;
  level.assign(std::size_t{tiles} * channels, 0);
  if (tiles == 0) return;
  const auto allWhite = [&] {
    level.assign(level.size(), WhiteOf<T>());
    paper.LittlePaper = true;
  };

  // 1. A high rank of each tile's pixels outside the margin, and a low one
  // of its grey: how far the paper's grain reaches below it.
  std::vector<std::uint32_t> sum(tiles, Unknown), low(tiles, 0);
  SplitRows(ty, threads, 4, [&](std::uint32_t first, std::uint32_t end) {
    for (std::uint32_t y = first; y < end; ++y) {
      for (std::uint32_t x = 0; x < tx; ++x) {
        const std::uint32_t x0 = x * PaperTile, y0 = y * PaperTile;
        const std::uint32_t x1 = std::min(w, x0 + PaperTile), y1 = std::min(h, y0 + PaperTile);
        const std::uint32_t t = y * tx + x;
        std::uint32_t* high = &level[std::size_t{t} * channels];
        std::uint32_t lows = 0;
        const std::uint32_t count =
            channels == 3
                ? TileRanks<T, 3>(samples, paper.Margin.data(), w, x0, x1, y0, y1, high, lows)
                : TileRanks<T, 1>(samples, paper.Margin.data(), w, x0, x1, y0, y1, high, lows);
        if (count * 4 < (x1 - x0) * (y1 - y0)) {
          std::fill(high, high + channels, 0);
          continue;
        }
        std::uint32_t total = 0;
        for (std::uint32_t c = 0; c < channels; ++c) total += high[c];
        sum[t] = total;
        low[t] = lows;
      }
    }
  });

  const std::vector<std::uint32_t> ranked = level;

  // 2. The shadow along the sides, in 4096ths of the light; the levels as
  // they would be without it.
  const std::vector<std::uint32_t> acrossX = ShadowAcross(sum, tx, ty, true);
  const std::vector<std::uint32_t> acrossY = ShadowAcross(sum, tx, ty, false);
  const auto lightAt = [&](std::uint32_t t) {
    return std::max<std::uint32_t>(1, acrossX[t % tx] * acrossY[t / tx] / 4096);
  };
  std::vector<std::uint32_t> lit(level.size()), litSum(tiles, Unknown);
  for (std::uint32_t t = 0; t < tiles; ++t) {
    if (sum[t] == Unknown) continue;
    litSum[t] = 0;
    for (std::uint32_t c = 0; c < channels; ++c) {
      const std::size_t i = std::size_t{t} * channels + c;
      lit[i] = static_cast<std::uint32_t>(std::uint64_t{level[i]} * 4096 / lightAt(t));
      litSum[t] += lit[i];
    }
  }

  // 3. Paper: the tiles joined into regions through steps that paper
  // takes (each channel within a 48th of the larger lit level): text
  // and thin lines leave the paper level of a tile as it is, while a fill, a
  // wash or a picture, however large and pale, and the dark of a photograph
  // start with a step in lightness or colour, and are regions of their own.
  // The paper is the region that touches the rim of the page most (the
  // edge, or the margin), with those of its colour and lightness that touch
  // the rim too.
  std::vector<std::uint32_t> region(tiles, Unknown);
  std::uint32_t measured = 0;
  for (std::uint32_t t = 0; t < tiles; ++t) {
    if (litSum[t] == Unknown) continue;
    ++measured;
    region[t] = Unknown - 1;  // not yet in a region
  }
  const auto neighbours = [&](std::uint32_t t) {
    const std::uint32_t x = t % tx, y = t / tx;
    return std::array<std::uint32_t, 4>{x > 0 ? t - 1 : t, x + 1 < tx ? t + 1 : t,
                                        y > 0 ? t - tx : t, y + 1 < ty ? t + tx : t};
  };
  const auto onRim = [&](std::uint32_t t) {
    const std::uint32_t x = t % tx, y = t / tx;
    if (x == 0 || y == 0 || x + 1 == tx || y + 1 == ty) return true;
    for (const std::uint32_t u : neighbours(t))
      if (litSum[u] == Unknown) return true;
    return false;
  };
  struct TRegion {
    std::uint32_t Tiles = 0, Rim = 0;
    std::array<std::uint64_t, 3> Lit{};
  };
  std::vector<TRegion> regions;
  std::vector<std::uint32_t> queue;
  for (std::uint32_t seed = 0; seed < tiles; ++seed) {
    if (region[seed] != Unknown - 1) continue;
    const auto label = static_cast<std::uint32_t>(regions.size());
    TRegion found;
    region[seed] = label;
    queue.assign(1, seed);
    for (std::size_t next = 0; next < queue.size(); ++next) {
      const std::uint32_t t = queue[next];
      ++found.Tiles;
      found.Rim += onRim(t);
      for (std::uint32_t c = 0; c < channels; ++c)
        found.Lit[c] += lit[std::size_t{t} * channels + c];
      for (const std::uint32_t u : neighbours(t)) {
        if (region[u] != Unknown - 1) continue;
        // The tile behind t, away from u, where it is in this region: the
        // paper's slope there carries on to u.
        const std::uint32_t x = t % tx, y = t / tx;
        const std::uint32_t behind = u == t + 1    ? (x > 0 ? t - 1 : Unknown)
                                     : u + 1 == t  ? (x + 1 < tx ? t + 1 : Unknown)
                                     : u == t + tx ? (y > 0 ? t - tx : Unknown)
                                                   : (y + 1 < ty ? t + tx : Unknown);
        const bool sloped = behind != Unknown && region[behind] == label;
        bool step = true, slope = sloped;
        for (std::uint32_t c = 0; c < channels; ++c) {
          const std::int64_t a = lit[std::size_t{t} * channels + c],
                             b = lit[std::size_t{u} * channels + c];
          step = step && std::abs(a - b) * 48 <= std::max(a, b);
          if (sloped) {
            const std::int64_t ahead = 2 * a - lit[std::size_t{behind} * channels + c];
            slope = slope && std::abs(ahead - b) * 48 <= std::max(a, b) &&
                    std::abs(a - b) * 8 <= std::max(a, b);
          }
        }
        if (!step && !slope) continue;
        region[u] = label;
        queue.push_back(u);
      }
    }
    regions.push_back(found);
  }
  std::uint32_t main = Unknown;
  for (std::uint32_t k = 0; k < regions.size(); ++k) {
    if (main == Unknown || regions[k].Rim > regions[main].Rim ||
        (regions[k].Rim == regions[main].Rim && regions[k].Tiles > regions[main].Tiles)) {
      main = k;
    }
  }
  if (main == Unknown || regions[main].Rim == 0) return allWhite();
  // The paper's colour: each channel's share of its lit level, in 4096ths.
  const auto shareOf = [&](const TRegion& g, std::uint32_t c) {
    std::uint64_t total = 0;
    for (std::uint32_t k = 0; k < channels; ++k) total += g.Lit[k];
    return std::max<std::uint64_t>(1, g.Lit[c] * 4096 / std::max<std::uint64_t>(1, total));
  };
  std::array<std::uint64_t, 3> share{};
  for (std::uint32_t c = 0; c < channels; ++c) share[c] = shareOf(regions[main], c);
  const auto meanOf = [&](const TRegion& g) {
    std::uint64_t total = 0;
    for (std::uint32_t c = 0; c < channels; ++c) total += g.Lit[c];
    return total / g.Tiles;
  };
  std::vector<std::uint8_t> known(tiles, 0);
  std::vector<std::uint8_t> taken(regions.size(), 0);
  std::size_t paperTiles = 0;
  for (std::uint32_t k = 0; k < regions.size(); ++k) {
    bool same = k == main;
    if (!same && regions[k].Rim > 0) {
      const std::uint64_t a = meanOf(regions[k]), b = meanOf(regions[main]);
      same = (a > b ? a - b : b - a) * 16 <= b;
      for (std::uint32_t c = 0; same && channels == 3 && c < 3; ++c) {
        const std::uint64_t s = shareOf(regions[k], c);
        same = (s > share[c] ? s - share[c] : share[c] - s) * 32 <= share[c];
      }
    }
    taken[k] = same;
    paperTiles += same ? regions[k].Tiles : 0;
  }
  for (std::uint32_t t = 0; t < tiles; ++t) {
    known[t] = region[t] < regions.size() && taken[region[t]] != 0;
  }
  // Too little paper to tell the light by (a map or a plate to the edges):
  // the page is left as it is.
  if (paperTiles * 4 < measured) return allWhite();
  queue.clear();
  for (std::uint32_t t = 0; t < tiles; ++t)
    if (known[t] != 0) queue.push_back(t);

  // 4. The rest filled in from the paper, lit, a ring at a time.
  for (bool filled = true; filled;) {
    filled = false;
    const std::vector<std::uint8_t> before = known;
    for (std::uint32_t y = 0; y < ty; ++y) {
      for (std::uint32_t x = 0; x < tx; ++x) {
        const std::uint32_t t = y * tx + x;
        if (before[t] != 0) continue;
        std::uint32_t count = 0;
        std::array<std::uint64_t, 3> total{};
        for (std::uint32_t ny = y > 0 ? y - 1 : 0; ny <= std::min(y + 1, ty - 1); ++ny) {
          for (std::uint32_t nx = x > 0 ? x - 1 : 0; nx <= std::min(x + 1, tx - 1); ++nx) {
            const std::uint32_t u = ny * tx + nx;
            if (before[u] == 0) continue;
            ++count;
            for (std::uint32_t c = 0; c < channels; ++c)
              total[c] += lit[std::size_t{u} * channels + c];
          }
        }
        if (count == 0) continue;
        for (std::uint32_t c = 0; c < channels; ++c)
          lit[std::size_t{t} * channels + c] =
              static_cast<std::uint32_t>((total[c] + count / 2) / count);
        known[t] = 1;
        filled = true;
      }
    }
  }

  // 5. The shadow put back.
  for (std::uint32_t t = 0; t < tiles; ++t) {
    for (std::uint32_t c = 0; c < channels; ++c) {
      const std::size_t i = std::size_t{t} * channels + c;
      level[i] = static_cast<std::uint32_t>(std::min<std::uint64_t>(
          std::uint64_t{lit[i]} * lightAt(t) / 4096, std::uint64_t{WhiteOf<T>()} * 2));
    }
  }

  // 6. Smoothed over 3 x 3 tiles.
  const std::vector<std::uint32_t> rough = level;
  for (std::uint32_t y = 0; y < ty; ++y) {
    for (std::uint32_t x = 0; x < tx; ++x) {
      std::uint32_t count = 0;
      std::array<std::uint64_t, 3> total{};
      for (std::uint32_t ny = y > 0 ? y - 1 : 0; ny <= std::min(y + 1, ty - 1); ++ny) {
        for (std::uint32_t nx = x > 0 ? x - 1 : 0; nx <= std::min(x + 1, tx - 1); ++nx) {
          ++count;
          for (std::uint32_t c = 0; c < channels; ++c)
            total[c] += rough[std::size_t{ny * tx + nx} * channels + c];
        }
      }
      for (std::uint32_t c = 0; c < channels; ++c) {
        const auto mean = static_cast<std::uint32_t>((total[c] + count / 2) / count);
        level[std::size_t{y * tx + x} * channels + c] = std::max(1u, mean);
      }
    }
  }

  // 7. Paper that is white already (half the paper's tiles within a 64th of
  // white on every channel: a page this made, or a clean scan) is left as
  // it is wherever it lies within a 16th of white, so that a second run
  // changes only what is clearly shaded still.
  constexpr std::uint32_t white = WhiteOf<T>();
  std::size_t whiteTiles = 0;
  for (const std::uint32_t t : queue) {
    bool atWhite = true;
    for (std::uint32_t c = 0; c < channels; ++c)
      atWhite = atWhite && ranked[std::size_t{t} * channels + c] >= white - white / 64;
    whiteTiles += atWhite;
  }
  if (whiteTiles * 2 >= queue.size()) {
    for (std::uint32_t& l : level) l = l >= white - white / 16 ? white : l;
  }

  // 8. The paper's grain: how far below its level a quarter of the paper's
  // pixels lie, as a share of white, in the tiles where it reaches least
  // (the lower quartile of the paper's tiles: text and lines in a tile
  // reach further); half as much again is whitened with the paper.
  std::vector<std::uint32_t> grain;
  for (const std::uint32_t t : queue) {
    if (sum[t] > 0) {
      grain.push_back(
          static_cast<std::uint32_t>(std::uint64_t{sum[t] - low[t]} * WhiteOf<T>() / sum[t]));
    }
  }
  const auto middle = grain.begin() + static_cast<std::ptrdiff_t>(grain.size() / 4);
  std::nth_element(grain.begin(), middle, grain.end());
  paper.Knee = std::min(WhiteOf<T>() / 8, grain.empty() ? 0 : *middle * 3 / 2);
}

// Where a full-size column (or row) lies against the tile centres: the
// tile before it and the weight of the one after, in 64ths; below 0 before
// the first centre and above 64 past the last, so that the paper's slope
// carries on to the edge.
struct TBetween {
  std::uint32_t Tile = 0;
  std::int32_t Weight = 0;
};

TBetween BetweenAt(std::uint32_t x, std::uint32_t tiles) {
  // In half pixels: the centre of pixel x is at 2x + 1, tile i's centre at
  // 4 * PaperTile * i + 2 * PaperTile; 4 * PaperTile = 64 of them apart.
  constexpr std::int32_t span = 4 * PaperTile;
  if (tiles < 2) return {};
  const std::int32_t from =
      2 * static_cast<std::int32_t>(x) + 1 - 2 * static_cast<std::int32_t>(PaperTile);
  const std::int32_t last = static_cast<std::int32_t>(tiles) - 2;
  const std::int32_t tile = std::clamp(from >= 0 ? from / span : -1, 0, last);
  return {static_cast<std::uint32_t>(tile), from - tile * span};
}

// The runs of full-size columns (or rows) that lie against the same two
// tile centres: where each starts, and the weight of the second there (it
// grows by 2 a pixel). As many as there are tiles, whatever the size.
struct TRun {
  std::uint32_t Tile = 0, First = 0, End = 0;
  std::int32_t Weight = 0;
};

std::vector<TRun> RunsOf(std::uint32_t size, std::uint32_t tiles) {
  std::vector<TRun> runs;
  for (std::uint32_t x = 0; x < size; ++x) {
    const TBetween between = BetweenAt(x, tiles);
    if (runs.empty() || runs.back().Tile != between.Tile) {
      runs.push_back({between.Tile, x, x, between.Weight});
    }
    runs.back().End = x + 1;
  }
  for (TRun& run : runs) run.Tile = std::min(run.Tile, tiles - 1);
  return runs;
}

// DivideRow: each of `count` samples p of `row` divided by its level b:
// W where p >= b (b = 0 included), else p * W / b. At 8 bits in float,
// truncated: the quotient of two integers below 2^16, correctly rounded, is
// never close enough to the next integer to cross it (its error is below
// 2^-16 of a unit, and a quotient that is no integer lies at least 1 / b
// from one), so it is exact on every target; in this form, on pointers
// that alias nothing and built without trapping floating point, the
// compiler does several samples at a time.
//
// Then the knee: quotients from `knee` below white up are white, and those
// from twice that up stretched onto the gap, min(W, max(q, 2q - W + 2 knee)),
// so that the paper's grain turns white and nothing darker moves.
template <class T>
[[gnu::always_inline]] inline void DivideRow(T* __restrict row,
                                             const std::int32_t* __restrict levels,
                                             std::uint32_t count, std::int32_t knee) {
  constexpr std::int32_t white = WhiteOf<T>();
  for (std::uint32_t k = 0; k < count; ++k) {
    const std::int32_t b = levels[k], p = row[k];
    // No more grain is whitened than the paper lies below white: paper
    // that is white already, as a page this made is, keeps every sample.
    const std::int32_t from = white - 2 * std::min(knee, white - b);
    std::int32_t q;
    if constexpr (sizeof(T) == 1) {
      q = static_cast<std::int32_t>(static_cast<float>(p * 255) /
                                    static_cast<float>(std::max(b, 1)));
    } else {
      q = static_cast<std::int32_t>(std::uint32_t(p) * std::uint32_t(white) /
                                    std::uint32_t(std::max(b, 1)));
    }
    row[k] = static_cast<T>(p >= b ? white : std::min(white, std::max(q, 2 * q - from)));
  }
}

// Sets to 0 the levels of the pixels x0 <= x < x1 whose half-size pixel
// (x / 2, or the last of the `width`) lies in the margin; `level` holds
// the stretch from x0, `channels` a pixel. The margin is a few runs along
// the edges, so eight half-size pixels at a time are passed over while
// none of them is in it.
[[gnu::always_inline]] inline void ClearMargin(const std::uint8_t* margin, std::uint32_t width,
                                               std::uint32_t x0, std::uint32_t x1,
                                               std::int32_t* level, std::uint32_t channels) {
  const auto clear = [&](std::uint32_t from, std::uint32_t to) {
    from = std::max(from, x0);
    to = std::min(to, x1);
    if (from < to)
      std::fill(level + std::size_t{from - x0} * channels, level + std::size_t{to - x0} * channels,
                0);
  };
  const std::uint32_t last = std::min(width, x1 / 2 + 1);
  for (std::uint32_t hx = x0 / 2; hx < last;) {
    std::uint64_t eight = 0;
    if (hx + 8 <= last) std::memcpy(&eight, margin + hx, 8);
    if (hx + 8 <= last && eight == 0) {
      hx += 8;
      continue;
    }
    if (margin[hx] != 0) clear(2 * hx, hx + 1 == width ? x1 : 2 * hx + 2);
    ++hx;
  }
}

// The rows first <= y < end of the division, with `Channels` samples a
// pixel, `runs` being RunsOf(page.Width, paper.TilesX). The paper is worked
// out in 32-bit integers at 8 bits (every level and weight keeps it far
// from their limits) and in 64-bit ones at 16. Inlined into a plain copy
// and one for AVX2, which does twice the samples at a time.
template <class T, std::uint32_t Channels>
[[gnu::always_inline]] inline void DivideRowsOf(T* samples, std::uint32_t w,
                                                const TPaperField& paper,
                                                const std::vector<TRun>& runs, std::uint32_t first,
                                                std::uint32_t end) {
  using TWide = std::conditional_t<sizeof(T) == 1, std::int32_t, std::int64_t>;
  constexpr std::uint32_t white = WhiteOf<T>();
  constexpr TWide span = 4 * PaperTile;
  // floor(v / 4096) as a shift, for v down to -lift (the extrapolated
  // paper stays far above that).
  constexpr TWide lift = TWide{1} << (sizeof(T) == 1 ? 24 : 32);
  const std::uint32_t tx = paper.TilesX, ty = paper.TilesY;
  // A level of 0 stands for the margin.
  const auto levelAt = [&](std::uint32_t x, std::uint32_t y, std::uint32_t c) {
    return static_cast<TWide>(
        paper.Level[(std::size_t{std::min(y, ty - 1)} * tx + std::min(x, tx - 1)) * Channels + c]);
  };
  // The paper along the row: at each tile column in 64ths, then at each
  // pixel of a stretch of the row at a time, a channel at a time, so that
  // what a thread holds does not grow with the page's width.
  constexpr std::uint32_t Stretch = 4096;
  std::vector<TWide> column(std::size_t{tx} * Channels);
  std::vector<std::int32_t> level(std::size_t{std::min(w, Stretch)} * Channels);
  for (std::uint32_t y = first; y < end; ++y) {
    const TBetween v = BetweenAt(y, ty);
    for (std::uint32_t i = 0; i < tx * Channels; ++i) {
      column[i] = levelAt(i / Channels, v.Tile, i % Channels) * (span - v.Weight) +
                  levelAt(i / Channels, v.Tile + 1, i % Channels) * v.Weight;
    }
    auto run = runs.begin();
    for (std::uint32_t x0 = 0; x0 < w; x0 += Stretch) {
      const std::uint32_t x1 = std::min(w - x0, Stretch) + x0;
      while (run->End <= x0) ++run;
      for (auto r = run; r != runs.end() && r->First < x1; ++r) {
        TWide start[Channels], step[Channels];
        for (std::uint32_t c = 0; c < Channels; ++c) {
          const TWide from = column[r->Tile * Channels + c];
          const TWide to = column[std::min(r->Tile + 1, tx - 1) * Channels + c];
          start[c] = from * (span - r->Weight) + to * r->Weight + span * span / 2 + lift;
          step[c] = 2 * (to - from);
        }
        // Locals, as `level` might alias the run for all the compiler knows.
        const std::uint32_t from = std::max(r->First, x0), to = std::min(r->End, x1);
        std::int32_t* at = level.data() + std::size_t{from - x0} * Channels;
        for (std::uint32_t k = from - r->First, n = to - r->First; k < n; ++k, at += Channels) {
          for (std::uint32_t c = 0; c < Channels; ++c) {
            const TWide b = ((start[c] + static_cast<TWide>(k) * step[c]) >> 12) - (lift >> 12);
            at[c] = static_cast<std::int32_t>(std::clamp<TWide>(b, 1, white));
          }
        }
      }
      if (paper.Width != 0 && paper.Height != 0) {
        ClearMargin(&paper.Margin[std::size_t{std::min(y / 2, paper.Height - 1)} * paper.Width],
                    paper.Width, x0, x1, level.data(), Channels);
      }
      DivideRow(samples + (std::size_t{y} * w + x0) * Channels, level.data(), (x1 - x0) * Channels,
                static_cast<std::int32_t>(paper.Knee));
    }
  }
}

template <class T, std::uint32_t Channels>
void DivideRows(T* samples, std::uint32_t w, const TPaperField& paper,
                const std::vector<TRun>& runs, std::uint32_t first, std::uint32_t end) {
  DivideRowsOf<T, Channels>(samples, w, paper, runs, first, end);
}

#if defined(__x86_64__) || defined(__i386__)
template <class T, std::uint32_t Channels>
__attribute__((target("avx2"))) void DivideRowsAvx2(T* samples, std::uint32_t w,
                                                    const TPaperField& paper,
                                                    const std::vector<TRun>& runs,
                                                    std::uint32_t first, std::uint32_t end) {
  DivideRowsOf<T, Channels>(samples, w, paper, runs, first, end);
}
#endif

template <class T, std::uint32_t Channels>
void DivideByPaperOf(TMyImage& page, const TPaperField& paper, unsigned threads) {
  const std::uint32_t w = page.Width, h = page.Height;
  if (w == 0 || h == 0 || paper.TilesX == 0 || paper.TilesY == 0) return;
  T* samples = Channels == 3 ? RgbOf(T{}, page).data() : GrayOf(T{}, page).data();
  const std::vector<TRun> runs = RunsOf(w, paper.TilesX);
  auto rows = DivideRows<T, Channels>;
#if defined(__x86_64__) || defined(__i386__)
  if (HasAvx2()) rows = DivideRowsAvx2<T, Channels>;
#endif
  SplitRows(h, threads, 64, [&](std::uint32_t first, std::uint32_t end) {
    rows(samples, w, paper, runs, first, end);
  });
}

}  // namespace

void DownscaleMinRgb(const TMyImage& page, TMyImage& reduced, unsigned threads) {
  if (!IsColour(page)) return;
  WithSamples(page, [&](auto zero) {
    using T = decltype(zero);
    const std::uint32_t w = page.Width / 2, h = page.Height / 2;
    const T* in = RgbOf(T{}, page).data();
    auto& out = RgbOf(T{}, reduced);
    out.resize(std::size_t{w} * h * 3);
    const std::size_t stride = std::size_t{page.Width} * 3;
    SplitRows(h, threads, 64, [&](std::uint32_t first, std::uint32_t end) {
      for (std::uint32_t y = first; y < end; ++y) {
        const T* top = in + 2 * y * stride;
        const T* bottom = top + stride;
        T* row = out.data() + std::size_t{y} * w * 3;
        for (std::uint32_t x = 0; x < w; ++x) {
          for (std::uint32_t c = 0; c < 3; ++c) {
            const std::size_t a = 6 * std::size_t{x} + c;
            row[3 * x + c] =
                std::min(std::min(top[a], top[a + 3]), std::min(bottom[a], bottom[a + 3]));
          }
        }
      }
    });
  });
}

void FindMargin(const TMyImage& reduced, TPaperField& paper) {
  WithSamples(reduced, [&](auto zero) { FindMarginOf<decltype(zero)>(reduced, paper); });
}

void EstimatePaper(const TMyImage& reduced, TPaperField& paper, unsigned threads) {
  WithSamples(reduced,
              [&](auto zero) { EstimatePaperOf<decltype(zero)>(reduced, paper, threads); });
}

void DivideByPaper(TMyImage& page, const TPaperField& paper, unsigned threads) {
  WithSamples(page, [&](auto zero) {
    if (paper.Channels == 3) {
      DivideByPaperOf<decltype(zero), 3>(page, paper, threads);
    } else {
      DivideByPaperOf<decltype(zero), 1>(page, paper, threads);
    }
  });
}

std::uint64_t PaperLineBytes(const TMyImage& page) {
  return 4 * (std::uint64_t{std::max(page.Width, page.Height)} / 2 + 1);
}
