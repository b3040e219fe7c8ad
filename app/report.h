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

// ReportFlush: writes out what is gathered. Safe in a signal handler.
void ReportFlush();

// FormatSeconds: a duration of `ms` milliseconds in seconds with exactly
// three decimals and a full stop: 16 -> "0.016", 12500 -> "12.500".
std::string FormatSeconds(std::uint64_t ms);
