// The report on standard output: one line per stage, file and error, each
// ending in CRLF.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "refusal.h"

// ReportInit: on a terminal every line is written as soon as it is complete;
// otherwise lines are gathered and written in large blocks.
void ReportInit(bool lineByLine);

// ReportLine: `text` followed by CR LF. A failure to write is ignored.
void ReportLine(std::string_view text);

// ReportFlush: writes out what is gathered. Safe in a signal handler, even
// one that interrupts ReportLine or ReportFlush: a line is written out only
// once all of it is in place.
void ReportFlush();

// ReportEntries: the report of a run of `count` entries (files), each
// reported whole, in listing order: see ReportEntry.
void ReportEntries(std::size_t count);

// ReportEntry: entry `index` is finished, with `lines`. They are reported
// now, followed by those of the finished entries listed after it, once
// every entry listed before it is finished; until then they are set aside.
// Thread-safe; at most once an entry.
void ReportEntry(std::size_t index, const std::vector<std::string>& lines);

// ReportStopped: for a run that ends early: ReportFlush, then the lines of
// every entry set aside, in listing order, so that every entry that
// finished is reported. Safe in a signal handler, with no thread inside
// ReportEntry (see HoldStops).
void ReportStopped();

// ReportRefusal: why the file or page `name` (as the report shows it) was
// left as it was, on standard error at once, one line: "valdrane: NAME:
// damaged strip 12". Counted by its kind for ReportSummary. Thread-safe.
void ReportRefusal(const std::string& name, const TRefusal& why);

// ReportNote: a note about the page `name` that was done all the same, on
// standard error at once, one line: "valdrane: NAME: TEXT". Thread-safe.
void ReportNote(const std::string& name, const std::string& text);

// ReportSummary: the run's summary on standard error, from the entries
// finished so far, each counted by its report's last line: "valdrane: 9
// flattened, 2 read errors, 0 write errors, 1 skipped", then ", N copied as
// they are" where there are any; then, where files were refused, one more
// line counting each kind: "valdrane: refused: 1 not a TIFF file, 1
// damaged". Returns how many of the files ended in an error. Safe in a
// signal handler.
std::size_t ReportSummary();

// TEntryOutcome: how a file ended, as its last report line says: "image
// NAME read error", " write error", " skipped", " copied as it is", or
// anything else (its name after its stages): flattened.
enum class TEntryOutcome { Flattened, ReadError, WriteError, Skipped, Copied };

// OutcomeOf: the outcome the entry's `last` line says. Safe in a signal
// handler.
TEntryOutcome OutcomeOf(std::string_view last);

// ReportWhatWasDone: for a run that ends early: one line on standard error
// saying how many of its files were done (flattened, skipped, copied or
// reported as errors) and that the others were left as they were:
// "valdrane: 3 of 12 files done, the other 9 left as they were". Nothing
// before the files were begun. Safe in a signal handler.
void ReportWhatWasDone();

// PrintableName: `name` as the report shows it: control characters (bytes
// 0x00 to 0x1F and 0x7F, and C1 controls encoded in UTF-8) as \xHH, every
// other byte as it is, so a name cannot move the cursor, set a terminal's
// title or start a line of its own.
std::string PrintableName(const std::string& name);

// FormatSeconds: a duration of `ms` milliseconds in seconds with exactly
// three decimals and a full stop: 16 -> "0.016", 12500 -> "12.500".
std::string FormatSeconds(std::uint64_t ms);

// FormatBytes: a size as people read it, in decimal units with at most one
// decimal: 950 -> "950 bytes", 160000000 -> "160 MB", 3140000000 -> "3.1 GB".
std::string FormatBytes(std::uint64_t bytes);
