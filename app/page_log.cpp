#include "page_log.h"

#include <cstdio>
#include <string_view>
#include <utility>

#include "platform.h"
#include "report.h"

namespace {

// The length of the well-formed UTF-8 sequence at the start of `text`, or 0
// (overlong forms, surrogates and code points past U+10FFFF are not).
std::size_t Utf8Length(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return 1;
  const std::size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                             : lead >= 0xE0 && lead <= 0xEF ? 3
                             : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                            : 0;
  if (length == 0 || text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
  }
  const unsigned char second = byte(1);
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
      (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F)) {
    return 0;
  }
  return length;
}

void AddString(std::string& json, std::string_view text) {
  json += '"';
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    const std::size_t length = Utf8Length(text.substr(i));
    char escape[8];
    if (byte == '"' || byte == '\\') {
      json += '\\';
      json += static_cast<char>(byte);
    } else if (byte < 0x20 || length == 0) {
      std::snprintf(escape, sizeof escape, "\\u%04X", length == 0 ? 0xDC00u + byte : byte);
      json += escape;
    } else {
      json.append(text.substr(i, length));
    }
    i += length == 0 ? 1 : length;
  }
  json += '"';
}

void AddStringOrNull(std::string& json, std::string_view text) {
  if (text.empty()) {
    json += "null";
  } else {
    AddString(json, text);
  }
}

// A stage line's label and milliseconds: lower-case letters (and the
// space of "substract "), a space, then seconds with three decimals.
bool StageOf(std::string_view line, std::string& label, std::uint64_t& ms) {
  const std::size_t space = line.rfind(' ');
  if (space == std::string_view::npos || space == 0) return false;
  const std::string_view name = line.substr(0, space), time = line.substr(space + 1);
  for (const char c : name) {
    if (c < 'a' || c > 'z') return false;
  }
  const std::size_t dot = time.find('.');
  if (dot == 0 || dot == std::string_view::npos || time.size() != dot + 4) return false;
  ms = 0;
  for (const char c : time) {
    if (c == '.') continue;
    if (c < '0' || c > '9') return false;
    ms = ms * 10 + static_cast<std::uint64_t>(c - '0');
  }
  label = name;
  return true;
}

}  // namespace

std::string LogLine(const TLogEntry& entry) {
  static constexpr const char* Outcomes[] = {"flattened", "read error", "write error", "skipped",
                                             "copied"};
  const TEntryOutcome outcome =
      entry.Lines.empty() ? TEntryOutcome::ReadError : OutcomeOf(entry.Lines.back());
  std::string json = "{\"path\":";
  AddString(json, entry.Path);
  json += ",\"outcome\":\"";
  json += Outcomes[static_cast<int>(outcome)];
  json += "\",\"correction\":\"";
  json += entry.Correction;
  json += "\",\"output\":";
  AddStringOrNull(json, entry.Output);
  json += ",\"refusal\":";
  AddStringOrNull(json, RefusalLabel(entry.Why.Kind));
  json += ",\"reason\":";
  AddStringOrNull(json, entry.Why.Text);
  json += ",\"note\":";
  AddStringOrNull(json, entry.Note);
  // Each stage summed over the pages; "total" is the file's, the last one.
  std::vector<std::pair<std::string, std::uint64_t>> stages;
  std::string label;
  std::uint64_t ms = 0, total = 0;
  bool totalled = false;
  // The last line names the file (or says how it ended), whatever it holds.
  for (std::size_t line = 0; line + 1 < entry.Lines.size(); ++line) {
    if (!StageOf(entry.Lines[line], label, ms)) continue;
    if (label == "total") {
      total = ms;
      totalled = true;
      continue;
    }
    std::size_t k = 0;
    while (k < stages.size() && stages[k].first != label) ++k;
    if (k == stages.size()) stages.emplace_back(label, 0);
    stages[k].second += ms;
  }
  json += ",\"stages\":{";
  for (std::size_t k = 0; k < stages.size(); ++k) {
    if (k > 0) json += ',';
    AddString(json, stages[k].first);
    json += ':' + FormatSeconds(stages[k].second);
  }
  json += "},\"seconds\":";
  json += totalled ? FormatSeconds(total) : "null";
  json += "}\n";
  return json;
}

bool OpenLog(TLog& log, const std::string& path, std::string& error) {
  log.Handle = OpenForAppending(path, error);
  return log.Handle >= 0;
}

void WriteLog(TLog& log, const TLogEntry& entry) {
  if (log.Handle < 0) return;
  const std::string line = LogLine(entry);
  const std::lock_guard<std::mutex> hold(log.Lock);
  if (!AppendBytes(log.Handle, line.data(), line.size()) && !log.Failed) {
    std::fputs("valdrane: the log cannot be written to; its lines are lost\r\n", stderr);
    log.Failed = true;
  }
}
