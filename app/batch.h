// The batch driver: every page of the listing through the fixed pipeline,
// with one report line per stage.
#pragma once

#include "listing.h"
#include "page_log.h"

// RunBatch: sets the terminal title, prints the banner, then reads,
// flattens and rewrites each page of the listing, on `threads` threads (at least one), reporting a
// read or write error for an entry (running out of memory on it included) and going on with the
// others. Each entry's lines are printed together, in listing order. Expects the folders to
// be claimed (ClaimFolder). Ends with one line on standard error: the files flattened, read errors,
// write errors, and the files skipped. Returns the exit code, 0. In place, a page that this tool
// made, the same way, and that has not changed since is skipped (one line "image NAME skipped")
// unless `force`. With the listing's outputs, each page goes to its output instead, the page only
// read; one whose output this tool made from it as it is now is skipped unless `force`, and one
// whose output an earlier page takes, or whose output is a page, is a write error. A TIFF file of
// pages none of which it flattens goes to its output as it is (one line "image NAME copied as it
// is"; the summary then adds how many were).
// With TCorrection::Paper each page is divided by the paper it is printed
// on instead (its stages "down", "margin", "paper", "div"), and the record
// of a file made says so: one made by the other correction is not current.
enum class TCorrection { Background, Paper };
// With a log (see OpenLog), each file's line is added to it as the file is
// done, before its report lines are.
int RunBatch(unsigned threads, const TListing& listing, bool force,
             TCorrection correction, TLog& log);
