// The batch driver: every "*.tif" entry of the current directory through the
// fixed pipeline, with one report line per stage.
#pragma once

// RunBatch: sets the terminal title, prints the banner, then reads, flattens
// and rewrites each matching entry in turn, reporting a read or write error
// for an entry and going on with the next. Returns the exit code, 0.
int RunBatch();
