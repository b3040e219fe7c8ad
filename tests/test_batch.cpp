// The built program run in a folder of pages, as a user runs it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "reference_pipeline.h"
#include "synthetic_scan.h"
#include "tiff_fixture.h"
#include "tool_run.h"

namespace fs = std::filesystem;

namespace {

// A 12 x 10 page of paper (200) with a dark margin (20) along the left edge
// and an enclosed block (100) in the middle, grey or in colour.
TFixture MarginAndBlock(bool colour, const std::uint8_t block[3]) {
  TFixture f;
  f.Width = 12;
  f.Height = 10;
  f.RowsPerStrip = 3;
  const std::uint32_t samples = colour ? 3 : 1;
  f.Photometric = colour ? 2 : 1;
  f.SamplesPerPixel = static_cast<std::uint16_t>(samples);
  f.Compression = colour ? 5 : 8;
  f.XResolution = f.YResolution = 300;
  f.ResolutionUnit = 2;
  for (std::uint32_t y = 0; y < f.Height; ++y) {
    for (std::uint32_t x = 0; x < f.Width; ++x) {
      for (std::uint32_t s = 0; s < samples; ++s) {
        const bool inBlock = x >= 6 && x < 8 && y >= 4 && y < 6;
        f.Pixels.push_back(x < 2 ? 20 : inBlock ? block[s] : 200);
      }
    }
  }
  return f;
}

// The same page flattened: margin and paper white, the block as given.
std::vector<std::uint8_t> Flattened(bool colour, const std::uint8_t block[3]) {
  std::vector<std::uint8_t> pixels;
  const std::uint32_t samples = colour ? 3 : 1;
  for (std::uint32_t y = 0; y < 10; ++y) {
    for (std::uint32_t x = 0; x < 12; ++x) {
      for (std::uint32_t s = 0; s < samples; ++s) {
        pixels.push_back(x >= 6 && x < 8 && y >= 4 && y < 6 ? block[s] : 255);
      }
    }
  }
  return pixels;
}

class Batch : public ::testing::Test {
 protected:
  void SetUp() override {
    top = MakeTempDir();
    dir = top / "pages";
    fs::create_directory(dir);
  }
  void TearDown() override { fs::remove_all(top); }
  std::string Stderr() const {
    const std::vector<char> bytes = FileBytes(top / "stderr.txt");
    return {bytes.begin(), bytes.end()};
  }
  fs::path top;
  fs::path dir;
};

}  // namespace

TEST_F(Batch, EmptyFolderPrintsTheBannerOnly) {
  std::ofstream(dir / "notes.txt") << "x";
  const TRun run = RunTool(dir);
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "Valdrane v.0.3 alpha\r\n______20.05.2007._______________\r\n");
}

TEST_F(Batch, FlattensEveryPageAndReportsEachEntry) {
  const std::uint8_t greyBlock[3] = {100, 100, 100};
  const std::uint8_t colourBlock[3] = {120, 90, 80};  // grey 98: 124 on paper 200, gain 26
  const std::uint8_t greyDone[3] = {127, 127, 127};
  const std::uint8_t colourDone[3] = {146, 116, 106};

  ASSERT_TRUE(WriteFixture(dir / "grey.tif", MarginAndBlock(false, greyBlock)));
  ASSERT_TRUE(WriteFixture(dir / "COLOUR.TIF", MarginAndBlock(true, colourBlock)));
  ASSERT_TRUE(WriteFixture(dir / ".hidden.tif", MarginAndBlock(false, greyBlock)));
  ASSERT_TRUE(WriteFixture(dir / "-odd name é.tif", MarginAndBlock(false, greyBlock)));
  ASSERT_TRUE(WriteFixture(dir / "locked.tif", MarginAndBlock(false, greyBlock)));
  fs::permissions(dir / "locked.tif", fs::perms::owner_read);
  ASSERT_TRUE(WriteFixture(dir / "page.tiff", MarginAndBlock(false, greyBlock)));
  std::ofstream(dir / "text.tif") << "not an image";
  fs::create_directory(dir / "folder.tif");
  const std::vector<char> lockedBytes = FileBytes(dir / "locked.tif");
  TFixture deep = MarginAndBlock(false, greyBlock);
  deep.BitsPerSample = 16;
  deep.Pixels.clear();
  ASSERT_TRUE(WriteFixture(dir / "deep.tif", deep));  // refused: 16 bits per sample
  const std::vector<char> tiffBytes = FileBytes(dir / "page.tiff");
  const std::vector<char> deepBytes = FileBytes(dir / "deep.tif");

  const TRun run = RunTool(dir);
  EXPECT_EQ(run.exitCode, 0);
  const std::vector<std::string> lines = SplitCrlf(run.out);
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "Valdrane v.0.3 alpha");
  EXPECT_EQ(lines[1], "______20.05.2007._______________");

  std::map<std::string, TEntry> entries = ParseEntries(lines);
  ASSERT_EQ(entries.size(), 8u) << run.out;
  for (const char* name : {"grey.tif", ".hidden.tif", "-odd name é.tif"}) {
    EXPECT_EQ(entries[name].outcome, "done") << name;
    EXPECT_EQ(entries[name].labels, GreyLabels) << name;
  }
  EXPECT_EQ(entries["COLOUR.TIF"].outcome, "done");
  EXPECT_EQ(entries["COLOUR.TIF"].labels, ColourLabels);
  EXPECT_EQ(entries["locked.tif"].outcome, "write error");
  EXPECT_EQ(entries["locked.tif"].labels,
            std::vector<std::string>(GreyLabels.begin(), GreyLabels.end() - 2));
  for (const char* name : {"text.tif", "folder.tif", "deep.tif"}) {
    EXPECT_EQ(entries[name].outcome, "read error") << name;
    EXPECT_TRUE(entries[name].labels.empty()) << name;
  }

  for (const char* name : {"grey.tif", ".hidden.tif", "-odd name é.tif"}) {
    TFileInfo info;
    ASSERT_TRUE(ReadFileInfo(dir / name, info)) << name;
    EXPECT_EQ(info.Pixels, Flattened(false, greyDone)) << name;
    EXPECT_EQ(info.Compression, 8);
    EXPECT_EQ(info.RowsPerStrip, 3u);
  }
  TFileInfo colour;
  ASSERT_TRUE(ReadFileInfo(dir / "COLOUR.TIF", colour));
  EXPECT_EQ(colour.Pixels, Flattened(true, colourDone));
  EXPECT_EQ(colour.Photometric, 2);
  EXPECT_EQ(colour.Compression, 5);
  EXPECT_EQ(colour.XResolution, 300.0f);

  EXPECT_EQ(FileBytes(dir / "locked.tif"), lockedBytes);
  EXPECT_EQ(FileBytes(dir / "page.tiff"), tiffBytes);
  EXPECT_EQ(FileBytes(dir / "deep.tif"), deepBytes);
  std::size_t entriesLeft = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir)) ++entriesLeft;
  EXPECT_EQ(entriesLeft, 9u) << "a temporary file was left behind";
}

TEST_F(Batch, PagesUnderTwoPixelsComeOutUnchanged) {
  TFixture thin;
  thin.Width = 1;
  thin.Height = 6;
  thin.Pixels = {0, 40, 80, 120, 200, 255};
  ASSERT_TRUE(WriteFixture(dir / "thin.tif", thin));
  const TRun run = RunTool(dir);
  EXPECT_EQ(ParseEntries(SplitCrlf(run.out))["thin.tif"].labels, GreyLabels);
  TFileInfo info;
  ASSERT_TRUE(ReadFileInfo(dir / "thin.tif", info));
  EXPECT_EQ(info.Pixels, thin.Pixels);
}

// Memory running out ends the run: the report so far, one message on
// standard error, exit code 1, and the page left as it was.
TEST_F(Batch, RunningOutOfMemoryEndsTheRunWithExitCode1) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit allows";
#endif
  TFixture big;
  big.Width = 10000;
  big.Height = 10000;
  big.Pixels.assign(std::size_t{big.Width} * big.Height, 200);
  ASSERT_TRUE(WriteFixture(dir / "big.tif", big));
  big.Pixels.clear();
  big.Pixels.shrink_to_fit();
  const std::vector<char> bytes = FileBytes(dir / "big.tif");

  const TRun run = RunTool(dir, "ulimit -v 90000");
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, "Valdrane v.0.3 alpha\r\n______20.05.2007._______________\r\n");
  EXPECT_EQ(Stderr(), "valdrane: fatal fault: out of memory\r\n");
  EXPECT_TRUE(FileBytes(dir / "big.tif") == bytes);
}

// The tool's output, byte for byte, against the plain implementation, on
// the demo scan and on synthetic scans of every layout: grey and colour,
// odd and even sizes, several compressions and strip arrangements, and a
// noise page on which the reconstruction stops early.
TEST_F(Batch, OutputEqualsThePlainImplementation) {
  struct Page {
    const char* name;
    std::uint32_t width, height, rowsPerStrip;
    bool colour;
    std::uint16_t compression;
  };
  const Page pages[] = {
      {"scan-grey.tif", 640, 480, 16, false, 5}, {"scan-colour.tif", 333, 257, 7, true, 8},
      {"odd-grey.tif", 201, 99, 99, false, 1},   {"odd-colour.tif", 99, 201, 1, true, 32773},
      {"wide.tif", 517, 3, 2, false, 8},         {"tall.tif", 2, 77, 10, true, 1},
  };
  for (const Page& p : pages) {
    TFixture f;
    f.Width = p.width;
    f.Height = p.height;
    f.RowsPerStrip = p.rowsPerStrip;
    f.Compression = p.compression;
    f.Photometric = p.colour ? 2 : 1;
    f.SamplesPerPixel = p.colour ? 3 : 1;
    f.Pixels = SyntheticScan(p.width, p.height, p.colour, p.width * 31 + p.height);
    ASSERT_TRUE(WriteFixture(dir / p.name, f));
  }
  TFixture noise;
  noise.Width = 97;
  noise.Height = 64;
  noise.Pixels = RandomBytes(97 * 64, 7);
  ASSERT_TRUE(WriteFixture(dir / "noise.tif", noise));
  fs::copy_file(VALDRANE_DEMO_DIR "/page.tif", dir / "demo.tif");
  fs::permissions(dir / "demo.tif", fs::perms::owner_write, fs::perm_options::add);

  std::map<std::string, std::vector<std::uint8_t>> expected;
  for (const auto& entry : fs::directory_iterator(dir)) {
    ASSERT_TRUE(ReferenceFlatten(entry.path(), expected[entry.path().filename()]));
  }
  const TRun run = RunTool(dir);
  const std::map<std::string, TEntry> entries = ParseEntries(SplitCrlf(run.out));
  ASSERT_EQ(entries.size(), expected.size()) << run.out;
  for (const auto& [name, pixels] : expected) {
    SCOPED_TRACE(name);
    EXPECT_EQ(entries.at(name).outcome, "done");
    TFileInfo info;
    ASSERT_TRUE(ReadFileInfo(dir / name, info));
    EXPECT_TRUE(info.Pixels == pixels);
  }
}

// An access fault ends the run the same way: the report gathered so far is
// written out, one message goes to standard error, and the exit code is 1.
TEST_F(Batch, AccessFaultEndsTheRunWithExitCode1) {
  TFixture f;
  f.Width = 300;
  f.Height = 300;
  f.Compression = 8;
  std::map<std::string, ino_t> inodes;
  for (int i = 0; i < 300; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "p%d.tif", i);
    ASSERT_TRUE(WriteFixture(dir / name, f));
    struct stat st;
    ASSERT_EQ(stat((dir / name).c_str(), &st), 0);
    inodes[name] = st.st_ino;
  }

  const pid_t child = StartTool(dir, top / "stdout.txt", top / "stderr.txt");
  ASSERT_GT(child, 0);
  // Once a page has been replaced the tool is running its batch, past its
  // start-up; then the fault arrives.
  bool replaced = false;
  for (int wait = 0; !replaced && wait < 20000; ++wait) {
    for (const auto& [name, inode] : inodes) {
      struct stat st;
      if (stat((dir / name).c_str(), &st) == 0 && st.st_ino != inode) replaced = true;
    }
    if (!replaced) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ASSERT_TRUE(replaced);
  kill(child, SIGSEGV);
  const int status = WaitTool(child);

  ASSERT_TRUE(WIFEXITED(status)) << "the run finished before the fault could be sent";
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_EQ(Stderr(), "valdrane: fatal fault: access violation\r\n");
  const std::vector<char> out = FileBytes(top / "stdout.txt");
  const std::string report(out.begin(), out.end());
  EXPECT_EQ(report.rfind("Valdrane v.0.3 alpha\r\n______20.05.2007._______________\r\n", 0), 0u);
  // A page was being written, so its stage lines through "div" were gathered.
  EXPECT_NE(report.find("\r\ndiv "), std::string::npos) << "the gathered report was lost";
}
