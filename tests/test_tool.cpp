// The built program run in folders of pages, as a user runs it, and under
// faults: whatever happens, each page is either completely rewritten or
// byte-identical, and one bad entry never stops the others. POSIX only
// (fork, signals, file modes, resource limits, a preloaded library); Windows
// has its own cases in test_windows.cpp.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <regex>
#include <thread>

#include "harness.h"
#include "reference.h"

using namespace std::chrono_literals;

namespace {

class Tool : public TFolderTest {
 protected:
  // Bytes of every regular file in `folder`, by name.
  static std::map<std::string, TBytes> Contents(const fs::path& folder) {
    std::map<std::string, TBytes> contents;
    for (const auto& e : fs::directory_iterator(folder)) {
      if (e.is_regular_file()) contents[e.path().filename()] = FileBytes(e.path());
    }
    return contents;
  }
};

bool ExitedWith(const TToolRun& run, int code) {
  return WIFEXITED(run.Status) && WEXITSTATUS(run.Status) == code;
}

std::function<void()> Threads(const char* count) {
  return [count] { setenv("VALDRANE_THREADS", count, 1); };
}

// In the tool's process: one page at a time, so that `race` (see the
// preload library) acts once.
std::function<void()> Racing(const std::string& race) {
  return [race] {
    Threads("1")();
    setenv("VALDRANE_RACE", race.c_str(), 1);
    setenv("LD_PRELOAD", VALDRANE_RACE_PRELOAD, 1);
    setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
  };
}

// A report's text without its figures.
std::string Unfigured(const std::string& report) {
  return std::regex_replace(report, std::regex("[0-9]+\\.[0-9]{3}"), "");
}

}  // namespace

// Pages of every layout and every compression the tool writes come out as
// the plain implementation computes them (JPEG aside, which is lossy), with
// their header as it was, and with the same bytes and the same report
// whatever the number of threads (up to five a page); so do they corrected
// against the paper (-p), with its own stage lines.
TEST_F(Tool, EveryLayoutComesOutExactlyWithAnyNumberOfThreads) {
  const fs::path originals = top / "originals";
  fs::create_directory(originals);
  const TScanLayout layouts[] = {
      {640, 480, false, 5, 16, 300},
      {333, 257, true, 8, 7},  // short last strips
      {201, 99, false, 1, 99, 72.5},
      {99, 201, true, 32773, 1},
      {517, 3, false, 8, 2},
      {2, 77, true, 1, 10},
      {1, 6, false, 5, 0},
      {200, 100, true, 1, 0xFFFFFFFFu, 150},
      {200, 100, false, 1, 100},
      {120, 90, true, 50000, 64},  // ZSTD
      {120, 90, false, 34925, 1},
      {121, 91, true, 34925, 0},  // LZMA
      {128, 96, false, 7, 8},
      {128, 96, true, 7, 16},                                    // JPEG
      {128, 96, true, 7, 16, 0, 1, 90, 2},                       // YCbCr JPEG
      {200, 130, false, 5, 0, 0, 1, 0, 0, false, 32},            // tiles, edge tiles
      {150, 100, true, 1, 16, 0, 1, 0, 0, false, 0, true},       // separate planes
      {100, 70, true, 8, 0, 0, 1, 0, 0, false, 16, true},        // both
      {256, 200, true, 7, 0, 0, 1, 90, 2, false, 64},            // tiled YCbCr JPEG
      {90, 60, true, 8, 16, 0, 1, 0, 0, false, 0, false, true},  // BigTIFF
      {130, 90, false, 5, 16, 0, 1, 0, 0, false, 0, false, false, false, true},  // 0 white
      {130, 90, false, 7, 0, 0, 1, 90, 0, false, 32, false, false, false, true},
      // clang-format off
      // 16 bits, the first two the 8-bit pages 1 and 0 times 257
      {.Width = 333, .Height = 257, .Colour = true, .Compression = 8, .RowsPerStrip = 7,
       .Bits = 16},
      {.Width = 640, .Height = 480, .Compression = 5, .RowsPerStrip = 16, .Bits = 16},
      {.Width = 200, .Height = 130, .Compression = 5, .Predictor = 2, .Tile = 32, .Bits = 16,
       .Fine = true},
      {.Width = 150, .Height = 100, .Colour = true, .RowsPerStrip = 16, .Separate = true,
       .Bits = 16, .Fine = true},
      {.Width = 130, .Height = 90, .Compression = 8, .RowsPerStrip = 16, .WhiteIsZero = true,
       .Bits = 16, .Fine = true},
      // alpha: not multiplied, multiplied, unspecified
      {.Width = 120, .Height = 90, .Colour = true, .Compression = 5, .RowsPerStrip = 8, .Alpha = 3},
      {.Width = 121, .Height = 91, .Colour = true, .Compression = 5, .RowsPerStrip = 16,
       .Alpha = 2},
      {.Width = 120, .Height = 90, .Colour = true, .Compression = 8, .Tile = 32, .Bits = 16,
       .Fine = true, .Alpha = 2},
      {.Width = 100, .Height = 70, .RowsPerStrip = 10, .Separate = true, .Alpha = 1},
      {.Width = 110, .Height = 60, .Compression = 5, .WhiteIsZero = true, .Alpha = 2},
      // clang-format on
  };
  for (const TScanLayout& layout : layouts) {
    ASSERT_TRUE(
        WriteScan(originals / (std::to_string(&layout - layouts) + ".tif"), layout, layout.Width));
  }
  fs::copy_file(VALDRANE_DEMO_DIR "/page.tif", originals / "demo.tif");
  fs::permissions(originals / "demo.tif", fs::perms::owner_write, fs::perm_options::add);
  std::map<std::string, TFileInfo> before;
  for (const auto& [name, bytes] : Contents(originals)) {
    ASSERT_TRUE(ReadFileInfo(originals / name, before[name]));
  }

  // Fewer pages than threads: each page's strips and rows are split too.
  const fs::path big = top / "big";
  fs::create_directory(big);
  ASSERT_TRUE(WriteScan(big / "c.tif", {1200, 900, true, 8, 16}));
  ASSERT_TRUE(WriteScan(big / "g.tif", {1000, 800, false, 5, 8}));
  ASSERT_TRUE(WriteScan(big / "j.tif", {1000, 800, true, 7, 16}));  // JPEG, tables shared
  ASSERT_TRUE(WriteScan(big / "y.tif", {1000, 800, true, 7, 32, 0, 1, 90, 2}));
  ASSERT_TRUE(WriteScan(big / "t.tif", {1000, 800, true, 8, 0, 0, 1, 0, 0, false, 128}));
  ASSERT_TRUE(WriteScan(big / "s.tif", {1000, 800, true, 5, 32, 0, 1, 0, 0, false, 0, true}));
  ASSERT_TRUE(WriteScan(big / "w.tif", {.Width = 700,
                                        .Height = 500,
                                        .Colour = true,
                                        .Compression = 5,
                                        .RowsPerStrip = 16,
                                        .Bits = 16}));
  // The pages once more with -p: the same again, but with its own lines.
  for (const auto& [folder, paper] :
       {std::pair{big, false}, {originals, false}, {originals, true}}) {
    std::map<std::string, TBytes> first;
    std::string firstReport;
    for (const char* threads : {"1", "2", "3", "8", "16"}) {
      SCOPED_TRACE(folder.filename().string() + threads + (paper ? " -p" : ""));
      fs::remove_all(dir);
      fs::copy(folder, dir);
      // The option wins over the environment.
      std::vector<const char*> args = {"-j", threads};
      if (paper) args.push_back("-p");
      const TToolRun run = RunTool(dir, Threads("0"), VALDRANE_BINARY, args);
      ASSERT_TRUE(ExitedWith(run, 0));
      EXPECT_EQ(run.Out.rfind(Banner, 0), 0u);
      for (const auto& [name, info] : folder == big ? std::map<std::string, TFileInfo>{} : before) {
        EXPECT_EQ(run.Entries.at(name).Labels, paper                  ? PaperLabels
                                               : info.Photometric > 1 ? ColourLabels
                                                                      : GreyLabels);
      }
      if (first.empty()) first = Contents(dir), firstReport = Unfigured(run.Out);
      EXPECT_EQ(run.Entries.size(), first.size());
      EXPECT_TRUE(Contents(dir) == first);
      EXPECT_EQ(Unfigured(run.Out), firstReport);
    }
    for (const auto& [name, old] : folder == big ? std::map<std::string, TFileInfo>{} : before) {
      TFileInfo now;
      ASSERT_TRUE(ReadFileInfo(dir / name, now));
      EXPECT_TRUE(old.Compression == 7 ||
                  now.Samples == PlainFlattenFile(old.Width, old.Height, old.Photometric == 2,
                                                  old.Bits, old.Photometric == 0, old.ExtraKinds,
                                                  old.Samples, paper))
          << name << (paper ? " -p" : "");
    }
  }
  for (const auto& [name, old] : before) {  // the header as it was, BigTIFF staying BigTIFF
    const bool bigTiff = FileBytes(originals / name)[2] == 43;
    EXPECT_EQ(FileBytes(dir / name)[2], bigTiff ? 43 : 42) << name;
    if (!bigTiff) {
      EXPECT_EQ(Entries(dir / name), Entries(originals / name)) << name;
    }
  }
}

// Every other entry of a folder: odd names, links, a read-only page, things
// that are not pages, pages the tool cannot write back exactly, hostile
// files, what killed runs left. The pages are done; every other entry is a
// read error (a write error where the page is read-only, or libtiff decodes
// its compression but cannot encode it) and stays byte-identical. Names
// print their control characters as \xHH. A header declaring a huge page
// over a few bytes does not fill memory.
TEST_F(Tool, EveryOtherEntryIsReportedAndKept) {
  const fs::path store = top / "store";
  fs::create_directory(store);
  const std::pair<const char*, const char*> pages[] = {
      // name, as the report shows it
      {"COLOUR.TIF", "COLOUR.TIF"},
      {".hidden.tif", ".hidden.tif"},
      {"-n page \xfc\xe9 1.tif", "-n page \xfc\xe9 1.tif"},
      {"a\x1b]0;title\x07.tif", "a\\x1B]0;title\\x07.tif"},
      {"b\r\nfake.tif", "b\\x0D\\x0Afake.tif"},
      {"c\302\2332J.tif", "c\\xC2\\x9B2J.tif"},
      {"\302\233J.tif", "\\xC2\\x9BJ.tif"},  // a C1 control first
      {"grey.tif", "grey.tif"},
      {".tif", ".tif"},
      {"d\xc2\xa9.tif", "d\xc2\xa9.tif"},  // not a control character
      {"../store/target.tif", "link.tif"}};
  for (const auto& [name, shown] : pages) {
    ASSERT_TRUE(WriteScan(dir / name, {30, 20, name[0] == 'C', 5, 8}));
  }
  fs::permissions(dir / "grey.tif",
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  ASSERT_TRUE(WriteScan(dir / "locked.tif", {30, 20, false, 5, 8}));
  fs::permissions(dir / "locked.tif", fs::perms::owner_read);
  fs::create_symlink(store / "target.tif", dir / "link.tif");
  fs::create_symlink(store / "missing.tif", dir / "dangling.tif");
  // Links another user planted: followed only to a file of theirs, never to
  // a private file of the user running the tool (the superuser here).
  const bool root = geteuid() == 0;
  for (const char* name : {"photo.tif", "theirs.tif"}) {
    if (!root) break;
    ASSERT_TRUE(WriteScan(store / name, {30, 20, false, 5, 8}));
    fs::create_symlink(store / name, dir / (name[0] == 'p' ? "planted.tif" : name));
    ASSERT_EQ(lchown((dir / (name[0] == 'p' ? "planted.tif" : name)).c_str(), 65534, 65534), 0);
    ASSERT_EQ(chown((store / name).c_str(), name[0] == 'p' ? 0 : 65534, 65534), 0);
  }
  if (!root) {
    std::printf("not the superuser: links of another user were not checked\n");
  }
  fs::create_directory(dir / "folder.tif");
  PutBytes(dir / "page.tiff", {'a'});
  using TTags = std::map<std::uint16_t, std::uint32_t>;
  const TTags grey = {{256, 8}, {257, 8}, {258, 8}, {259, 1},
                      {262, 1}, {273, 8}, {277, 1}, {279, 64}};
  const std::pair<const char*, TTags> changes[] = {
      {"32-bits", {{258, 32}, {279, 256}}},
      {"12-bits", {{258, 12}, {279, 96}}},
      {"float", {{258, 32}, {339, 3}, {279, 256}}},
      {"bilevel", {{258, 1}, {279, 8}}},
      {"lab", {{262, 8}, {277, 3}, {279, 192}}},
      {"two-samples", {{277, 2}, {279, 128}}},
      {"rgb-one-sample", {{262, 2}}},
      {"rgba", {{262, 2}, {277, 4}, {279, 256}}},
      {"planes-in-one-strip", {{262, 2}, {277, 3}, {284, 2}}},
      {"cmyk", {{262, 5}, {277, 4}, {279, 256}}},
      {"signed", {{339, 2}}},
      {"tile-cut-short", {{322, 16}, {323, 16}, {324, 8}, {325, 64}}},
      {"colour-over-4-GiB", {{256, 40000}, {257, 40000}, {262, 2}, {277, 3}}},
      {"grey-over-4-GiB-of-colour", {{256, 65536}, {257, 65536}}},
      {"huge-deflate", {{256, 30000}, {257, 30000}, {259, 8}, {262, 2}, {277, 3}}},
      {"zero-width", {{256, 0}}},
      {"zero-height", {{257, 0}}},
      {"unknown-codec", {{259, 50000}}},
      {"strip-past-the-end", {{279, 100000}}},
      {"counts-too-short", {{279, 20}}},
      {"resolution-2^32", {{282, 0xFFFFFFFFu}}},
  };
  for (const auto& [name, change] : changes) {
    TTags tags = grey;
    for (const auto& [tag, value] : change) tags[tag] = value;
    if (tags.count(322) != 0) tags.erase(273), tags.erase(279);
    ASSERT_TRUE(
        WriteRawTiff(dir / (std::string(name) + ".tif"), tags, std::vector<std::uint8_t>(64, 9)));
  }
  // YCbCr is taken only as JPEG (here 2x2 subsampled, as by default: 96 bytes).
  TTags ycbcr = grey;
  ycbcr[262] = 6, ycbcr[277] = 3, ycbcr[279] = 96;
  ASSERT_TRUE(WriteRawTiff(dir / "ycbcr-not-jpeg.tif", ycbcr, std::vector<std::uint8_t>(96, 9)));
  // Damaged strips: Deflate fails to decode; JPEG in one strip decodes, the
  // decoder filling in what is missing and only warning.
  for (const auto& [name, compression] : {std::pair{"cut-deflate.tif", 8}, {"cut-jpeg.tif", 7}}) {
    ASSERT_TRUE(WriteScan(dir / name, {256, 256, false, static_cast<std::uint16_t>(compression),
                                       compression == 7 ? 256u : 16u}));
    TBytes bytes = FileBytes(dir / name);
    std::fill(bytes.begin() + 1000, bytes.begin() + 3000, '\0');  // the directory is at the end
    PutBytes(dir / name, bytes);
  }
  fs::copy_file(VALDRANE_TEST_DATA "/old-jpeg.tif", dir / "old-jpeg.tif");
  PutBytes(dir / "empty.tif", {});
  ASSERT_EQ(mkfifo((dir / "pipe.tif").c_str(), 0644), 0);  // opening it would wait forever
  PutBytes(dir / "text.tif", {'I', 'I', '*', '\0', 'x'});
  // What killed runs leave is removed; what only looks like it is kept.
  PutBytes(dir / ".valdrane-Ab12Cd", {'x'});
  PutBytes(dir / ".valdrane-Ab12C", {'x'});
  fs::create_directory(dir / ".valdrane-Zz99Yy");
  PutBytes(store / "outside", {'x'});
  fs::create_symlink(store / "outside", dir / ".valdrane-Qq11Ww");
  const auto before = Contents(dir);
  TFileInfo target;
  ASSERT_TRUE(ReadFileInfo(store / "target.tif", target));

  const TToolRun run = RunTool(dir);
  ASSERT_TRUE(ExitedWith(run, 0));
  // Every entry but the three that only look like temporary files (page.tiff is one too).
  EXPECT_EQ(run.Entries.size(), Listing(dir).size() - 3) << run.Out;
  for (const auto& [shown, entry] : run.Entries) {
    const bool page =
        shown == "theirs.tif" || std::any_of(std::begin(pages), std::end(pages),
                                             [&](const auto& p) { return shown == p.second; });
    const bool unwritable = shown == "locked.tif" || shown == "old-jpeg.tif";
    EXPECT_EQ(entry.Outcome, page ? "done" : unwritable ? "write error" : "read error") << shown;
    EXPECT_EQ(entry.Labels.empty(), !page && !unwritable) << shown;
    if (!page && before.count(shown) != 0) {
      EXPECT_TRUE(FileBytes(dir / shown) == before.at(shown)) << shown;
    }
  }
  std::map<std::string, std::size_t> ended;  // the summary agrees with the report
  for (const auto& [shown, entry] : run.Entries) ++ended[entry.Outcome];
  EXPECT_EQ(SummaryLine(run.Err), std::to_string(ended["done"]) + " flattened, " +
                                      std::to_string(ended["read error"]) + " read errors, " +
                                      std::to_string(ended["write error"]) +
                                      " write errors, 0 skipped");
  // Each file left as it was says why, once, and the kinds add up.
  const std::pair<const char*, const char*> reasons[] = {
      {"bilevel.tif", "a bilevel page is not flattened"},
      {"signed.tif", "a page of signed or complex samples is not flattened"},
      {"12-bits.tif", "a page of 12-bit samples is not flattened"},
      {"ycbcr-not-jpeg.tif", "a YCbCr page not in JPEG is not flattened"},
      {"two-samples.tif", "a page whose samples do not match its colour space is not flattened"},
      {"resolution-2^32.tif", "a page whose resolution a TIFF file cannot hold is not flattened"},
      {"cmyk.tif", "damaged strip table (and a CMYK page is not flattened)"},
      {"counts-too-short.tif", "damaged strip table"},
      {"cut-deflate.tif", "damaged strip 1"},
      {"tile-cut-short.tif", "damaged tile 0"},
      {"cut-jpeg.tif", "damaged JPEG data"},
      {"text.tif", "damaged header"},
      {"page.tiff", "not a TIFF file"},
      {"empty.tif", "not a TIFF file (it is empty)"},
      {"pipe.tif", "not a regular file"},
      {"dangling.tif", "no such file"},
      {"locked.tif", "the file is read-only"},
      {"old-jpeg.tif", "the page cannot be written back in its compression"},
  };
  for (const auto& [name, why] : reasons) {
    EXPECT_NE(run.Err.find(std::string("valdrane: ") + name + ": " + why + "\r\n"),
              std::string::npos)
        << name;
  }
  const std::regex refused("(\\d+) [^,\r]+"), reasonLine("valdrane: [^\r\n]*\\.tiff?: ");
  const std::string kinds = run.Err.substr(run.Err.find("valdrane: refused: ") + 19);
  std::size_t sum = 0;
  for (std::sregex_iterator k(kinds.begin(), kinds.end(), refused), end; k != end; ++k)
    sum += std::stoul((*k)[1]);
  EXPECT_EQ(sum, ended["read error"] + ended["write error"]) << run.Err;
  EXPECT_EQ(std::distance(std::sregex_iterator(run.Err.begin(), run.Err.end(), reasonLine),
                          std::sregex_iterator()),
            static_cast<std::ptrdiff_t>(sum))
      << run.Err;
  TFileInfo rewritten;
  ASSERT_TRUE(ReadFileInfo(store / "target.tif", rewritten));
  EXPECT_TRUE(rewritten.Pixels == PlainFlatten(30, 20, false, target.Pixels));
  EXPECT_EQ(fs::read_symlink(dir / "link.tif"), store / "target.tif");
  EXPECT_EQ(FileBytes(dir / "page.tiff"), before.at("page.tiff"));
  EXPECT_EQ(fs::status(dir / "grey.tif").permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_FALSE(fs::exists(dir / ".valdrane-Ab12Cd"));
  EXPECT_EQ(Listing(store).size(), root ? 4u : 2u) << "a temporary file outside the folder";
#if !defined(__SANITIZE_THREAD__)  // its shadow memory follows the address space
  EXPECT_LT(run.PeakKiB, 400 * 1024) << "the huge pages' planes would take 3.6 GB filled";
#endif
}

// What the system refuses keeps the page: a disk that fills up (with three
// workers), a folder where no file may be created (run as an ordinary user,
// since the superuser may create files anywhere), a page larger than the
// memory the run may use. The page is reported, kept byte-identical, nothing
// is left behind, and the other pages are done.
TEST_F(Tool, WhatTheSystemRefusesKeepsThePage) {
  const bool root = geteuid() == 0;
  const struct {
    const char* name;
    TScanLayout failing;
    const char* outcome;
    std::function<void()> inChild;
    const char* why;  // as standard error says it
  } cases[] = {
    {"disk full",
     {1600, 1200, true, 1, 64},
     "write error",
     [] {
       setenv("VALDRANE_THREADS", "3", 1);
       signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG
       const struct rlimit limit = {1 << 20, 1 << 20};
       setrlimit(RLIMIT_FSIZE, &limit);
     },
     "failing.tif: the new file cannot be written: File too large"},
    {"read-only folder",
     {80, 60, false, 5, 64},
     "write error",
     [root] {
       if (root && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(97);
     },
     "failing.tif: no new file can be made in its folder: Permission denied"},
// The sanitizers and an emulator need more room.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) && !defined(VALDRANE_EMULATOR)
    {"memory",
     {10000, 10000, false, 8, 0},
     "read error",
     [] {
       const struct rlimit limit = {90000 << 10, 90000 << 10};
       setrlimit(RLIMIT_AS, &limit);
     },
     "failing.tif: needs "},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(dir);
    fs::create_directory(dir);
    const std::size_t samples = std::size_t{c.failing.Width} * c.failing.Height * 3;
    ASSERT_TRUE(WriteScanTiff((dir / "failing.tif").c_str(), c.failing,
                              std::vector<std::uint8_t>(samples, 200)));
    fs::path program = VALDRANE_BINARY;
    if (std::string(c.name) == "read-only folder") {
      if (root) {  // the other user runs a copy, where they can reach it
        ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
        ASSERT_EQ(chown((dir / "failing.tif").c_str(), 65534, 65534), 0);
        fs::permissions(top, fs::perms::all, fs::perm_options::add);
        fs::copy_file(VALDRANE_BINARY, program = top / "valdrane",
                      fs::copy_options::overwrite_existing);
      }
      fs::permissions(dir,
                      fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                      fs::perm_options::remove);
    } else {
      ASSERT_TRUE(WriteScan(dir / "small.tif", {60, 40, false, 5, 16}));
    }
    const TBytes failing = FileBytes(dir / "failing.tif");
    const TToolRun run = RunTool(dir, c.inChild, program);
    ASSERT_TRUE(ExitedWith(run, 0)) << run.Err;
    EXPECT_EQ(run.Entries.at("failing.tif").Outcome, c.outcome);
    EXPECT_NE(run.Err.find(std::string("valdrane: ") + c.why), std::string::npos) << run.Err;
    EXPECT_TRUE(FileBytes(dir / "failing.tif") == failing);
    EXPECT_EQ(run.Entries.count("small.tif") == 0 || run.Entries.at("small.tif").Outcome == "done",
              true);
    EXPECT_EQ(Listing(dir).size(), run.Entries.size()) << "a temporary file was left behind";
  }
}

// Stopped at any moment, with three workers: killed at random moments over
// and over, or sent a fault or a stop signal while a page is being written.
// Every page is always either its old bytes or exactly what an uninterrupted
// run writes. A fault or a stop signal also leaves the report of the pages
// done, whole and in listing order, a line on standard error saying how
// many files were done, one naming the stop, and no temporary file; while
// it runs, a second run in the folder touches nothing.
TEST_F(Tool, StoppedAtAnyMomentEveryPageIsOldOrNew) {
  const fs::path originals = top / "originals";
  fs::create_directory(originals);
  const TScanLayout layouts[] = {{700, 500, false, 1, 64}, {640, 480, false, 5, 16},
                                 {500, 700, false, 8, 1},  {400, 300, true, 1, 7},
                                 {500, 400, true, 5, 64},  {333, 444, true, 32773, 444}};
  for (std::uint32_t i = 0; i < 18; ++i) {
    ASSERT_TRUE(WriteScan(originals / (std::to_string(i) + ".tif"), layouts[i % 6], i));
  }
  const auto old = Contents(originals);
  auto fresh = [&] {
    fs::remove_all(dir);
    fs::copy(originals, dir);
  };
  fresh();
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(ExitedWith(RunTool(dir, Threads("3")), 0));
  const auto longest = std::chrono::duration_cast<std::chrono::microseconds>(
      (std::chrono::steady_clock::now() - start) * 1.2);
  const auto done = Contents(dir);
  fs::create_directory(top / "second");
  fs::create_symlink(dir, top / "second" / "pages");  // its report goes beside

  std::mt19937 random(2026);
  int midBatch = 0;
  for (int round = 0; round < 43; ++round) {
    const std::pair<int, const char*> stops[] = {{SIGSEGV, "fatal fault: access violation"},
                                                 {SIGTERM, "stopped by SIGTERM"},
                                                 {SIGINT, "stopped by SIGINT"},
                                                 {SIGKILL, ""}};
    const auto [signal, message] = stops[std::min(round, 3)];
    SCOPED_TRACE(round);
    fresh();
    const auto copied = fs::last_write_time(dir / "17.tif");
    // One thread where a second run starts meanwhile: slower under an emulator.
    // Its log beside the folder: a line a page done, flushed as it goes.
    const fs::path logPath = top / "log.jsonl";
    fs::remove(logPath);
    const std::string logArgument = "--log=" + logPath.string();
    const pid_t pid = StartTool(dir, Threads(signal == SIGSEGV ? "1" : "3"), VALDRANE_BINARY,
                                {logArgument.c_str()});
    TToolRun second;       // a run in the folder while this one writes
    bool writing = false;  // halfway through the run
    for (int wait = 0; signal != SIGKILL && !writing && wait < 20000; ++wait) {
      int replaced = 0;
      for (const std::string& name : Listing(dir)) {
        std::error_code gone;
        writing |= name.rfind(".valdrane-", 0) == 0;
        replaced += name.back() == 'f' && fs::last_write_time(dir / name, gone) > copied;
      }
      if (writing && signal == SIGSEGV && second.Status < 0)
        second = RunTool(top / "second" / "pages");
      writing &= replaced >= 9;
      if (!writing) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    if (signal == SIGKILL) {
      std::this_thread::sleep_for(std::chrono::microseconds(random() % longest.count()));
    }
    kill(pid, signal);
    const TToolRun run = WaitTool(pid, dir);
    const TBytes logBytes = FileBytes(logPath);
    const std::string log(logBytes.begin(), logBytes.end());
    // Whole lines only, one a page.
    EXPECT_TRUE(
        std::regex_match(log, std::regex("(\\{\"path\":[^\n]*\"seconds\":(null|[0-9.]+)\\}\n)*")))
        << log;
    std::size_t rewritten = 0, reported = 0;
    for (const std::string& name : Listing(dir)) {
      reported += run.Out.find("\r\n" + name + "\r\n") != std::string::npos;
      if (signal == SIGKILL && name.rfind(".valdrane-", 0) == 0) continue;
      ASSERT_EQ(old.count(name), 1u) << name << ": an entry the run should not have made";
      const TBytes bytes = FileBytes(dir / name);
      EXPECT_TRUE(bytes == old.at(name) || bytes == done.at(name)) << name << " damaged";
      rewritten += bytes == done.at(name);
      // A page replaced is reported, even one finished before pages listed
      // earlier (a fault may hit the very thread that puts a page in place).
      EXPECT_TRUE(signal == SIGKILL || signal == SIGSEGV || bytes != done.at(name) ||
                  run.Out.find("\r\n" + name + "\r\n") != std::string::npos)
          << name << " replaced, not reported";
      // The log has a page as flattened only once it is, and, stopped, every
      // page that is.
      const bool logged =
          log.find("{\"path\":\"" + name + "\",\"outcome\":\"flattened\"") != std::string::npos;
      EXPECT_TRUE(!logged || bytes == done.at(name)) << name << " logged, not replaced";
      EXPECT_TRUE(signal == SIGKILL || signal == SIGSEGV || logged || bytes != done.at(name))
          << name << " replaced, not logged";
    }
    midBatch += rewritten > 0 && rewritten < old.size();
    if (signal == SIGKILL) continue;
    ASSERT_TRUE(writing);
    if (signal == SIGSEGV) {
      EXPECT_TRUE(ExitedWith(run, 1)) << "the run ended before the fault was sent";
      EXPECT_TRUE(ExitedWith(second, 3));
      EXPECT_EQ(second.Out + second.Err,
                "valdrane: another valdrane is working in this folder\r\n");
    } else {
      EXPECT_TRUE(WIFSIGNALED(run.Status) && WTERMSIG(run.Status) == signal) << run.Status;
    }
    // What was done first: the files reported, and no others; the summary
    // of a run that ends, then what was left.
    std::size_t cut = 0;
    for (std::size_t at = 0; (at = run.Out.find(" write error\r\n", at)) != std::string::npos; ++at)
      ++cut;
    EXPECT_EQ(run.Err, "valdrane: " + std::to_string(reported) + " flattened, 0 read errors, " +
                           std::to_string(cut) + " write errors, 0 skipped\r\nvaldrane: " +
                           std::to_string(reported + cut) + " of 18 files done, the other " +
                           std::to_string(18 - reported - cut) +
                           " left as they were\r\nvaldrane: " + message + "\r\n");
    EXPECT_EQ(run.Out.rfind(Banner, 0), 0u);
    // The last page's lines end with its name, or its error if it was stopped writing.
    EXPECT_TRUE(std::regex_search(run.Out, std::regex("(\\.tif| error)\r\n$"))) << run.Out;
    EXPECT_EQ(Listing(dir).size(), old.size()) << "a temporary file was left";
  }
  EXPECT_GT(midBatch, 3) << "no kill landed inside the batch";
}

// Someone sharing the folder acts at the exact moment (a preloaded library
// does it for the test): a link re-pointed once the page has been opened;
// a link put where the temporary file is about to be; while the linked page
// waits to be written (the tool stopped as its temporary file is made
// beside it), a new scan of the same size saved into it, or a run started
// in its folder. None redirects a write or loses a scan or a temporary
// file. And started with its standard descriptors closed, the tool has the
// null device there, so that no page's file is one for libtiff's messages.
TEST_F(Tool, RacesInASharedFolderCannotRedirectAWrite) {
  const fs::path store = top / "store", linked = store / "linked", scan = top / "scan.tif";
  fs::create_directory(store);
  PutBytes(store / "outside", {'k', 'e', 'e', 'p'});
  ASSERT_TRUE(WriteScan(scan, {120, 90, false, 1, 16}, 's'));
  const struct {
    std::string race;
    const char* outcome;  // of link.tif; none where the report goes to the null device
    std::function<void(pid_t)> atStop;
    bool closed = false;  // started with descriptors 0 to 2 closed
  } cases[] = {
      {"repoint:link.tif:b.tif", "read error", {}},
      {"swap-temp:" + (store / "outside").string(), "done", {}},
      {"stop:link.tif", "write error", [&](pid_t) { PutBytes(linked / "a.tif", FileBytes(scan)); }},
      {"stop:link.tif", "done",
       [&](pid_t) {
         const TToolRun second = RunTool(linked);
         EXPECT_TRUE(ExitedWith(second, 3)) << second.Err;
         EXPECT_EQ(Listing(linked).size(), 2u) << "the temporary file was removed";
       }},
      {"stop:link.tif", nullptr,
       []([[maybe_unused]] pid_t pid) {
#ifndef VALDRANE_EMULATOR  // the emulator's own files may take them first
         for (const char* fd : {"0", "1", "2"}) {
           EXPECT_EQ(fs::read_symlink("/proc/" + std::to_string(pid) + "/fd/" + fd), "/dev/null");
         }
#endif
       },
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.race + (c.closed ? " closed" : ""));
    fs::remove_all(dir);
    fs::create_directory(dir);
    fs::remove_all(linked);
    fs::create_directory(linked);
    std::map<fs::path, std::vector<std::uint8_t>> expected;
    for (const fs::path& page : {dir / "a.tif", dir / "b.tif", linked / "a.tif"}) {
      TFileInfo info;
      ASSERT_TRUE(WriteScan(page, {120, 90, false, 1, 16}, page.filename().string()[0]) &&
                  ReadFileInfo(page, info));
      expected[page] = PlainFlatten(120, 90, false, info.Pixels);
    }
    // Saved long ago: a new scan's time differs whatever the clock's grain.
    fs::last_write_time(linked / "a.tif", fs::last_write_time(linked / "a.tif") - 24h);
    fs::create_symlink(linked / "a.tif", dir / "link.tif");
    const pid_t pid = StartTool(dir, [&c] {
      Racing(c.race)();
      for (int fd = 0; c.closed && fd <= 2; ++fd) close(fd);
    });
    if (c.atStop) {
      int status = 0;
      ASSERT_TRUE(waitpid(pid, &status, WUNTRACED) == pid && WIFSTOPPED(status)) << status;
      c.atStop(pid);
      kill(pid, SIGCONT);
    }
    const TToolRun run = WaitTool(pid, dir);
    ASSERT_TRUE(ExitedWith(run, 0));
    if (c.outcome != nullptr) {
      EXPECT_EQ(run.Entries.at("link.tif").Outcome, c.outcome);
    }
    if (c.outcome != nullptr && c.outcome[0] == 'w') {
      EXPECT_TRUE(FileBytes(linked / "a.tif") == FileBytes(scan)) << "the new scan was lost";
      expected.erase(linked / "a.tif");
    } else if (c.outcome != nullptr && c.outcome[0] == 'r') {
      expected.erase(linked / "a.tif");
    }
    for (const auto& [page, pixels] : expected) {
      TFileInfo info;
      EXPECT_FALSE(fs::is_symlink(page)) << page;
      EXPECT_TRUE(ReadFileInfo(page, info) && info.Pixels == pixels) << page;
    }
    EXPECT_EQ(FileBytes(store / "outside"), TBytes({'k', 'e', 'e', 'p'}));
    for (const std::string& name : Listing(linked)) {
      EXPECT_TRUE(name == "a.tif" || fs::is_symlink(linked / name)) << name << " was left behind";
    }
  }
}

// A folder of pages swapped for a link while a recursive run is under way
// is not followed, in place or into an output folder: its page is a read
// error, the folder the link leads to is untouched.
TEST_F(Tool, AFolderSwappedForALinkIsNotFollowed) {
  const fs::path other = top / "other", out = top / "out";
  for (const bool into : {false, true}) {
    for (const fs::path& folder : {dir, other, out}) fs::remove_all(folder);
    fs::create_directories(dir / "z");
    fs::create_directory(other);
    for (const fs::path& page : {dir / "a.tif", dir / "z" / "q.tif", other / "q.tif"}) {
      ASSERT_TRUE(WriteScan(page, {60, 40, false, 5, 8}, 'q'));
    }
    const TBytes q = FileBytes(other / "q.tif");
    const pid_t pid =
        StartTool(dir, Racing("stop:a.tif"), VALDRANE_BINARY,
                  into ? std::vector{"-r", "-o", "../out", "."} : std::vector{"-r", "."});
    int status = 0;
    ASSERT_TRUE(waitpid(pid, &status, WUNTRACED) == pid && WIFSTOPPED(status)) << status;
    fs::rename(dir / "z", dir / "z.old");
    fs::create_symlink("../other", dir / "z");
    kill(pid, SIGCONT);
    const TToolRun run = WaitTool(pid, dir);
    ASSERT_TRUE(ExitedWith(run, 0)) << run.Err;
    EXPECT_EQ(run.Entries.at("./z/q.tif").Outcome, "read error");
    EXPECT_EQ(run.Entries.at("./a.tif").Outcome, "done");
    EXPECT_TRUE(FileBytes(other / "q.tif") == q && FileBytes(dir / "z.old" / "q.tif") == q);
    EXPECT_FALSE(fs::exists(out / "z"));
  }
}
