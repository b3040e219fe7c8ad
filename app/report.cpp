#include "report.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>

#include "platform.h"

namespace {

// A fixed buffer, so that flushing it needs nothing but a write and can be
// done from a signal handler. Bytes up to Used are complete lines; bytes
// before Sent are written out. Used moves only after its bytes are in place.
char Buffer[64 * 1024];
std::atomic<std::size_t> Used{0};
std::atomic<std::size_t> Sent{0};
bool LineByLine = false;

void WriteOut(const char* data, std::size_t size) {
  while (size > 0) {
    const auto written = WriteSomeOutput(data, size);
    if (written <= 0) return;  // a report that cannot be written is dropped
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

void Append(std::string_view line) {
  if (Used + line.size() > sizeof Buffer) ReportFlush();
  if (line.size() > sizeof Buffer) {
    WriteOut(line.data(), line.size());
    return;
  }
  std::memcpy(Buffer + Used, line.data(), line.size());
  Used += line.size();
}

// The entries of the run: the text of each finished one (its lines, each
// ending in CR LF), set in place before its flag; the first not yet
// reported. A text is never changed once its flag is set, so a signal
// handler may read it.
std::mutex EntriesLock;
std::vector<std::string> Texts;
std::unique_ptr<std::atomic<bool>[]> Finished;
std::atomic<std::size_t> Reported{0};

}  // namespace

void ReportInit(bool lineByLine) { LineByLine = lineByLine; }

void ReportEntries(std::size_t count) {
  Texts.assign(count, {});
  Finished = std::make_unique<std::atomic<bool>[]>(count);
  Reported = 0;
}

void ReportEntry(std::size_t index, const std::vector<std::string>& lines) {
  const std::lock_guard<std::mutex> hold(EntriesLock);
  for (const std::string& line : lines) Texts[index] += line + "\r\n";
  Finished[index] = true;
  for (std::size_t next = Reported; next < Texts.size() && Finished[next]; next = ++Reported) {
    Append(Texts[next]);
    if (LineByLine) ReportFlush();
  }
}

void ReportStopped() {
  ReportFlush();
  for (std::size_t next = Reported; next < Texts.size(); ++next) {
    if (Finished != nullptr && Finished[next]) WriteOut(Texts[next].data(), Texts[next].size());
  }
}

void ReportWhatWasDone() {
  const std::size_t all = Finished != nullptr ? Texts.size() : 0;
  if (all == 0) return;
  std::size_t done = 0;
  for (std::size_t k = 0; k < all; ++k) done += Finished[k] ? 1 : 0;
  // Written with no library call that could take a lock.
  char line[128];
  std::size_t at = 0;
  const auto text = [&](const char* part) {
    while (*part != '\0') line[at++] = *part++;
  };
  const auto number = [&](std::size_t n) {
    char digits[24];
    std::size_t count = 0;
    do digits[count++] = static_cast<char>('0' + n % 10);
    while ((n /= 10) != 0);
    while (count > 0) line[at++] = digits[--count];
  };
  text("valdrane: ");
  number(done);
  text(" of ");
  number(all);
  text(" files done, the other ");
  number(all - done);
  text(" left as they were\r\n");
  WriteError(line, at);
}

void ReportLine(std::string_view text) {
  std::string line(text);
  line += "\r\n";
  Append(line);
  if (LineByLine) ReportFlush();
}

void ReportFlush() {
  const std::size_t used = Used;
  for (std::size_t sent = Sent; sent < used; sent = Sent) {
    const auto written = WriteSomeOutput(Buffer + sent, used - sent);
    if (written <= 0) break;  // a report that cannot be written is dropped
    Sent = sent + static_cast<std::size_t>(written);
  }
  // Start over; a handler that interrupts this sees nothing left to write.
  Used = 0;
  Sent = 0;
}

std::string PrintableName(const std::string& name) {
  std::string shown;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto byte = static_cast<unsigned char>(name[i]);
    const bool c1 = byte == 0xC2 && i + 1 < name.size() &&
                    static_cast<unsigned char>(name[i + 1]) >= 0x80 &&
                    static_cast<unsigned char>(name[i + 1]) <= 0x9F;
    if (byte >= 0x20 && byte != 0x7F && !c1) {
      shown += name[i];
      continue;
    }
    for (std::size_t k = i; k <= (c1 ? i + 1 : i); ++k) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(name[k]));
      shown += hex;
    }
    i += c1 ? 1 : 0;
  }
  return shown;
}

std::string FormatSeconds(std::uint64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%llu.%03u", static_cast<unsigned long long>(ms / 1000),
                static_cast<unsigned>(ms % 1000));
  return text;
}
