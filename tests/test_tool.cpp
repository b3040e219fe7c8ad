// The built program run in folders of pages, as a user runs it, and under
// faults: whatever happens, each page is either completely rewritten or
// byte-identical, and one bad entry never stops the others.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <regex>
#include <thread>

#include "harness.h"
#include "reference.h"

namespace {

class Tool : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directory(dir = (top = MakeTempDir()) / "pages"); }
  void TearDown() override {
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(top);
  }
  // Bytes of every regular file in `folder`, by name.
  static std::map<std::string, TBytes> Contents(const fs::path& folder) {
    std::map<std::string, TBytes> contents;
    for (const auto& e : fs::directory_iterator(folder)) {
      if (e.is_regular_file()) contents[e.path().filename()] = FileBytes(e.path());
    }
    return contents;
  }
  fs::path top, dir;
};

bool ExitedWith(const TToolRun& run, int code) {
  return WIFEXITED(run.Status) && WEXITSTATUS(run.Status) == code;
}

}  // namespace

// Every page of the folder, of every layout, comes out exactly as the plain
// implementation computes it; every other entry is reported and kept.
TEST_F(Tool, FlattensEveryPageExactlyAndReportsEveryEntry) {
  const fs::path store = top / "store";
  fs::create_directory(store);
  const std::pair<const char*, TScanLayout> pages[] = {
      {"grey.tif", {640, 480, false, 5, 16}},
      {"COLOUR.TIF", {333, 257, true, 8, 7}},
      {"odd.tif", {201, 99, false, 1, 99}},
      {".hidden.tif", {99, 201, true, 32773, 1}},
      {"wide.tif", {517, 3, false, 8, 2}},
      {"tall.tif", {2, 77, true, 1, 10}},
      {"thin.tif", {1, 6, false, 5, 0}},
      {"-n page \xfc\xe9 1.tif", {80, 60, false, 5}},
      {"../store/target.tif", {80, 60, true, 8}},
      {"locked.tif", {30, 20, false, 1}},
      {"a\x1b]0;title\x07.tif", {20, 20, false, 1}},
      {"b\r\nfake.tif", {20, 20, false, 1}},
      {"c\xc2\x9b"
       "2J.tif",
       {20, 20, false, 1}},
  };
  for (const auto& [name, layout] : pages) ASSERT_TRUE(WriteScan(dir / name, layout, layout.Width));
  std::vector<std::uint8_t> noise(97 * 64);
  std::mt19937 random(7);
  for (auto& p : noise) p = static_cast<std::uint8_t>(random());
  ASSERT_TRUE(WriteScanTiff((dir / "noise.tif").c_str(), {97, 64, false, 1, 0}, noise));
  fs::copy_file(VALDRANE_DEMO_DIR "/page.tif", dir / "demo.tif");
  fs::permissions(dir / "demo.tif", fs::perms::owner_write, fs::perm_options::add);
  fs::permissions(dir / "grey.tif",
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::permissions(dir / "locked.tif", fs::perms::owner_read);
  fs::create_symlink(store / "target.tif", dir / "link.tif");
  fs::create_symlink(store / "missing.tif", dir / "dangling.tif");
  fs::create_directory(dir / "folder.tif");
  PutBytes(dir / "text.tif", {'I', 'I', '*', '\0', 'x'});
  PutBytes(dir / "page.tiff", {'a'});
  // What killed runs leave is removed; what only looks like it is kept.
  PutBytes(dir / ".valdrane-Ab12Cd", {'x'});
  PutBytes(dir / ".valdrane-Ab12C", {'x'});
  fs::create_directory(dir / ".valdrane-Zz99Yy");
  PutBytes(store / "outside", {'x'});
  fs::create_symlink(store / "outside", dir / ".valdrane-Qq11Ww");
  const auto before = Contents(dir);
  std::map<std::string, std::vector<std::uint8_t>> expected;
  for (const auto& [name, bytes] : before) {
    TFileInfo info;
    if (name.size() > 4 && name.substr(name.size() - 4) != "tiff" && ReadFileInfo(dir / name, info))
      expected[name] = PlainFlatten(info.Width, info.Height, info.Photometric == 2, info.Pixels);
  }
  expected.erase("locked.tif");

  const TToolRun run = RunTool(dir);
  ASSERT_TRUE(ExitedWith(run, 0));
  EXPECT_EQ(run.Out.rfind(Banner, 0), 0u);
  std::map<std::string, std::string> outcomes = {{"locked.tif", "write error"},
                                                 {"dangling.tif", "read error"},
                                                 {"folder.tif", "read error"},
                                                 {"text.tif", "read error"}};
  for (const auto& [name, pixels] : expected) outcomes[name] = "done";
  ASSERT_EQ(run.Entries.size(), outcomes.size()) << run.Out;
  for (const auto& [name, outcome] : outcomes) {
    SCOPED_TRACE(name);
    std::string shown;  // control characters, C1 ones in UTF-8 too, as \xHH
    for (std::size_t i = 0; i < name.size(); ++i) {
      const auto c = static_cast<unsigned char>(name[i]);
      const bool c1 = c == 0xC2 && static_cast<unsigned char>(name[i + 1]) < 0xA0;
      char hex[9];
      std::snprintf(hex, sizeof hex, c1 ? "\\x%02X\\x%02X" : "\\x%02X", c,
                    static_cast<unsigned char>(name[i + 1]));
      shown += c < 0x20 || c == 0x7F || c1 ? hex : name.substr(i, 1);
      i += c1;
    }
    const TEntry& entry = run.Entries.at(shown);
    EXPECT_EQ(entry.Outcome, outcome);
    if (outcome == "read error") {
      EXPECT_TRUE(entry.Labels.empty());
    }
    if (outcome != "done") continue;
    TFileInfo info;
    ASSERT_TRUE(ReadFileInfo(dir / name, info));
    EXPECT_EQ(entry.Labels, info.Photometric == 2 ? ColourLabels : GreyLabels);
    EXPECT_TRUE(info.Pixels == expected[name]);
  }
  EXPECT_EQ(FileBytes(dir / "locked.tif"), before.at("locked.tif"));
  EXPECT_EQ(FileBytes(dir / "page.tiff"), before.at("page.tiff"));
  EXPECT_EQ(fs::status(dir / "grey.tif").permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(fs::read_symlink(dir / "link.tif"), store / "target.tif");
  EXPECT_FALSE(fs::exists(dir / ".valdrane-Ab12Cd"));
  EXPECT_EQ(Listing(dir).size(), outcomes.size() + 4) << "an entry was made or lost";
  EXPECT_EQ(Listing(store).size(), 2u);
}

// Files the tool cannot write back exactly, and hostile ones: each is a read
// error (a write error where libtiff decodes the compression but cannot
// encode it) and stays byte-identical; the good page among them is done. A
// header declaring a huge page over a few bytes must not fill memory.
TEST_F(Tool, RefusedAndHostileFilesAreKept) {
  using TTags = std::map<std::uint16_t, std::uint32_t>;
  const TTags grey = {{256, 8}, {257, 8}, {258, 8}, {259, 1},
                      {262, 1}, {273, 8}, {277, 1}, {279, 64}};
  const std::pair<const char*, TTags> changes[] = {
      {"16-bits", {{258, 16}, {279, 128}}},
      {"two-samples", {{277, 2}, {279, 128}}},
      {"rgb-one-sample", {{262, 2}}},
      {"rgba", {{262, 2}, {277, 4}, {279, 256}}},
      {"separate-planes", {{262, 2}, {277, 3}, {284, 2}}},
      {"white-is-zero", {{262, 0}}},
      {"cmyk", {{262, 5}, {277, 4}, {279, 256}}},
      {"signed", {{339, 2}}},
      {"tiled", {{322, 16}, {323, 16}, {324, 8}, {325, 64}}},
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
  ASSERT_TRUE(WriteRawTiff(dir / "two-pages.tif", grey, std::vector<std::uint8_t>(64, 9), 2));
  for (const auto& [name, compression] : {std::pair{"cut-deflate.tif", 8}, {"cut-jpeg.tif", 7}}) {
    ASSERT_TRUE(
        WriteScan(dir / name, {256, 256, false, static_cast<std::uint16_t>(compression), 16}));
    TBytes bytes = FileBytes(dir / name);
    std::fill(bytes.begin() + 1000, bytes.begin() + 3000, '\0');  // the directory is at the end
    PutBytes(dir / name, bytes);
  }
  fs::copy_file(VALDRANE_TEST_DATA "/old-jpeg.tif", dir / "old-jpeg.tif");
  PutBytes(dir / "empty.tif", {});
  ASSERT_EQ(mkfifo((dir / "pipe.tif").c_str(), 0644), 0);  // opening it would wait forever
  ASSERT_TRUE(WriteScan(dir / "good.tif", {120, 90, true, 5, 16}));
  const auto before = Contents(dir);

  const TToolRun run = RunTool(dir);
  ASSERT_TRUE(ExitedWith(run, 0));
  ASSERT_EQ(run.Entries.size(), before.size() + 1) << run.Out;
  EXPECT_EQ(run.Entries.at("pipe.tif").Outcome, "read error");
  for (const auto& [name, bytes] : before) {
    SCOPED_TRACE(name);
    EXPECT_EQ(run.Entries.at(name).Outcome, name == "good.tif"       ? "done"
                                            : name == "old-jpeg.tif" ? "write error"
                                                                     : "read error");
    if (name != "good.tif") {
      EXPECT_TRUE(FileBytes(dir / name) == bytes);
    }
  }
  EXPECT_EQ(Listing(dir).size(), before.size() + 1);
#if !defined(__SANITIZE_THREAD__)  // its shadow memory follows the address space
  EXPECT_LT(run.PeakKiB, 400 * 1024) << "the huge pages' planes would take 3.6 GB filled";
#endif
}

// The disk fills up while a page is written: that page is a write error and
// kept, no temporary file stays, the next page is done.
TEST_F(Tool, DiskFullWhileWritingKeepsThePage) {
  ASSERT_TRUE(WriteScan(dir / "grey.tif", {1600, 1200, false, 1, 64}));
  ASSERT_TRUE(WriteScan(dir / "colour.tif", {900, 700, true, 1, 64}));
  ASSERT_TRUE(WriteScan(dir / "small.tif", {60, 40, false, 5, 64}));
  const auto before = Contents(dir);
  const TToolRun run = RunTool(dir, [] {
    setenv("VALDRANE_THREADS", "3", 1);
    signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG
    const struct rlimit limit = {1 << 20, 1 << 20};
    setrlimit(RLIMIT_FSIZE, &limit);
  });
  ASSERT_TRUE(ExitedWith(run, 0));
  EXPECT_EQ(run.Entries.at("grey.tif").Outcome, "write error");
  EXPECT_EQ(run.Entries.at("colour.tif").Outcome, "write error");
  EXPECT_EQ(run.Entries.at("small.tif").Outcome, "done");
  const auto after = Contents(dir);
  EXPECT_TRUE(after.at("grey.tif") == before.at("grey.tif"));
  EXPECT_TRUE(after.at("colour.tif") == before.at("colour.tif"));
  EXPECT_FALSE(after.at("small.tif") == before.at("small.tif"));
  EXPECT_EQ(Listing(dir).size(), 3u) << "a temporary file was left behind";
}

// Killed at random moments, over and over: every page is always either its
// old bytes or exactly what an uninterrupted run writes.
TEST_F(Tool, KilledAtAnyMomentEveryPageIsOldOrNew) {
  const fs::path originals = top / "originals";
  fs::create_directory(originals);
  ASSERT_TRUE(WriteScan(originals / "g-none.tif", {700, 500, false, 1, 64}));
  ASSERT_TRUE(WriteScan(originals / "g-lzw.tif", {640, 480, false, 5, 16}));
  ASSERT_TRUE(WriteScan(originals / "g-zip.tif", {500, 700, false, 8, 1}));
  ASSERT_TRUE(WriteScan(originals / "c-none.tif", {400, 300, true, 1, 7}));
  ASSERT_TRUE(WriteScan(originals / "c-lzw.tif", {500, 400, true, 5, 64}));
  ASSERT_TRUE(WriteScan(originals / "c-packbits.tif", {333, 444, true, 32773, 444}));
  const auto old = Contents(originals);
  auto fresh = [&] {
    fs::remove_all(dir);
    fs::copy(originals, dir);
  };
  fresh();
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(ExitedWith(RunTool(dir), 0));
  const auto longest = std::chrono::duration_cast<std::chrono::microseconds>(
      (std::chrono::steady_clock::now() - start) * 1.2);
  const auto done = Contents(dir);

  std::mt19937 random(2026);
  int midBatch = 0;
  for (int round = 0; round < 60; ++round) {
    fresh();
    const pid_t pid = StartTool(dir, [] { setenv("VALDRANE_THREADS", "3", 1); });
    std::this_thread::sleep_for(std::chrono::microseconds(random() % longest.count()));
    kill(pid, SIGKILL);
    WaitTool(pid, dir);
    std::size_t rewritten = 0;
    for (const std::string& name : Listing(dir)) {
      SCOPED_TRACE(std::to_string(round) + ": " + name);
      if (name.rfind(".valdrane-", 0) == 0 && name.find(".tif") == std::string::npos) continue;
      ASSERT_EQ(old.count(name), 1u) << "an entry the run should not have made";
      const TBytes bytes = FileBytes(dir / name);
      EXPECT_TRUE(bytes == old.at(name) || bytes == done.at(name)) << "page damaged";
      rewritten += bytes == done.at(name);
    }
    midBatch += rewritten > 0 && rewritten < old.size();
  }
  EXPECT_GT(midBatch, 0) << "no kill landed inside the batch";
}

// A writable page in a folder where no file may be created cannot be
// replaced safely: a write error, the page kept. Run as an ordinary user,
// since the superuser may create files anywhere; that user runs a copy of
// the tool, which may sit where they cannot reach it.
TEST_F(Tool, WritablePageInReadOnlyFolderIsKept) {
  ASSERT_TRUE(WriteScan(dir / "page.tif", {80, 60, false, 5, 64}));
  const TBytes before = FileBytes(dir / "page.tif");
  const bool root = geteuid() == 0;
  fs::path program = VALDRANE_BINARY;
  if (root) {
    ASSERT_EQ(chown(dir.c_str(), 65534, 65534) | chown((dir / "page.tif").c_str(), 65534, 65534),
              0);
    fs::permissions(top, fs::perms::all, fs::perm_options::add);
    fs::copy_file(VALDRANE_BINARY, program = top / "valdrane");
  }
  fs::permissions(dir, fs::perms::all & ~fs::perms::owner_write & ~fs::perms::group_write &
                           ~fs::perms::others_write);
  const TToolRun run = RunTool(
      dir,
      [root] {
        if (root && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(97);
      },
      program);
  ASSERT_TRUE(ExitedWith(run, 0));
  EXPECT_EQ(run.Entries.at("page.tif").Outcome, "write error");
  EXPECT_TRUE(FileBytes(dir / "page.tif") == before);
  EXPECT_EQ(Listing(dir).size(), 1u);
}

// A page too large for the memory the run may use is that page's read
// error; the run goes on.
TEST_F(Tool, APageThatDoesNotFitInMemoryFailsAlone) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers need more address space than the limit allows";
#endif
  ASSERT_TRUE(WriteScanTiff((dir / "big.tif").c_str(), {10000, 10000, false, 8, 0},
                            std::vector<std::uint8_t>(100000000, 200)));
  ASSERT_TRUE(WriteScan(dir / "small.tif", {60, 40, false, 5, 16}));
  const TBytes big = FileBytes(dir / "big.tif");
  const TToolRun run = RunTool(dir, [] {
    const struct rlimit limit = {90000 << 10, 90000 << 10};
    setrlimit(RLIMIT_AS, &limit);
  });
  ASSERT_TRUE(ExitedWith(run, 0)) << run.Err;
  EXPECT_EQ(run.Entries.at("big.tif").Outcome, "read error");
  EXPECT_EQ(run.Entries.at("small.tif").Outcome, "done");
  EXPECT_TRUE(FileBytes(dir / "big.tif") == big);
}

// A fault or a stop signal ends the run: the report gathered so far, one
// line on standard error, no temporary file left, each page old or new.
TEST_F(Tool, FaultsAndStopSignalsEndTheRunCleanly) {
  const struct {
    int signal;
    const char* message;
  } cases[] = {{SIGSEGV, "valdrane: fatal fault: access violation\r\n"},
               {SIGTERM, "valdrane: stopped by SIGTERM\r\n"},
               {SIGINT, "valdrane: stopped by SIGINT\r\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    fs::remove_all(dir);
    fs::create_directory(dir);
    for (int i = 0; i < 40; ++i) {
      ASSERT_TRUE(WriteScan(dir / (std::to_string(i) + ".tif"), {600, 600, false, 8, 64}));
    }
    const auto start = fs::last_write_time(dir / "39.tif");  // the newest page
    // Sent while a page is being written, a few pages into the run.
    const pid_t pid = StartTool(dir);
    bool writing = false;
    for (int wait = 0; !writing && wait < 20000; ++wait) {
      int replaced = 0;
      for (const std::string& name : Listing(dir)) {
        std::error_code gone;
        writing |= name.rfind(".valdrane-", 0) == 0;
        replaced += name.back() == 'f' && fs::last_write_time(dir / name, gone) > start;
      }
      writing &= replaced >= 4;
      if (!writing) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    kill(pid, c.signal);
    const TToolRun run = WaitTool(pid, dir);
    ASSERT_TRUE(writing);
    if (c.signal == SIGSEGV) {
      EXPECT_TRUE(ExitedWith(run, 1)) << "the run ended before the fault was sent";
    } else {
      EXPECT_TRUE(WIFSIGNALED(run.Status) && WTERMSIG(run.Status) == c.signal) << run.Status;
    }
    EXPECT_EQ(run.Err, c.message);
    EXPECT_EQ(run.Out.rfind(Banner, 0), 0u);
    // The pages done, whole, in listing order, and nothing else.
    const std::size_t entries = run.Out.find(".tif\r\n");
    EXPECT_NE(entries, std::string::npos) << "the report of the pages done was lost";
    EXPECT_EQ(run.Out.substr(run.Out.size() - 6), ".tif\r\n") << run.Out;
    const std::vector<std::string> left = Listing(dir);
    EXPECT_EQ(left.size(), 40u) << "a temporary file was left: " << ::testing::PrintToString(left);
  }
}

// Someone sharing the folder acts at the exact moment (a preloaded library
// does it for the test): a link re-pointed once the page has been opened,
// a link put where the temporary file is about to be. Neither redirects a
// write: nothing outside the folder changes, no page becomes a link.
TEST_F(Tool, RacesInASharedFolderCannotRedirectAWrite) {
  const fs::path store = top / "store";
  fs::create_directory(store);
  PutBytes(store / "outside", {'k', 'e', 'e', 'p'});
  const std::string outside = (store / "outside").string();
  for (const std::string& race : {std::string("repoint:link.tif:b.tif"), "swap-temp:" + outside}) {
    SCOPED_TRACE(race);
    fs::remove_all(dir);
    fs::create_directory(dir);
    std::map<std::string, std::vector<std::uint8_t>> expected;
    for (const char* name : {"a.tif", "b.tif"}) {
      TFileInfo info;
      ASSERT_TRUE(WriteScan(dir / name, {120, 90, false, 5, 16}, name[0]) &&
                  ReadFileInfo(dir / name, info));
      expected[name] = PlainFlatten(120, 90, false, info.Pixels);
    }
    ASSERT_TRUE(WriteScan(store / "a.tif", {120, 90, false, 5, 16}, 'a'));
    fs::create_symlink(store / "a.tif", dir / "link.tif");
    const TToolRun run = RunTool(dir, [&race] {
      setenv("VALDRANE_THREADS", "1", 1);  // one page at a time: the race acts once
      setenv("VALDRANE_RACE", race.c_str(), 1);
      setenv("LD_PRELOAD", VALDRANE_RACE_PRELOAD, 1);
      setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
    });
    ASSERT_TRUE(ExitedWith(run, 0));
    EXPECT_EQ(run.Entries.at("link.tif").Outcome, race[0] == 'r' ? "write error" : "done");
    for (const auto& [name, pixels] : expected) {
      TFileInfo info;
      EXPECT_FALSE(fs::is_symlink(dir / name)) << name;
      EXPECT_TRUE(ReadFileInfo(dir / name, info) && info.Pixels == pixels) << name;
    }
    EXPECT_EQ(FileBytes(store / "outside"), TBytes({'k', 'e', 'e', 'p'}));
  }
}

// The same bytes and the same report (figures aside) with any number of
// threads, for every compression the tool writes and every strip layout.
TEST_F(Tool, SameBytesAndReportWithAnyNumberOfThreads) {
  const fs::path originals = top / "originals";
  fs::create_directory(originals);
  for (const int compression : {1, 5, 8, 32773, 50000, 34925, 7}) {
    // One strip, a row each (eight for JPEG), a short last one.
    for (const std::uint32_t rows : {0u, compression == 7 ? 8u : 1u, 64u}) {
      for (const bool colour : {false, true}) {
        const std::string name = std::to_string(compression) + "-" + std::to_string(rows) +
                                 (colour ? "-c.tif" : "-g.tif");
        ASSERT_TRUE(WriteScan(originals / name,
                              {200, 120, colour, static_cast<std::uint16_t>(compression), rows}));
      }
    }
  }
  std::map<std::string, TBytes> first;
  std::string firstReport;
  for (const char* threads : {"1", "2", "3", "8"}) {
    SCOPED_TRACE(threads);
    fs::remove_all(dir);
    fs::copy(originals, dir);
    const TToolRun run = RunTool(dir, [threads] { setenv("VALDRANE_THREADS", threads, 1); });
    ASSERT_TRUE(ExitedWith(run, 0));
    const std::string report = std::regex_replace(run.Out, std::regex("[0-9]+\\.[0-9]{3}"), "");
    if (first.empty()) first = Contents(dir), firstReport = report;
    EXPECT_TRUE(Contents(dir) == first);
    EXPECT_EQ(report, firstReport);
  }
  std::size_t done = 0;
  for (std::size_t at = 0; (at = firstReport.find("\ntotal ", at)) != std::string::npos; ++at) ++done;
  EXPECT_EQ(done, 42u) << firstReport;
}
