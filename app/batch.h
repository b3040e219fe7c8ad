// The batch driver: every "*.tif" entry of the current directory through the
// fixed pipeline, with one report line per stage.
#pragma once

// RunBatch: sets the terminal title, prints the banner, removes the
// temporary files killed runs left, then reads, flattens and rewrites each
// matching entry, on `threads` threads (at least one), reporting a read or
// write error for an entry (running out of memory on it included) and going
// on with the others. Each entry's lines are printed together, in listing
// order. Expects the folder's lock to be held. Ends with one line on
// standard error: the files flattened, read errors, write errors, and the
// files skipped. Returns the exit code, 0.
int RunBatch(unsigned threads);
