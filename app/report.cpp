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
std::atomic<bool> Begun{false};  // ReportEntries has set the entries up

// How many files were refused, by kind.
std::atomic<std::size_t> Refused[RefusalKinds] = {};

// A line for standard error put together with no library call that could
// take a lock, so that a signal handler may write one.
struct TLine {
  char Bytes[512];
  std::size_t At = 0;
  TLine& Text(const char* part) {
    while (*part != '\0' && At < sizeof Bytes) Bytes[At++] = *part++;
    return *this;
  }
  TLine& Number(std::size_t n) {
    char digits[24];
    std::size_t count = 0;
    do digits[count++] = static_cast<char>('0' + n % 10);
    while ((n /= 10) != 0);
    while (count > 0 && At < sizeof Bytes) Bytes[At++] = digits[--count];
    return *this;
  }
  void Write() const { WriteError(Bytes, At); }
};

}  // namespace

void ReportInit(bool lineByLine) { LineByLine = lineByLine; }

void ReportEntries(std::size_t count) {
  Texts.assign(count, {});
  Finished = std::make_unique<std::atomic<bool>[]>(count);
  Reported = 0;
  Begun = true;
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

void ReportNote(const std::string& name, const std::string& text) {
  const std::string line = "valdrane: " + name + ": " + text + "\r\n";
  WriteError(line.data(), line.size());
}

void ReportRefusal(const std::string& name, const TRefusal& why) {
  if (why.Kind == TRefusalKind::None) return;
  ++Refused[static_cast<std::size_t>(why.Kind)];
  ReportNote(name, why.Text);
}

std::size_t ReportSummary() {
  // How each finished entry ended, by its last line.
  if (!Begun) return 0;
  std::size_t counts[5] = {};  // flattened, read errors, write errors, skipped, copied
  const std::size_t all = Texts.size();
  for (std::size_t k = 0; k < all; ++k) {
    const std::string_view text = Texts[k];
    if (!Finished[k] || text.size() < 2) continue;
    const std::size_t start = text.rfind('\n', text.size() - 3) + 1;
    ++counts[static_cast<int>(OutcomeOf(text.substr(start, text.size() - start - 2)))];
  }
  TLine line;
  line.Text("valdrane: ").Number(counts[0]).Text(" flattened, ").Number(counts[1]);
  line.Text(" read errors, ").Number(counts[2]).Text(" write errors, ").Number(counts[3]);
  line.Text(" skipped");
  // Files copied as they are, which only an output folder has, are counted
  // where there are any.
  if (counts[4] > 0) line.Text(", ").Number(counts[4]).Text(" copied as they are");
  line.Text("\r\n").Write();
  TLine kinds;
  kinds.Text("valdrane: refused: ");
  const char* comma = "";
  for (std::size_t kind = 1; kind < RefusalKinds; ++kind) {
    if (Refused[kind] == 0) continue;
    kinds.Text(comma).Number(Refused[kind]).Text(" ");
    kinds.Text(RefusalLabel(static_cast<TRefusalKind>(kind)));
    comma = ", ";
  }
  if (*comma != '\0') kinds.Text("\r\n").Write();
  return counts[1] + counts[2];
}

TEntryOutcome OutcomeOf(std::string_view last) {
  const auto ends = [&](std::string_view end) {
    return last.substr(0, 6) == "image " && last.size() >= end.size() &&
           last.substr(last.size() - end.size()) == end;
  };
  return ends(" read error")    ? TEntryOutcome::ReadError
         : ends(" write error") ? TEntryOutcome::WriteError
         : ends(" skipped")     ? TEntryOutcome::Skipped
         : ends(" as it is")    ? TEntryOutcome::Copied
                                : TEntryOutcome::Flattened;
}

void ReportWhatWasDone() {
  const std::size_t all = Finished != nullptr ? Texts.size() : 0;
  if (all == 0) return;
  std::size_t done = 0;
  for (std::size_t k = 0; k < all; ++k) done += Finished[k] ? 1 : 0;
  TLine line;
  line.Text("valdrane: ").Number(done).Text(" of ").Number(all).Text(" files done, the other ");
  line.Number(all - done).Text(" left as they were\r\n").Write();
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

std::string FormatBytes(std::uint64_t bytes) {
  constexpr std::uint64_t Units[] = {1000000000, 1000000, 1000};
  constexpr const char* Names[] = {" GB", " MB", " kB"};
  for (std::size_t u = 0; u < 3; ++u) {
    if (bytes < Units[u]) continue;
    // One decimal only below ten units, where it tells.
    const std::uint64_t tenths = bytes / (Units[u] / 10);
    return (tenths < 100 && tenths % 10 != 0
                ? std::to_string(tenths / 10) + "." + std::to_string(tenths % 10)
                : std::to_string((tenths + 5) / 10)) +
           Names[u];
  }
  return std::to_string(bytes) + " bytes";
}

std::string FormatSeconds(std::uint64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%llu.%03u", static_cast<unsigned long long>(ms / 1000),
                static_cast<unsigned>(ms % 1000));
  return text;
}
