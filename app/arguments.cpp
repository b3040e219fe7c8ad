#include "arguments.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* const Usage =
    "Usage: valdrane [--help | --version]\r\n"
    "\r\n"
    "Flattens scanned pages in place. Started in a folder, valdrane rewrites\r\n"
    "every file of that folder whose name ends in .tif (any letter case):\r\n"
    "the paper's shading and dark scanner margins turn white, text and\r\n"
    "pictures stay. There is no undo: work on a copy.\r\n"
    "\r\n"
    "It takes no options. It works on every CPU it may use; VALDRANE_THREADS=N\r\n"
    "sets the number of threads (1 works through the pages one at a time).\r\n"
    "One run at a time per folder; a second one exits with code 3.\r\n"
    "\r\n"
    "Manual: man valdrane\r\n";

}  // namespace

int HandleArguments(int argc, char** argv) {
  if (argc < 2) return -1;
  const char* argument = argv[1];
  if (argc == 2 && (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0)) {
    std::fputs(Usage, stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argument, "--version") == 0) {
    std::printf("valdrane %s\r\n", VALDRANE_VERSION);
    return 0;
  }
  // Only the first is named: one complaint is enough to stop a mistyped command.
  if (argc > 2 && (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0 ||
                   std::strcmp(argument, "--version") == 0)) {
    argument = argv[2];
  }
  std::fprintf(stderr,
               "valdrane: unexpected argument '%s'; valdrane works on the current folder and takes "
               "no options (see valdrane --help)\r\n",
               argument);
  return 2;
}

int ThreadsAsked(unsigned available, unsigned& threads) {
  const char* asked = std::getenv("VALDRANE_THREADS");
  threads = available;
  if (asked == nullptr) return -1;
  const std::size_t digits = std::strspn(asked, "0123456789");
  const unsigned long value = digits == std::strlen(asked) && digits > 0 && digits < 6
                                  ? std::strtoul(asked, nullptr, 10)
                                  : 0;
  if (value < 1 || value > 4096) {
    std::fprintf(stderr,
                 "valdrane: VALDRANE_THREADS='%s' is not a number of threads from 1 to 4096\r\n",
                 asked);
    return 2;
  }
  threads = static_cast<unsigned>(value);
  return -1;
}
