#include "arguments.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char* const Usage =
    "Usage: valdrane [-r] [-p] [-j N] [-o DIR] [--png] [--jpeg] [--force]\r\n"
    "                [--log FILE] [--] [PATH]...\r\n"
    "       valdrane --help | --version\r\n"
    "\r\n"
    "Flattens scanned pages in place. Without a PATH valdrane rewrites every\r\n"
    "file of the current folder whose name ends in .tif or .tiff (any letter\r\n"
    "case); a PATH that is a folder stands for those files, one that is a file\r\n"
    "for that page (TIFF, PNG or JPEG). The paper's shading and dark scanner\r\n"
    "margins turn white, text and pictures stay. There is no undo: keep the\r\n"
    "originals with -o.\r\n"
    "\r\n"
    "  -r, --recursive    the .tif files of every subfolder too, depth first\r\n"
    "                     (links to folders are not followed)\r\n"
    "  -p, --paper        divide by the paper instead: paper white on every\r\n"
    "                     channel, text against the paper around it, only a\r\n"
    "                     dark scanner margin along a side whitened\r\n"
    "      --png          folders stand for their .png files too (a .png file\r\n"
    "                     named as a PATH is taken anyway)\r\n"
    "      --jpeg         folders stand for their .jpg and .jpeg files too\r\n"
    "  -j, --threads N    the number of threads (1 to 4096; by default every\r\n"
    "                     CPU it may use)\r\n"
    "  -o, --output DIR   write the flattened pages under DIR (the same tree)\r\n"
    "                     and leave the originals as they are; a page whose\r\n"
    "                     output was made from it as it is now is skipped\r\n"
    "      --force        redo what was made already: a page flattened in\r\n"
    "                     place the same way and not changed since is\r\n"
    "                     otherwise skipped, as is an output, so that a run\r\n"
    "                     started again goes on where it stopped\r\n"
    "      --log FILE     add one JSON object a file to FILE as each is done:\r\n"
    "                     its path, outcome, reason, output and stage times\r\n"
    "\r\n"
    "Example: valdrane -r -o ~/scans-clean ~/scans (run again after a stop,\r\n"
    "it goes on where it stopped). VALDRANE_THREADS=N sets what -j N sets.\r\n"
    "\r\n"
    "A page it cannot do is reported (image NAME read error, or write error)\r\n"
    "and left as it was. Exit code 0 when the folders have been worked\r\n"
    "through, 1 when a fault ended the run, 2 for an argument it does not\r\n"
    "take or a PATH that leads nowhere (nothing done), 3 when another run\r\n"
    "works in one of the folders (nothing touched).\r\n"
    "\r\n"
    "Manual: man valdrane; a guide: README.md\r\n";

// A number of threads: a whole number from 1 to 4096, else 0.
unsigned ThreadCount(const char* text) {
  const std::size_t digits = std::strspn(text, "0123456789");
  const unsigned long value =
      digits == std::strlen(text) && digits > 0 && digits < 6 ? std::strtoul(text, nullptr, 10) : 0;
  return value <= 4096 ? static_cast<unsigned>(value) : 0;
}

}  // namespace

int HandleArguments(int argc, char** argv, TArguments& asked) {
  const auto is = [](const char* argument, const char* option) {
    return std::strcmp(argument, option) == 0;
  };
  if (argc == 2 && (is(argv[1], "--help") || is(argv[1], "-h"))) {
    std::fputs(Usage, stdout);
    return 0;
  }
  if (argc == 2 && is(argv[1], "--version")) {
    std::printf(
        "valdrane %s\r\n"
        "Copyright (c) 2026 the valdrane developers; MIT License (the file LICENSE):\r\n"
        "free to use, change and share, with no warranty.\r\n",
        VALDRANE_VERSION);
    return 0;
  }
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const char* argument = argv[i];
    const char* value = nullptr;
    if (!options || argument[0] != '-' || is(argument, "-")) {
      asked.Paths.emplace_back(argument);
      continue;
    }
    if (is(argument, "--")) {
      options = false;
    } else if (is(argument, "-r") || is(argument, "--recursive")) {
      asked.Recursive = true;
    } else if (is(argument, "-p") || is(argument, "--paper")) {
      asked.Paper = true;
    } else if (is(argument, "--png")) {
      asked.Png = true;
    } else if (is(argument, "--jpeg")) {
      asked.Jpeg = true;
    } else if (is(argument, "--force") && !asked.Force) {
      asked.Force = true;
    } else if (is(argument, "--log") || std::strncmp(argument, "--log=", 6) == 0) {
      if (!asked.Log.empty()) {
        std::fputs("valdrane: one log at most\r\n", stderr);
        return 2;
      }
      const char* equals = std::strchr(argument, '=');
      asked.Log = equals != nullptr ? equals + 1 : i + 1 < argc ? argv[++i] : "";
      if (asked.Log.empty()) {
        std::fputs("valdrane: --log needs a file\r\n", stderr);
        return 2;
      }
    } else if (is(argument, "-o") || is(argument, "--output") ||
               std::strncmp(argument, "--output=", 9) == 0) {
      if (!asked.Output.empty()) {
        std::fputs("valdrane: one output folder at most\r\n", stderr);
        return 2;
      }
      const char* equals = std::strchr(argument, '=');
      asked.Output = equals != nullptr ? equals + 1 : i + 1 < argc ? argv[++i] : "";
      if (asked.Output.empty()) {
        std::fprintf(stderr, "valdrane: %s needs a folder\r\n", argument);
        return 2;
      }
    } else if (is(argument, "-j") || is(argument, "--threads")) {
      value = i + 1 < argc ? argv[++i] : "";
    } else if (std::strncmp(argument, "-j", 2) == 0) {
      value = argument + 2;
    } else if (std::strncmp(argument, "--threads=", 10) == 0) {
      value = argument + 10;
    } else {
      // Only the first is named: one complaint is enough to stop a mistyped command.
      std::fprintf(stderr, "valdrane: unexpected argument '%s' (see valdrane --help)\r\n",
                   argument);
      return 2;
    }
    if (value != nullptr && (asked.Threads = ThreadCount(value)) == 0) {
      std::fprintf(stderr, "valdrane: %s '%s' is not a number of threads from 1 to 4096\r\n",
                   argument[1] == 'j' ? "-j" : "--threads", value);
      return 2;
    }
  }
  return -1;
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
