#include "report.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

// A fixed buffer, so that flushing it needs nothing but write(2) and can be
// done from a signal handler.
char Buffer[64 * 1024];
std::size_t Used = 0;
bool LineByLine = false;

void WriteOut(const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = write(STDOUT_FILENO, data, size);
    if (written <= 0) return;  // a report that cannot be written is dropped
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

void Append(std::string_view text) {
  if (Used + text.size() > sizeof Buffer) ReportFlush();
  if (text.size() > sizeof Buffer) {
    WriteOut(text.data(), text.size());
    return;
  }
  std::memcpy(Buffer + Used, text.data(), text.size());
  Used += text.size();
}

}  // namespace

void ReportInit(bool lineByLine) { LineByLine = lineByLine; }

void ReportLine(std::string_view text) {
  Append(text);
  Append("\r\n");
  if (LineByLine) ReportFlush();
}

void ReportFlush() {
  const std::size_t size = Used;
  Used = 0;
  WriteOut(Buffer, size);
}

std::string FormatSeconds(std::uint64_t ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%llu.%03u", static_cast<unsigned long long>(ms / 1000),
                static_cast<unsigned>(ms % 1000));
  return text;
}
