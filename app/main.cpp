// valdrane: flattens the background of every "*.tif" page in the current
// directory, or in the paths given, and rewrites each page in place.

#include <cstdio>
#include <exception>
#include <new>

#include "arguments.h"
#include "batch.h"
#include "listing.h"
#include "page_log.h"
#include "platform.h"
#include "progress.h"
#include "report.h"
#include "safe_file.h"

// A fault that nothing else handles ends the run: the report gathered so far
// is written out, what was done, then one message on standard error, and
// exit code 1.
static int Fatal(const char* what) {
  RemoveTemporaryFiles();
  ReportStopped();
  ProgressEnd();
  ReportSummary();
  ReportWhatWasDone();
  std::fprintf(stderr, "valdrane: fatal fault: %s\r\n", what);
  return 1;
}

int main(int argc, char** argv) {
  PrepareOutput();
  TArguments asked;
  const int answered = HandleArguments(argc, argv, asked);
  if (answered >= 0) return answered;
  unsigned threads = 1;
  const int refused = ThreadsAsked(AvailableCpus(), asked, threads);
  if (refused >= 0) return refused;
  TListing listing;
  const std::string unreachable =
      ListRun(asked.Paths, asked.Recursive, asked.Output, listing, {asked.Png, asked.Jpeg});
  if (!unreachable.empty()) {
    std::fprintf(stderr, "%s\r\n", unreachable.c_str());
    return 2;
  }
  // The output folder itself; those inside it are made as pages reach them,
  // never through a link.
  if (!asked.Output.empty() && !MakeFolders(asked.Output)) {
    std::fprintf(stderr, "valdrane: cannot make the folder '%s'\r\n", asked.Output.c_str());
    return 2;
  }
  TLog log;
  std::string why;
  if (!asked.Log.empty() && !OpenLog(log, asked.Log, why)) {
    std::fprintf(stderr, "valdrane: cannot open the log '%s': %s\r\n", asked.Log.c_str(),
                 why.c_str());
    return 2;
  }
  // Each folder the run writes in is locked, then cleared of what killed
  // runs left there.
  for (const TFolderPlace& folder : listing.Folders) {
    if (ClaimFolder(folder) < 0) {
      std::fputs("valdrane: another valdrane is working in this folder\r\n", stderr);
      return 3;
    }
  }
  // A run that is stopped or faults leaves no temporary file and writes out
  // the report of every page done, those finished out of order included.
  const auto beforeExit = [] {
    RemoveTemporaryFiles();
    ReportStopped();
    ProgressEnd();
    ReportSummary();
    ReportWhatWasDone();
  };
  InstallFaultHandler(beforeExit);
  InstallStopHandler(beforeExit);
  ReportInit(StdoutIsTerminal());
  // A subfolder that cannot be listed leaves the run to go on with the rest,
  // and its exit code says that something was left out.
  for (const std::string& message : listing.Unlisted)
    std::fprintf(stderr, "%s\r\n", message.c_str());
  try {
    const int code = RunBatch(threads, listing, asked.Force,
                              asked.Paper ? TCorrection::Paper : TCorrection::Background, log);
    ReportFlush();
    return code == 0 && !listing.Unlisted.empty() ? 2 : code;
  } catch (const std::bad_alloc&) {
    return Fatal("out of memory");
  } catch (const std::exception& error) {
    return Fatal(error.what());
  } catch (...) {
    return Fatal("unknown exception");
  }
}
