// Every stage of the pipeline on an A4 page at 300 dpi (2480 x 3508), in
// megapixels per second, each beside a memcpy of as many bytes as the stage
// reads and writes (a memcpy of B/2 bytes reads B/2 and writes B/2). Read and
// write (grey page, argument 1 uncompressed, 5 LZW) are there for scale: the
// codec, and for writing fsync and rename, dominate them.
//
// Counters: Mpx/s (page pixels per second), x_memcpy (the stage's time over
// that memcpy's; the target is at most 2), and for the reconstruction
// ms_per_pass (target at most 2) and passes.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "flatten.h"
#include "grey.h"
#include "image.h"
#include "reconstruct.h"
#include "resample.h"
#include "synthetic_scan.h"
#include "tiff_io.h"

namespace {

constexpr std::uint32_t PageWidth = 2480;
constexpr std::uint32_t PageHeight = 3508;
constexpr double PagePixels = double{PageWidth} * PageHeight;

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The page as the reader leaves it, grey or colour.
const TMyImage& Page(bool colour) {
  static const TMyImage pages[2] = {
      [] {
        TMyImage page;
        page.Width = PageWidth, page.Height = PageHeight, page.Photometric = 1;
        const std::vector<std::uint8_t> pixels = SyntheticScan(PageWidth, PageHeight, false, 1);
        page.Gray.assign(pixels.begin(), pixels.end());
        page.Gray.resize((PixelCount(page) / 1024 + 1) * 1024, 0);
        return page;
      }(),
      [] {
        TMyImage page;
        page.Width = PageWidth, page.Height = PageHeight, page.Photometric = 2;
        const std::vector<std::uint8_t> pixels = SyntheticScan(PageWidth, PageHeight, true, 1);
        page.Rgb.assign(pixels.begin(), pixels.end());
        page.Gray.resize((PixelCount(page) / 1024 + 1) * 1024, 0);
        RgbToGray(page.Rgb.data(), page.Gray.data(), PixelCount(page));
        return page;
      }()};
  return pages[colour ? 1 : 0];
}

// The fastest of several memcpy runs of `bytes` bytes between buffers that
// are already in memory.
double MemcpySeconds(std::size_t bytes) {
  std::vector<std::uint8_t> from(bytes, 1), to(bytes, 2);
  double best = 1e9;
  for (int run = 0; run < 15; ++run) {
    const auto start = Clock::now();
    std::memcpy(to.data(), from.data(), bytes);
    benchmark::DoNotOptimize(to.data());
    best = std::min(best, Seconds(Clock::now() - start));
  }
  return best;
}

// Runs `stage` once per iteration, timed by hand, after `prepare` (not
// timed) has set up its input; reports the counters above and returns the
// seconds of one run. `touched` is the number of bytes the stage reads and
// writes; 0 leaves out the comparison with memcpy.
template <class Prepare, class Stage>
double RunStage(benchmark::State& state, double touched, Prepare prepare, Stage stage) {
  double total = 0;
  for (auto _ : state) {
    prepare();
    const auto start = Clock::now();
    stage();
    const double seconds = Seconds(Clock::now() - start);
    state.SetIterationTime(seconds);
    total += seconds;
  }
  const double perIteration = total / static_cast<double>(state.iterations());
  state.counters["Mpx/s"] = PagePixels / perIteration / 1e6;
  if (touched > 0) {
    state.counters["x_memcpy"] =
        perIteration / MemcpySeconds(static_cast<std::size_t>(touched / 2));
  }
  return perIteration;
}

void BM_RgbToGray(benchmark::State& state) {
  TMyImage page = Page(true);
  RunStage(
      state, PagePixels * 4, [] {},
      [&] {
        RgbToGray(page.Rgb.data(), page.Gray.data(), PixelCount(page));
        benchmark::DoNotOptimize(page.Gray.data());
      });
}

void BM_Down(benchmark::State& state) {
  const TMyImage& page = Page(false);
  TMyImage half;
  RunStage(
      state, PagePixels * 1.25, [] {}, [&] { half = DownscaleMin(page); });
}

void BM_Border(benchmark::State& state) {
  const TMyImage half = DownscaleMin(Page(false));
  TMyImage seed;
  RunStage(
      state, PagePixels * 0.25, [] {}, [&] { seed = MakeBorderSeed(half); });
}

void BM_Reconstruct(benchmark::State& state) {
  const TMyImage half = DownscaleMin(Page(false));
  TMyImage marker;
  std::uint32_t passes = 0;
  const double seconds = RunStage(
      state, 0, [&] { marker = MakeBorderSeed(half); },
      [&] { passes = ReconstructBackground(half, marker); });
  state.counters["passes"] = passes;
  state.counters["ms_per_pass"] = seconds * 1e3 / passes;
}

void BM_Up(benchmark::State& state) {
  const TMyImage& page = Page(false);
  const TMyImage half = DownscaleMin(page);
  TMyImage background;
  RunStage(
      state, PagePixels * 1.25, [] {}, [&] { background = UpscaleNearest(half, page); });
}

void BM_Copy(benchmark::State& state) {
  const TMyImage& page = Page(false);
  TMyImage copy;
  RunStage(
      state, PagePixels * 2, [] {}, [&] { copy = CopyImage(page); });
}

// The background of the page as the pipeline makes it.
TMyImage Background(const TMyImage& page) {
  const TMyImage half = DownscaleMin(page);
  TMyImage marker = MakeBorderSeed(half);
  ReconstructBackground(half, marker);
  return UpscaleNearest(marker, page);
}

void BM_Divide(benchmark::State& state) {
  const TMyImage& original = Page(false);
  const TMyImage background = Background(original);
  TMyImage page = original;
  RunStage(
      state, PagePixels * 3,
      [&] { std::copy_n(original.Gray.begin(), PixelCount(original), page.Gray.begin()); },
      [&] { DivideByBackground(page, background); });
}

void BM_Subtract(benchmark::State& state) {
  const TMyImage& original = Page(true);
  TMyImage divided = original;
  DivideByBackground(divided, Background(original));
  TMyImage page = divided;
  RunStage(
      state, PagePixels * 3,
      [&] { std::copy_n(divided.Gray.begin(), PixelCount(divided), page.Gray.begin()); },
      [&] { SubtractImage(page, original); });
}

void BM_Gain(benchmark::State& state) {
  const TMyImage& original = Page(true);
  TMyImage gained = original;
  DivideByBackground(gained, Background(original));
  SubtractImage(gained, original);
  TMyImage page = gained;
  RunStage(
      state, PagePixels * 7,
      [&] { std::copy(original.Rgb.begin(), original.Rgb.end(), page.Rgb.begin()); },
      [&] { AddGainToRgb(page); });
}

// The grey page as a file with the given compression (1 none, 5 LZW), in
// a folder of its own under TMPDIR (or /tmp).
std::string PageFile(std::uint32_t compression) {
  const char* base = std::getenv("TMPDIR");
  std::string folder = std::string(base != nullptr ? base : "/tmp") + "/stages-bench-XXXXXX";
  if (mkdtemp(folder.data()) == nullptr) return {};
  const std::string path = folder + "/page.tif";
  std::fclose(std::fopen(path.c_str(), "w"));  // the writers replace an existing file
  TMyImage page = Page(false);
  page.Compression = compression;
  page.BitsPerSample = 8, page.SamplesPerPixel = 1, page.PlanarConfig = 1;
  page.RowsPerStrip = 64, page.StripCount = (PageHeight + 63) / 64;
  TPageFile file;
  return OpenPage(path.c_str(), file) == 1 && WriteGrayTiff(file, page) == 1 ? path : std::string{};
}

// Reading a page: decoding plus the copy into the plane.
void BM_Read(benchmark::State& state) {
  const std::string path = PageFile(static_cast<std::uint32_t>(state.range(0)));
  TMyImage page;
  RunStage(
      state, PagePixels * 2, [] {},
      [&] {
        TPageFile file;
        if (OpenPage(path.c_str(), file) != 1 ||
            ReadTiff(file, page, [](const TMyImage&, std::uint64_t) { return true; }) != 1) {
          state.SkipWithError("read failed");
        }
      });
  std::filesystem::remove_all(std::filesystem::path(path).parent_path());
}

// Writing a page back: encoding, the temporary file, fsync and rename.
void BM_Write(benchmark::State& state) {
  const std::string path = PageFile(static_cast<std::uint32_t>(state.range(0)));
  TMyImage page;
  TPageFile file;
  if (OpenPage(path.c_str(), file) != 1 ||
      ReadTiff(file, page, [](const TMyImage&, std::uint64_t) { return true; }) != 1) {
    state.SkipWithError("read failed");
  }
  RunStage(
      state, PagePixels * 2, [] {},
      [&] {
        // Each write replaces the file: the next one opens the new file.
        if (OpenPage(path.c_str(), file) != 1 || WriteGrayTiff(file, page) != 1) {
          state.SkipWithError("write failed");
        }
      });
  std::filesystem::remove_all(std::filesystem::path(path).parent_path());
}

}  // namespace

BENCHMARK(BM_Read)->Arg(1)->Arg(5)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RgbToGray)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Down)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Border)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Reconstruct)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Up)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Copy)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Divide)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Subtract)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Gain)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Write)->Arg(1)->Arg(5)->UseManualTime()->Unit(benchmark::kMillisecond);
int main(int argc, char** argv) {
  benchmark::AddCustomContext("targets",
                              "x_memcpy at most 2 for Down, Up, Copy, Divide, Subtract and Gain; "
                              "ms_per_pass at most 2; RgbToGray at least 300 Mpx/s");
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
