// What the tool is asked to do: the command line (the tool works on the
// current folder and takes no options; it only answers --help and
// --version) and the environment.
#pragma once

// HandleArguments: for no arguments returns -1, to run the batch. For
// --help (or -h) prints the usage on standard output and returns 0; for
// --version prints "valdrane " and the version and returns 0; for anything
// else prints one line naming it on standard error and returns 2. Opens no
// file.
int HandleArguments(int argc, char** argv);

// ThreadsAsked: the number of threads to run on: VALDRANE_THREADS when set,
// else `available`. Returns -1 with `threads` set; for a value that is not
// a whole number from 1 to 4096, prints one line naming it on standard
// error and returns 2.
int ThreadsAsked(unsigned available, unsigned& threads);
