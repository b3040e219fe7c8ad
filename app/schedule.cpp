#include "schedule.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <system_error>
#include <thread>

#include "report.h"

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

// The pages' reports, printed in order as pages finish.
struct TReports {
  std::mutex Lock;
  std::vector<std::vector<std::string>> Lines;
  std::vector<bool> Done;
  std::size_t Printed = 0;
};

void Finish(TReports& reports, std::size_t page, std::vector<std::string>& lines) {
  const std::lock_guard<std::mutex> lock(reports.Lock);
  reports.Lines[page] = std::move(lines);
  reports.Done[page] = true;
  for (; reports.Printed < reports.Done.size() && reports.Done[reports.Printed];
       ++reports.Printed) {
    for (const std::string& line : reports.Lines[reports.Printed]) ReportLine(line);
    reports.Lines[reports.Printed].clear();
  }
}

}  // namespace

void RunPages(std::size_t count, unsigned threads, const TPageWork& work) {
  TReports reports;
  reports.Lines.resize(count);
  reports.Done.assign(count, false);
  std::atomic<std::size_t> next{0};
  std::mutex failureLock;
  std::exception_ptr failure;
  std::vector<std::size_t> givenBack;

  const auto worker = [&](unsigned index) {
    try {
      for (std::size_t page; (page = next++) < count;) {
        std::vector<std::string> lines;
        if (work(page, index, threads == 1, lines) == TPageOutcome::RetryAlone) {
          const std::lock_guard<std::mutex> lock(failureLock);
          givenBack.push_back(page);
        } else {
          Finish(reports, page, lines);
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
    std::vector<std::string> lines;
    work(page, 0, true, lines);
    Finish(reports, page, lines);
  }
}
