#include "arguments.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* const Usage =
    "Usage: valdrane [-j N | --threads N]\r\n"
    "       valdrane --help | --version\r\n"
    "\r\n"
    "Flattens scanned pages in place. Started in a folder, valdrane rewrites\r\n"
    "every file of that folder whose name ends in .tif (any letter case):\r\n"
    "the paper's shading and dark scanner margins turn white, text and\r\n"
    "pictures stay. There is no undo: work on a copy.\r\n"
    "\r\n"
    "It works on every CPU it may use; -j N (or VALDRANE_THREADS=N) sets the\r\n"
    "number of threads (1 works through the pages one at a time).\r\n"
    "One run at a time per folder; a second one exits with code 3.\r\n"
    "\r\n"
    "Manual: man valdrane\r\n";

// A number of threads: a whole number from 1 to 4096, else 0.
unsigned ThreadCount(const char* text) {
  const std::size_t digits = std::strspn(text, "0123456789");
  const unsigned long value =
      digits == std::strlen(text) && digits > 0 && digits < 6 ? std::strtoul(text, nullptr, 10) : 0;
  return value <= 4096 ? static_cast<unsigned>(value) : 0;
}

}  // namespace

int HandleArguments(int argc, char** argv, TArguments& asked) {
  // The number of threads, as "-j N", "-jN", "--threads N" or "--threads=N".
  int used = 1;
  for (; used < argc; ++used) {
    const char* option = argv[used];
    const char* value = nullptr;
    if (std::strcmp(option, "-j") == 0 || std::strcmp(option, "--threads") == 0) {
      value = used + 1 < argc ? argv[++used] : "";
    } else if (std::strncmp(option, "-j", 2) == 0) {
      value = option + 2;
    } else if (std::strncmp(option, "--threads=", 10) == 0) {
      value = option + 10;
    } else {
      break;
    }
    asked.Threads = ThreadCount(value);
    if (asked.Threads == 0) {
      std::fprintf(stderr, "valdrane: %s '%s' is not a number of threads from 1 to 4096\r\n",
                   option[1] == 'j' ? "-j" : "--threads", value);
      return 2;
    }
  }
  if (used == argc) return -1;
  argc -= used - 1;
  argv += used - 1;
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
               "no other options (see valdrane --help)\r\n",
               argument);
  return 2;
}

int ThreadsAsked(unsigned available, const TArguments& asked, unsigned& threads) {
  const char* environment = std::getenv("VALDRANE_THREADS");
  threads = asked.Threads != 0 ? asked.Threads : available;
  if (asked.Threads != 0 || environment == nullptr) return -1;
  threads = ThreadCount(environment);
  if (threads == 0) {
    std::fprintf(stderr,
                 "valdrane: VALDRANE_THREADS='%s' is not a number of threads from 1 to 4096\r\n",
                 environment);
    return 2;
  }
  return -1;
}
