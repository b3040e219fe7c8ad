// Progress on a terminal: one line on standard error, rewritten in place
// as files are done, removed at the end. Nothing at all when standard
// error is not a terminal: the report on standard output is untouched.
#pragma once

#include <cstddef>

// ProgressStart: a run of `total` files begins; shows the line when
// standard error is a terminal.
void ProgressStart(std::size_t total);

// ProgressStep: one more file is done: files done of the total, files per
// second so far, and the time left at that rate. Thread-safe.
void ProgressStep();

// ProgressEnd: removes the line. Safe in a signal handler (a stop clears
// the line before its own message).
void ProgressEnd();
