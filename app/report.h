// The report on standard output: one line per stage, file and error, each
// ending in CRLF.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// ReportInit: on a terminal every line is written as soon as it is complete;
// otherwise lines are gathered and written in large blocks.
void ReportInit(bool lineByLine);

// ReportLine: `text` followed by CR LF. A failure to write is ignored.
void ReportLine(std::string_view text);

// ReportFlush: writes out what is gathered. Safe in a signal handler, even
// one that interrupts ReportLine or ReportFlush: a line is written out only
// once all of it is in place.
void ReportFlush();

// PrintableName: `name` as the report shows it: control characters (bytes
// 0x00 to 0x1F and 0x7F, and C1 controls encoded in UTF-8) as \xHH, every
// other byte as it is, so a name cannot move the cursor, set a terminal's
// title or start a line of its own.
std::string PrintableName(const std::string& name);

// FormatSeconds: a duration of `ms` milliseconds in seconds with exactly
// three decimals and a full stop: 16 -> "0.016", 12500 -> "12.500".
std::string FormatSeconds(std::uint64_t ms);
