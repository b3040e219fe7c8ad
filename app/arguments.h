// What the tool is asked to do: the command line (options, then the paths
// to work on, the current folder by default; --help and --version) and the
// environment.
#pragma once

#include <string>
#include <vector>

// TArguments: what the command line asks for.
struct TArguments {
  unsigned Threads = 0;            // -j N or --threads N; 0 when not given
  bool Recursive = false;          // -r or --recursive
  bool Paper = false;              // -p or --paper: the correction against the paper
  std::string Output;              // -o DIR or --output DIR; empty: in place
  bool Force = false;              // --force: redo what this tool made already
  std::string Log;                 // --log FILE or --log=FILE; empty: none
  bool Png = false;                // --png: folders stand for their PNG files too
  bool Jpeg = false;               // --jpeg: and for their JPEG files
  std::vector<std::string> Paths;  // the folders and pages given, in order
};

// HandleArguments: reads the command line into `asked` and returns -1, to
// run the batch: -j N, -jN, --threads N, --threads=N; -r, --recursive;
// -p, --paper;
// -o DIR, --output DIR, --output=DIR; --force; --log FILE, --log=FILE;
// --png; --jpeg;
// every other argument, and all after "--", a path. For --help (or -h)
// alone prints the usage on standard output and returns 0; for --version
// alone prints "valdrane " and the version and returns 0; for an option it
// does not take (a second -o, --log or --force among them), --help or --version
// beside other arguments, a number of threads that is not a whole number from
// 1 to 4096, prints one line naming it on standard
// error and returns 2. Opens no file.
int HandleArguments(int argc, char** argv, TArguments& asked);

// ThreadsAsked: the number of threads to run on: the command line's when
// given, else VALDRANE_THREADS when set, else `available`. Returns -1 with
// `threads` set; for a VALDRANE_THREADS that is not a whole number from 1
// to 4096, prints one line naming it on standard error and returns 2.
int ThreadsAsked(unsigned available, const TArguments& asked, unsigned& threads);
