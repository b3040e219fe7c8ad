#include "schedule.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <system_error>
#include <thread>

#include "report.h"
#include "safe_file.h"

bool TakeMemory(TMemoryBudget& budget, std::uint64_t bytes,
                const std::function<bool(std::uint64_t)>& fitsAlone) {
  std::unique_lock<std::mutex> lock(budget.Lock);
  if (bytes <= budget.Total) {
    budget.Changed.wait(
        lock, [&] { return !budget.WaitingAlone && budget.Used + bytes <= budget.Total; });
  } else {
    // Only one page waits to run alone; the others let it go first.
    budget.Changed.wait(lock, [&] { return !budget.WaitingAlone; });
    budget.WaitingAlone = true;
    budget.Changed.wait(lock, [&] { return budget.Holders == 0; });
    budget.WaitingAlone = false;
    budget.Changed.notify_all();
    if (!fitsAlone(bytes)) return false;
  }
  budget.Used += bytes;
  ++budget.Holders;
  return true;
}

void GiveMemory(TMemoryBudget& budget, std::uint64_t bytes) {
  {
    const std::lock_guard<std::mutex> lock(budget.Lock);
    budget.Used -= bytes;
    --budget.Holders;
  }
  budget.Changed.notify_all();
}

namespace {

// Records a page's lines once. Stops are held meanwhile, by the caller of
// `work` when it reports or here, so that a stop finds them whole or not at
// all (a run that is stopping has its report written out by the stop).
void Record(std::size_t page, const std::vector<std::string>& lines, bool& recorded, bool held) {
  if (recorded) return;
  if (!held) {
    const THeldStops hold;
    if (hold.Held) Record(page, lines, recorded, true);
    return;
  }
  ReportEntry(page, lines);
  recorded = true;
}

}  // namespace

unsigned ThreadsNow(const TThreadShare& share) {
  const unsigned busy = std::max(1u, share.Busy.load());
  return std::min(share.Total, share.PerPage + share.Idle.load() / busy);
}

void RunPages(std::size_t count, unsigned threads, const TPageWork& work, TThreadShare& share) {
  ReportEntries(count);
  std::atomic<std::size_t> next{0};
  std::mutex failureLock;
  std::exception_ptr failure;
  std::vector<std::size_t> givenBack;

  // A worker is busy from taking a page to finishing it, and idle once no
  // page is left to take.
  struct TIdleAtEnd {
    TThreadShare& Share;
    ~TIdleAtEnd() { ++Share.Idle; }
  };
  struct TBusy {
    TThreadShare& Share;
    explicit TBusy(TThreadShare& share) : Share(share) { ++Share.Busy; }
    ~TBusy() { --Share.Busy; }
  };
  const auto worker = [&](unsigned index) {
    const TIdleAtEnd idle{share};
    try {
      for (std::size_t page; (page = next++) < count;) {
        const TBusy busy(share);
        std::vector<std::string> lines;
        bool recorded = false;
        const auto report = [&] { Record(page, lines, recorded, true); };
        if (work(page, index, threads == 1, lines, report) == TPageOutcome::RetryAlone) {
          const std::lock_guard<std::mutex> lock(failureLock);
          givenBack.push_back(page);
        } else {
          Record(page, lines, recorded, false);
        }
      }
    } catch (...) {
      const std::lock_guard<std::mutex> lock(failureLock);
      if (!failure) failure = std::current_exception();
      next = count;  // no more pages are taken
    }
  };
  if (threads <= 1) {
    worker(0);
  } else {
    std::vector<std::thread> pool;
    // A thread the system will not give (an address-space limit, say) is
    // one worker fewer; with none, this thread works alone.
    try {
      for (unsigned i = 0; i < threads; ++i) pool.emplace_back(worker, i);
    } catch (const std::system_error&) {
      if (pool.empty()) worker(0);
    }
    for (std::thread& thread : pool) thread.join();
  }
  if (failure) std::rethrow_exception(failure);

  // Pages that ran out of memory beside others, each alone now, in order.
  std::sort(givenBack.begin(), givenBack.end());
  for (const std::size_t page : givenBack) {
    const TBusy busy(share);
    std::vector<std::string> lines;
    bool recorded = false;
    work(page, 0, true, lines, [&] { Record(page, lines, recorded, true); });
    Record(page, lines, recorded, false);
  }
}
