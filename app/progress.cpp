#include "progress.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform.h"

namespace {

std::mutex Lock;
std::size_t Total = 0, Done = 0;
std::uint64_t Start = 0;
// The length of the line shown, 0 for none: what a new line must cover.
std::atomic<std::size_t> Shown{0};
char Blank[256];

void Show(const std::string& text) {
  // Carriage return, the text, and blanks over what the last line had
  // beyond it; then back, so that the cursor waits at the line's start.
  const std::size_t covered = Shown.load();
  std::string line = "\r" + text;
  if (covered > text.size()) line.append(covered - text.size(), ' ');
  line += '\r';
  WriteError(line.data(), line.size());
  Shown = text.size();
}

}  // namespace

void ProgressStart(std::size_t total) {
  if (!StderrIsTerminal()) return;
  const std::lock_guard<std::mutex> hold(Lock);
  Total = total;
  Done = 0;
  Start = NowMs();
  Show("valdrane: 0 of " + std::to_string(total) + " files");
}

void ProgressStep() {
  const std::lock_guard<std::mutex> hold(Lock);
  if (Total == 0) return;
  ++Done;
  const double seconds = static_cast<double>(NowMs() - Start) / 1000;
  const double rate = seconds > 0 ? static_cast<double>(Done) / seconds : 0;
  const auto left =
      rate > 0 ? static_cast<std::uint64_t>(static_cast<double>(Total - Done) / rate + 0.5) : 0;
  char text[160];
  std::snprintf(text, sizeof text, "valdrane: %zu of %zu files, %.1f files/s, %llum%02llus left",
                Done, Total, rate, static_cast<unsigned long long>(left / 60),
                static_cast<unsigned long long>(left % 60));
  Show(text);
}

void ProgressEnd() {
  // Blanks over the line, without allocating: a signal handler may call this.
  std::size_t covered = Shown.exchange(0);
  if (covered == 0) return;
  for (char& c : Blank) c = ' ';
  WriteError("\r", 1);
  for (; covered > 0; covered -= std::min(covered, sizeof Blank)) {
    WriteError(Blank, std::min(covered, sizeof Blank));
  }
  WriteError("\r", 1);
}
