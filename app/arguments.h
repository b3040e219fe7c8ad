// What the tool is asked to do: the command line (the tool works on the
// current folder; it answers --help and --version and takes the number of
// threads) and the environment.
#pragma once

// TArguments: what the command line asks for.
struct TArguments {
  unsigned Threads = 0;  // -j N or --threads N; 0 when not given
};

// HandleArguments: reads the command line into `asked` and returns -1, to
// run the batch. For --help (or -h) prints the usage on standard output and
// returns 0; for --version prints "valdrane " and the version and returns
// 0; for anything else, or a number of threads that is not a whole number
// from 1 to 4096, prints one line naming it on standard error and returns 2.
// Opens no file.
int HandleArguments(int argc, char** argv, TArguments& asked);

// ThreadsAsked: the number of threads to run on: the command line's when
// given, else VALDRANE_THREADS when set, else `available`. Returns -1 with
// `threads` set; for a VALDRANE_THREADS that is not a whole number from 1
// to 4096, prints one line naming it on standard error and returns 2.
int ThreadsAsked(unsigned available, const TArguments& asked, unsigned& threads);
