// Running the pages of a folder on several threads: workers take pages in
// listing order, the pages in flight share a memory budget, and each page's
// report lines are printed together, in listing order, once that page and
// every page before it are done.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// TMemoryBudget: the bytes the planes of the pages in flight may take.
struct TMemoryBudget {
  std::uint64_t Total = 0;
  std::uint64_t Used = 0;
  unsigned Holders = 0;       // pages holding a share
  bool WaitingAlone = false;  // a page larger than Total waits for the others
  std::mutex Lock;
  std::condition_variable Changed;
};

// TakeMemory: takes `bytes` of `budget` for one page, waiting while other
// pages hold what it needs. A page larger than the whole budget waits until
// no other page holds any and then runs alone, if `fitsAlone(bytes)` says
// the process can hold it at all. Returns false (taking nothing) when it
// cannot; the caller gives back what it took with GiveMemory.
bool TakeMemory(TMemoryBudget& budget, std::uint64_t bytes,
                const std::function<bool(std::uint64_t)>& fitsAlone);
void GiveMemory(TMemoryBudget& budget, std::uint64_t bytes);

// TThreadShare: the threads of a run, shared by the pages in flight. Each
// page has its own (PerPage); the workers that found no page left to take
// are idle, and their threads go to the pages still in flight, so that the
// last pages of a batch are not left to one thread each while the others
// wait. RunPages keeps the counts.
struct TThreadShare {
  unsigned Total = 1;    // threads of the run
  unsigned PerPage = 1;  // each page's own
  std::atomic<unsigned> Busy{0};
  std::atomic<unsigned> Idle{0};
};

// ThreadsNow: the threads a page in flight may use for its next stage: its
// own and an equal share of the idle workers', at most the run's. The bytes
// a page is written with never depend on it.
unsigned ThreadsNow(const TThreadShare& share);

// What became of one page: done (whatever its report says), or out of
// memory while other pages were in flight, to be tried again alone.
enum class TPageOutcome { Done, RetryAlone };

// TPageWork: processes page `page` on worker `worker` (0 to threads - 1),
// appending its report lines to `lines`; `alone` says no other page is in
// flight. It may call `report` once its lines are complete (holding stops:
// see HoldStops), so that they are recorded before anything else happens;
// otherwise they are recorded when it returns.
using TPageWork = std::function<TPageOutcome(std::size_t page, unsigned worker, bool alone,
                                             std::vector<std::string>& lines,
                                             const std::function<void()>& report)>;

// RunPages: runs `work` on pages 0 to count - 1 with `threads` workers (one:
// in this thread, in order), then the pages given back, one at a time, and
// reports each page's lines (ReportEntry) in page order. An exception from
// `work` stops the taking of new pages and is thrown again once the workers
// have stopped. Counts the pages in flight and the idle workers in `share`.
void RunPages(std::size_t count, unsigned threads, const TPageWork& work, TThreadShare& share);
