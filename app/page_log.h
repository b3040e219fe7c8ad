// A log a program can read: one JSON object a line (JSON Lines) for each
// file of a run, added to the log's file as the file is done.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "refusal.h"

// TLog: the log's file, open for appending (Handle -1: no log), the lock
// its writers take, and whether a line was lost.
struct TLog {
  int Handle = -1;
  std::mutex Lock;
  bool Failed = false;
};

// TLogEntry: what the log says of one file.
struct TLogEntry {
  std::string Path;                // the file as the run named it
  const char* Correction = "";     // "default" or "paper"
  std::string Output;              // the file that holds its output; empty: none
  TRefusal Why;                    // why it was left as it was, where it was
  std::string Note;                // what standard error said of it besides
  std::vector<std::string> Lines;  // its report lines
};

// LogLine: the entry as one JSON object ending in "\n", its members in this
// order: "path", "outcome" ("flattened", "skipped", "copied", "read error"
// or "write error", from the last report line), "correction", "output"
// (null where none), "refusal" (the summary's name for the kind, or null),
// "reason" (the line standard error printed, or null), "note" (or null),
// "stages" (each stage's seconds, summed over the file's pages, in the
// order they first ran) and "seconds" (the file's total, or null). Text is
// UTF-8 as it comes; a byte that is not (a name in another encoding) is
// written as the lone surrogate U+DC00 plus the byte, as Python's
// "surrogateescape" reads it back to the same byte.
std::string LogLine(const TLogEntry& entry);

// OpenLog: opens `path` for appending as the log (made where there is
// none). False, with the system's reason in `error`, when it cannot be.
bool OpenLog(TLog& log, const std::string& path, std::string& error);

// WriteLog: adds the entry's line to the log at once, whole, in one write;
// nothing without a log. Thread-safe. A line that cannot be written is
// lost, with one line on standard error for the first.
void WriteLog(TLog& log, const TLogEntry& entry);
