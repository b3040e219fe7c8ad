// The command line. The tool works on the current folder and takes no
// options; it only answers --help and --version.
#pragma once

// HandleArguments: for no arguments returns -1, to run the batch. For
// --help (or -h) prints the usage on standard output and returns 0; for
// --version prints "valdrane " and the version and returns 0; for anything
// else prints one line naming it on standard error and returns 2. Opens no
// file.
int HandleArguments(int argc, char** argv);
