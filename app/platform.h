// What the operating system gives the driver: the terminal title, the
// entries of folders, a millisecond clock, and the last word when the
// process faults.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// PrepareOutput: standard output and error pass bytes through as they are
// written (the program ends its lines in CR LF itself), and standard input,
// output and error are open, on the null device where they were closed, so
// that no file the run opens can be one that messages are written to.
// First thing a run does, before anything is opened.
void PrepareOutput();

// True when standard output, or standard error, is a terminal.
bool StdoutIsTerminal();
bool StderrIsTerminal();

// WriteError: `size` bytes to standard error, at once, without buffering;
// safe in a signal handler. A failure to write is ignored.
void WriteError(const char* data, std::size_t size);

// WriteSomeOutput: writes to standard output once, without buffering, at
// most `size` bytes (and at most 1 GiB); returns how many were written, 0
// or less when none could be. Safe in a signal handler.
long WriteSomeOutput(const char* data, std::size_t size);

// OpenForAppending: opens the file `path` (made where there is none) for
// writes that always go to its end; a handle for AppendBytes, or -1 with
// `error` set to the system's reason. Never one of the standard streams'.
int OpenForAppending(const std::string& path, std::string& error);

// AppendBytes: all `size` bytes to the end of the file `handle`, in one
// write where the system takes them so. False when they could not all be.
bool AppendBytes(int handle, const char* data, std::size_t size);

// SetTerminalTitle: names the terminal window, only when standard output is
// a terminal; nothing is ever written into a pipe or a file.
void SetTerminalTitle(const char* title);

// NameMatchesTif: whether `name` matches "*.tif" or "*.tiff" without regard
// to the letter case of the ending (ASCII only).
bool NameMatchesTif(const std::string& name);

// TFolderEntry: an entry of a folder: its name, and whether it is a folder
// itself (not a link to one).
struct TFolderEntry {
  std::string Name;
  bool Folder = false;
};

// ListFolder: the entries of `folder` ("." the current one), "." and ".."
// left out, in the order the folder lists them, dot files, links and other
// non-regular entries included. The list is complete before it is returned,
// so files the run creates later never appear in it. False when the folder
// cannot be listed.
bool ListFolder(const std::string& folder, std::vector<TFolderEntry>& entries);

// PathKind: what `path` leads to, links followed: 1 a folder, 0 anything
// else that exists, -1 nothing that can be reached.
int PathKind(const std::string& path);

// MakeFolders: makes the folder `path` and every folder on the way to it
// that is missing. False when it cannot.
bool MakeFolders(const std::string& path);

// FileKey: text that is the same for two paths exactly when they lead to
// the same file (links followed); empty when it cannot be known.
std::string FileKey(const std::string& path);

// NowMs: a monotonic clock in whole milliseconds; differences are durations
// and never negative.
std::uint64_t NowMs();

// AvailableCpus: the number of CPUs this process may run on: its affinity
// mask, lowered to a cgroup's CPU quota where one is set; at least 1.
unsigned AvailableCpus();

// UsableMemory: the bytes this process may still allocate: the least of
// what the system reports available, what the memory limits of the
// process's control groups leave (v1 or v2, its own group's and those above)
// and what the address-space limit leaves, where those are set.
std::uint64_t UsableMemory();

// InstallStopHandler: on SIGINT, SIGTERM or SIGHUP, calls `beforeExit`
// (which must be safe in a signal handler), writes "valdrane: stopped by
// SIGTERM" (or the signal's name) and CRLF to standard error, and ends the
// process by that signal, as if it had not been caught.
void InstallStopHandler(void (*beforeExit)());

// InstallFaultHandler: on an access fault, bus error, illegal instruction,
// floating-point fault or abort, calls `beforeExit` (which must be safe in a signal
// handler), writes a message naming the fault to standard error, ending in
// CRLF, and exits with code 1. Writes to a closed pipe are made to fail
// instead of ending the process.
void InstallFaultHandler(void (*beforeExit)());
