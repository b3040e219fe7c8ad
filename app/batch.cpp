#include "batch.h"

#include <algorithm>
#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "flatten.h"
#include "image.h"
#include "platform.h"
#include "reconstruct.h"
#include "report.h"
#include "resample.h"
#include "safe_file.h"
#include "schedule.h"
#include "tiff_io.h"

namespace {

// The three records a worker reuses from page to page.
struct TRecords {
  TMyImage Page;
  TMyImage Reduced;
  TMyImage Background;
};

// A page's share of the memory budget, given back when the page is done.
struct THeldMemory {
  TMemoryBudget& Budget;
  std::uint64_t Bytes = 0;
  bool Held = false;
  ~THeldMemory() {
    if (Held) GiveMemory(Budget, Bytes);
  }
};

// Adds a stage's line, "label" directly followed by the seconds since
// `stageStart`, and restarts the stage clock.
void StageLine(const char* label, std::uint64_t& stageStart, std::vector<std::string>& lines) {
  const std::uint64_t end = NowMs();
  lines.push_back(label + FormatSeconds(end - stageStart));
  stageStart = NowMs();
}

// The road of one page, its report lines added to `lines`, its strips
// decoded and encoded and its rows worked on by `threads` threads. Every stage overwrites what it
// produces in the worker's records. Running out of memory fails the page, not the run: its memory
// is given back and, if other pages were in flight, it is tried again alone.
TPageOutcome ProcessEntry(const std::string& name, TRecords& records, TMemoryBudget& budget,
                          unsigned threads, bool alone, std::vector<std::string>& lines) {
  auto& [Page, Reduced, Background] = records;
  std::uint64_t StageStart = NowMs();
  const std::uint64_t FileStart = NowMs();
  const std::string shown = PrintableName(name);
  TPageFile File;
  THeldMemory held{budget};
  const auto reserve = [&held](std::uint64_t bytes) {
    held.Bytes = bytes;
    held.Held = TakeMemory(held.Budget, bytes, [](std::uint64_t b) { return b <= UsableMemory(); });
    return held.Held;
  };
  bool read = false;
  try {
    if (OpenPage(name.c_str(), File) != 1 || ReadTiff(File, Page, reserve, threads) != 1) {
      lines.push_back("image " + shown + " read error");
      return TPageOutcome::Done;
    }
    read = true;
    StageLine("read ", StageStart, lines);

    Reduced = DownscaleMin(Page, threads);
    StageLine("down ", StageStart, lines);
    Background = MakeBorderSeed(Reduced);
    StageLine("border ", StageStart, lines);
    ReconstructBackground(Reduced, Background);
    StageLine("bg ", StageStart, lines);
    Background = UpscaleNearest(Background, Page, threads);
    StageLine("up ", StageStart, lines);
    Reduced = CopyImage(Page, threads);
    StageLine("copy ", StageStart, lines);
    DivideByBackground(Page, Background, threads);
    StageLine("div ", StageStart, lines);

    std::int32_t written;
    if (IsColour(Page)) {
      SubtractImage(Page, Reduced, threads);
      StageLine("substract ", StageStart, lines);
      AddGainToRgb(Page, threads);
      written = WriteRgbTiff(File, Page, threads);
    } else {
      written = WriteGrayTiff(File, Page, threads);
    }
    if (written != 1) {
      lines.push_back("image " + shown + " write error");
      return TPageOutcome::Done;
    }
    StageLine("write ", StageStart, lines);

    lines.push_back("total " + FormatSeconds(NowMs() - FileStart));
    lines.push_back(shown);
  } catch (const std::bad_alloc&) {
    records = TRecords{};
    if (!alone) return TPageOutcome::RetryAlone;
    lines.assign(1, "image " + shown + (read ? " write error" : " read error"));
  }
  return TPageOutcome::Done;
}

}  // namespace

int RunBatch(unsigned threads) {
  SetTerminalTitle("Valdrane");
  ReportLine("Valdrane v.0.3 alpha");
  ReportLine("______20.05.2007._______________");

  // What killed runs left behind; this run holds the folder's lock.
  RemoveLeftovers();
  const std::vector<std::string> names = ListTifNames();
  std::vector<TRecords> workers(std::clamp<std::size_t>(names.size(), 1, threads));
  // Fewer pages than threads: each page's strips share the threads left.
  const auto perPage = static_cast<unsigned>(threads / workers.size());
  // The pages in flight share half the memory the system has available.
  TMemoryBudget budget;
  budget.Total = UsableMemory() / 2;
  RunPages(names.size(), static_cast<unsigned>(workers.size()),
           [&](std::size_t page, unsigned worker, bool alone, std::vector<std::string>& lines) {
             return ProcessEntry(names[page], workers[worker], budget, perPage, alone, lines);
           });
  return 0;
}
