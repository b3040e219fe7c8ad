#include "batch.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "correction.h"
#include "image.h"
#include "page_copy.h"
#include "page_formats.h"
#include "page_log.h"
#include "page_memory.h"
#include "platform.h"
#include "progress.h"
#include "report.h"
#include "safe_file.h"
#include "schedule.h"

namespace {

// The three records a worker reuses from page to page.
struct TRecords {
  TMyImage Page;
  TMyImage Reduced;
  TMyImage Background;
  TPaperField Paper;
};

// The bytes of plane memory a record holds, used or not.
std::uint64_t HeldBytes(const TMyImage& image) {
  return image.Gray.capacity() + image.Rgb.capacity() + image.Extra.capacity() +
         2 * std::uint64_t{image.Gray16.capacity() + image.Rgb16.capacity()};
}

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

// The correction of the page read into `records.Page`, stage by stage, with
// `threads` threads; each stage overwrites what it produces in the records
// and adds its line. Then the page's previews are made anew from it, in the
// time of the stage that writes the page.
void CorrectPage(TRecords& records, unsigned threads, std::uint64_t& stageStart,
                 std::vector<std::string>& lines) {
  auto& [Page, Reduced, Background, Paper] = records;
  // Each result takes the memory of the record it replaces, so that from
  // the second page on the stages allocate nothing.
  Reduced = DownscaleMin(Page, threads, std::move(Reduced));
  StageLine("down ", stageStart, lines);
  Background = MakeBorderSeed(Reduced, std::move(Background));
  StageLine("border ", stageStart, lines);
  ReconstructBackground(Reduced, Background);
  StageLine("bg ", stageStart, lines);
  // The full-size background in the memory of the half-size page, done
  // with; the half-size background's then takes the copy.
  Reduced = UpscaleNearest(Background, Page, threads, std::move(Reduced));
  std::swap(Reduced, Background);
  StageLine("up ", stageStart, lines);
  // The copy is what the colour planes take their gain from; a grey page
  // has none to take, so its copy stage has nothing to do.
  if (IsColour(Page)) Reduced = CopyImage(Page, threads, std::move(Reduced));
  StageLine("copy ", stageStart, lines);
  DivideByBackground(Page, Background, threads);
  StageLine("div ", stageStart, lines);
  if (IsColour(Page)) {
    SubtractImage(Page, Reduced, threads);
    StageLine("substract ", stageStart, lines);
    AddGainToRgb(Page, threads);
  }
  MakePreviews(Page, threads);
}

// The correction against the paper, in place of CorrectPage: the half-size
// page, the scanner margin found on it, the paper under the page, and the
// page divided by it; then the previews, as there.
void CorrectAgainstPaper(TRecords& records, unsigned threads, std::uint64_t& stageStart,
                         std::vector<std::string>& lines) {
  auto& [Page, Reduced, Background, Paper] = records;
  Reduced = DownscaleMin(Page, threads, std::move(Reduced));
  DownscaleMinRgb(Page, Reduced, threads);
  StageLine("down ", stageStart, lines);
  FindMargin(Reduced, Paper);
  StageLine("margin ", stageStart, lines);
  EstimatePaper(Reduced, Paper, threads);
  StageLine("paper ", stageStart, lines);
  DivideByPaper(Page, Paper, threads);
  StageLine("div ", stageStart, lines);
  MakePreviews(Page, threads);
}

// The road of one file, its report lines added to `lines`: each of its
// pages, in order, read, corrected and written (its strips or tiles decoded
// and encoded and its rows worked on by the threads `share` gives it at
// each step) or copied as it
// is, into one new file that then replaces the file at once. A file of one
// page reports as a page always has; one of several reports each page under
// "NAME page K of N", then the file's total and name. A failure leaves the
// file as it was and its report the lines of the page it failed on, then
// the error. Running
// out of memory fails the file, not the run: its memory is given back and,
// if other files were in flight, it is tried again alone. The page is
// opened with its last `firm` folders never links; with a `target` that
// has a Root, the new file goes there instead of replacing the page; a
// file made already (OutputIsCurrent) is skipped unless `force`.
// `correction` says which correction each page takes. Why a file was left
// as it was, and a note on it, go into `logged` too.
TPageOutcome ProcessEntry(const std::string& name, std::uint32_t firm, const TOutputPlace& target,
                          bool force, TCorrection correction, TRecords& records,
                          TMemoryBudget& budget, const TThreadShare& share, bool alone,
                          std::vector<std::string>& lines, const std::function<void()>& report,
                          TLogEntry& logged) {
  const std::uint64_t FileStart = NowMs();
  const auto& correct = correction == TCorrection::Paper ? CorrectAgainstPaper : CorrectPage;
  const std::string shown = PrintableName(name);
  TPageFile File;
  TImageFile Pages;
  TImageOutput Output;
  THeldMemory held{budget};
  TRefusal why;  // why the page under way is left as it was
  // A page holds its planes, what each thread that may come to decode or
  // encode it holds, and what the correction against the paper holds more.
  const auto reserve = [&](const TMyImage& header, std::uint64_t planes) {
    const std::uint64_t bytes =
        PageMemory(header, planes, share.Total, correction == TCorrection::Paper);
    if (held.Held) GiveMemory(held.Budget, held.Bytes);
    held.Bytes = bytes;
    std::uint64_t usable = 0;
    held.Held = TakeMemory(held.Budget, bytes, [&](std::uint64_t b) {
      usable = UsableMemory();
      return b <= usable;
    });
    if (!held.Held) {
      why = {TRefusalKind::TooLarge,
             "needs " + FormatBytes(bytes) + ", " + FormatBytes(usable) + " usable"};
    }
    return held.Held;
  };
  std::size_t pageLines = 0;  // where the lines of the page under way begin
  std::string page = shown;   // the page under way, as its lines name it
  // The page's lines go, the error takes their place, and standard error
  // says why: `reason` when it tells, else what `fallback` says.
  const auto fail = [&](const char* error, const TRefusal& reason = {}, TRefusal fallback = {}) {
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(pageLines));
    lines.push_back("image " + shown + error);
    // A stop is no refusal: the run says what it left.
    if (RunStopping()) return TPageOutcome::Done;
    logged.Why = reason.Kind != TRefusalKind::None ? reason : fallback;
    ReportRefusal(page, logged.Why);
    return TPageOutcome::Done;
  };
  const TRefusal unwritten = {TRefusalKind::Unwritable, "the new file cannot be written"};
  const auto write = [&] {
    return Output.Begun || BeginImageOutput(File, Pages, Output, &target) == 1;
  };
  // The file is put in place and its last lines added and reported at once,
  // with stops held: a stop finds both or neither.
  bool replaced = false;
  const auto replace = [&](const std::function<void()>& last) {
    const THeldStops stops;
    if (!stops.Held || FinishImageOutput(Output, Pages, File) != 1) return false;
    replaced = true;
    last();
    report();
    return true;
  };
  // Into an output folder: not over the output of an earlier page or over a
  // page. Not again where the output was made from the page as it is, nor,
  // in place, where the page is one this tool made that way.
  if (!target.Root.empty() && target.Below.empty()) {
    return fail(" write error", {TRefusalKind::Unwritable,
                                 "its place in the output folder is taken by another page"});
  }
  bool read = false;
  try {
    if (OpenPage(name.c_str(), File, firm) != 1) {
      return fail(" read error", File.Why, {TRefusalKind::Unreadable, "cannot be opened"});
    }
    if (!force && OutputIsCurrent(File, target)) return fail(" skipped");
    const std::int32_t listed = ListImages(File, Pages);
    // A file of pages the tool does not flatten still goes into an output
    // folder, as it is, so that the folder holds the whole tree.
    if (listed == 0 && !target.Root.empty()) {
      TSafeWrite copy;
      if (BeginSafeWrite(File, copy, &target) != 1)
        return fail(" write error", copy.Why, unwritten);
      if (CopyPage(File, copy) != 1) return fail(" write error", {}, unwritten);
      ClosePage(File);
      const THeldStops stops;
      if (!stops.Held) return fail(" write error");
      if (CommitSafeWrite(copy) != 1) return fail(" write error", copy.Why, unwritten);
      lines.push_back("image " + shown + " copied as it is");
      report();
      return TPageOutcome::Done;
    }
    if (listed != 1) return fail(" read error", Pages.Tiff.Why);
    const auto count = static_cast<std::uint32_t>(Pages.Tiff.Flattened.size());
    for (std::uint32_t k = 0; k < count; ++k) {
      pageLines = lines.size();
      read = false;
      page = count == 1 ? shown
                        : shown + " page " + std::to_string(k + 1) + " of " + std::to_string(count);
      if (!Pages.Tiff.Flattened[k]) {
        if (!write()) return fail(" write error", OutputRefusal(Output), unwritten);
        if (CopyImagePage(Output, File, k) != 1) {
          return fail(" write error", {TRefusalKind::Unwritable,
                                       "a page it does not flatten cannot be copied as it is"});
        }
        lines.push_back(page + " copied");
        continue;
      }
      std::uint64_t StageStart = NowMs();
      const std::uint64_t PageStart = StageStart;
      why = {};
      TRefusal unread;
      if (ReadImage(File, Pages, records.Page, reserve, ThreadsNow(share), k, unread) != 1) {
        return fail(" read error", why.Kind != TRefusalKind::None ? why : unread);
      }
      read = true;
      // The records keep their memory from page to page (a grey page after a
      // colour one keeps the colour page's), but never more than twice what
      // the budget gave this page: what a much larger page left is let go.
      if (HeldBytes(records.Page) + HeldBytes(records.Reduced) + HeldBytes(records.Background) >
          2 * held.Bytes) {
        records.Reduced = TMyImage{};
        records.Background = TMyImage{};
      }
      StageLine("read ", StageStart, lines);
      correct(records, ThreadsNow(share), StageStart, lines);
      if (correction == TCorrection::Paper && records.Paper.LittlePaper) {
        logged.Note = "too little paper to tell the light by; its samples are kept as they were";
        ReportNote(page, logged.Note);
      }
      const auto ending = [&] {
        StageLine("write ", StageStart, lines);
        lines.push_back("total " + FormatSeconds(NowMs() - PageStart));
        lines.push_back(page);
      };
      // A page alone is put in place as part of its writing.
      if (!write()) return fail(" write error", OutputRefusal(Output), unwritten);
      if (WriteImage(Output, Pages, records.Page, ThreadsNow(share)) != 1) {
        return fail(" write error", OutputRefusal(Output), unwritten);
      }
      if (count > 1) {
        ending();
      } else if (!replace(ending)) {
        return fail(" write error", OutputRefusal(Output), unwritten);
      }
    }
    pageLines = lines.size();
    page = shown;
    if (count > 1 && !replace([&] {
          lines.push_back("total " + FormatSeconds(NowMs() - FileStart));
          lines.push_back(shown);
        })) {
      return fail(" write error", OutputRefusal(Output), unwritten);
    }
  } catch (const std::bad_alloc&) {
    records = TRecords{};
    // A file already replaced is never flattened a second time.
    if (replaced) return TPageOutcome::Done;
    if (!alone) return TPageOutcome::RetryAlone;
    lines.assign(1, "image " + shown + (read ? " write error" : " read error"));
    logged.Why = {TRefusalKind::TooLarge, "ran out of memory"};
    ReportRefusal(page, logged.Why);
  }
  return TPageOutcome::Done;
}

}  // namespace

int RunBatch(unsigned threads, const TListing& listing, bool force, TCorrection correction,
             TLog& log) {
  SetTerminalTitle("Valdrane");
  ReportLine("Valdrane v.0.3 alpha");
  ReportLine("______20.05.2007._______________");

  const std::vector<std::string>& names = listing.Pages;
  std::vector<TRecords> workers(std::clamp<std::size_t>(names.size(), 1, threads));
  // Fewer pages than threads: each page's strips share the threads left;
  // and the threads of workers left without pages go to those still busy.
  TThreadShare share;
  share.Total = threads;
  share.PerPage = static_cast<unsigned>(threads / workers.size());
  // The pages in flight share half the memory the system has available.
  TMemoryBudget budget;
  budget.Total = UsableMemory() / 2;
  const bool paper = correction == TCorrection::Paper;
  ProgressStart(names.size());
  RunPages(
      names.size(), static_cast<unsigned>(workers.size()),
      [&](std::size_t page, unsigned worker, bool alone, std::vector<std::string>& lines,
          const std::function<void()>& report) {
        const TOutputPlace place{listing.Output,
                                 listing.Outputs.empty() ? "" : listing.Outputs[page],
                                 paper ? "paper" : ""};
        // The log has a file's line once its report lines are complete:
        // with them, stops held, where the page is put in place.
        TLogEntry logged;
        bool inLog = false;
        const auto toLog = [&] {
          if (inLog) return;
          inLog = true;
          logged.Path = names[page];
          logged.Correction = paper ? "paper" : "default";
          logged.Lines = lines;
          const TEntryOutcome ended = OutcomeOf(lines.empty() ? "" : lines.back());
          if (ended != TEntryOutcome::ReadError && ended != TEntryOutcome::WriteError) {
            logged.Output = place.Root.empty() ? names[page] : place.Root + "/" + place.Below;
          }
          WriteLog(log, logged);
        };
        const TPageOutcome outcome = ProcessEntry(
            names[page], listing.Firm[page], place, force, correction, workers[worker], budget,
            share, alone, lines, [&] { toLog(), report(); }, logged);
        if (outcome == TPageOutcome::Done) {
          const THeldStops stops;
          toLog();
          ProgressStep();
        }
        return outcome;
      },
      share);
  ReportFlush();
  ProgressEnd();
  const std::size_t errors = ReportSummary();
  // A run that found nothing to do says what it found instead.
  if (names.empty()) {
    std::fprintf(stderr, "valdrane: no TIFF page here (%s)\r\n",
                 DescribeOthers(listing.Others).c_str());
  } else if (errors == names.size()) {
    std::fprintf(stderr, "valdrane: none of the %zu files holds a page it takes\r\n", names.size());
  }
  return 0;
}
