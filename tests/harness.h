// What the tests share: files and folders, hand-made TIFF files, an
// independent read of a page, and the built tool run in a folder.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "synthetic_scan.h"

namespace fs = std::filesystem;
using TBytes = std::vector<char>;

TBytes FileBytes(const fs::path& path);
void PutBytes(const fs::path& path, const TBytes& bytes);
// `count` damaged copies of `bytes`, the same for the same seed: cut short
// at some byte, or with a few bytes set to other values.
std::vector<TBytes> Damaged(const TBytes& bytes, std::uint32_t count, std::uint32_t seed);
// A fresh, empty folder under the system's temporary folder.
fs::path MakeTempDir();

// A test in a fresh folder `dir`, "pages" in a fresh temporary folder `top`,
// both removed afterwards.
class TFolderTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directory(dir = (top = MakeTempDir()) / "pages"); }
  void TearDown() override {
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(top);
  }
  fs::path top, dir;
};

// A synthetic scan in `layout`, written with libtiff alone.
bool WriteScan(const fs::path& path, const TScanLayout& layout, std::uint32_t seed = 1);

// A little-endian TIFF made by hand: `data` from offset 8, then `directories`
// copies of one directory of `tags`, each value one LONG. Declares what
// libtiff would refuse to write (sizes the data does not have, say).
bool WriteRawTiff(const fs::path& path, const std::map<std::uint16_t, std::uint32_t>& tags,
                  const std::vector<std::uint8_t>& data, int directories = 1);

// A page (page `directory` of the file) as libtiff alone reads it, through
// its RGBA reader: grey pages as one sample (0 black, whatever the file
// holds), others as three (YCbCr JPEG as RGB).
struct TFileInfo {
  std::uint32_t Width = 0, Height = 0;
  std::uint16_t Photometric = 0, Compression = 0, Bits = 0;
  std::vector<std::uint16_t> ExtraKinds;
  std::vector<std::uint8_t> Pixels;  // decoded, row by row
  // Pages not in JPEG: every sample as the file holds it (extra ones too,
  // 0 white where it is), pixel by pixel, row by row.
  std::vector<std::uint32_t> Samples;
};
// With `preview`, the page's preview in that place of its SubIFD tag.
bool ReadFileInfo(const fs::path& path, TFileInfo& info, std::uint16_t directory = 0,
                  int preview = -1);

// The entries of a little-endian file's first directory, or of the one its
// tag `sub` points at, read from its bytes: tag -> type and value bytes.
// Offsets (of strips, tiles and directories) are left out: they are where things
// happen to be.
std::map<std::uint16_t, std::string> Entries(const fs::path& path, std::uint16_t sub = 0);

// One entry's part of a report: its stage labels and how it ended ("done",
// "read error" or "write error").
struct TEntry {
  std::vector<std::string> Labels;
  std::string Outcome;
};

struct TToolRun {
  int Status = -1;  // POSIX: as waitpid gives it; Windows: the exit code
  std::string Out, Err;
  std::map<std::string, TEntry> Entries;
  long PeakKiB = 0;
};

// Fills Out and Err from out.txt and err.txt beside `dir`, and Entries
// when the run went through (Status 0); a failure where that report is not whole.
void ReadOutput(const fs::path& dir, TToolRun& run);

// SummaryLine: the summary on standard error, "N flattened, ...", without
// its "valdrane: " and CR LF; empty when there is none.
std::string SummaryLine(const std::string& err);

#ifndef _WIN32
#include <sys/types.h>

// Starts the tool in `dir` with `args`, output to out.txt and err.txt
// beside `dir` (its parent as written); `inChild` runs in the new process
// just before the program starts. -1 on failure.
pid_t StartTool(const fs::path& dir, const std::function<void()>& inChild = {},
                const fs::path& program = VALDRANE_BINARY, std::vector<const char*> args = {});
// Waits for a started tool and reads what it wrote; Entries only when it
// exited with 0.
TToolRun WaitTool(pid_t pid, const fs::path& dir);
inline TToolRun RunTool(const fs::path& dir, const std::function<void()>& inChild = {},
                        const fs::path& program = VALDRANE_BINARY,
                        std::vector<const char*> args = {}) {
  return WaitTool(StartTool(dir, inChild, program, std::move(args)), dir);
}
#else
// Runs the tool in `dir` and reads what it wrote (out.txt and err.txt beside
// `dir`); Entries only when it exited with 0.
TToolRun RunTool(const fs::path& dir);
#endif

// The tool run in `dir` with `args` (plain words, no quoting), on either
// system.
TToolRun RunToolWith(const fs::path& dir, const std::vector<const char*>& args);

extern const char* const Banner;
extern const std::vector<std::string> GreyLabels, ColourLabels, PaperLabels;
// Names in `dir`, in the order the folder lists them.
std::vector<std::string> Listing(const fs::path& dir);
