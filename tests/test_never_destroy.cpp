// The tool under faults: a full disk, kills at random moments, entries that
// change under it, awkward names and permissions, hostile files. Whatever
// happens, each page is either completely rewritten or byte-identical, and
// one bad entry never stops the others.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform.h"
#include "synthetic_scan.h"
#include "tiff_fixture.h"
#include "tool_run.h"

namespace fs = std::filesystem;

namespace {

using TBytes = std::vector<char>;

// A synthetic scan of the given layout written to `path`.
void WriteScan(const fs::path& path, std::uint32_t width, std::uint32_t height, bool colour,
               std::uint16_t compression, std::uint32_t rowsPerStrip = 64) {
  TFixture f;
  f.Width = width;
  f.Height = height;
  f.Photometric = colour ? 2 : 1;
  f.SamplesPerPixel = colour ? 3 : 1;
  f.Compression = compression;
  f.RowsPerStrip = rowsPerStrip;
  f.Pixels = SyntheticScan(width, height, colour, width + height + compression);
  ASSERT_TRUE(WriteFixture(path, f));
}

// Names in `dir`, in the order the directory lists them (the tool's order).
std::vector<std::string> ListingOrder(const fs::path& dir) {
  std::vector<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (const dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  closedir(d);
  return names;
}

// Bytes of every regular file in `dir`, by name.
std::map<std::string, TBytes> Contents(const fs::path& dir) {
  std::map<std::string, TBytes> contents;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.is_regular_file()) contents[entry.path().filename()] = FileBytes(entry.path());
  }
  return contents;
}

void CopyFolder(const fs::path& from, const fs::path& to) {
  fs::remove_all(to);
  fs::copy(from, to);
}

std::string Report(const fs::path& file) {
  const TBytes bytes = FileBytes(file);
  return {bytes.begin(), bytes.end()};
}

class NeverDestroy : public ::testing::Test {
 protected:
  void SetUp() override {
    top = MakeTempDir();
    dir = top / "pages";
    fs::create_directory(dir);
  }
  void TearDown() override {
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(top);
  }
  // Runs the tool in `dir` to its end, with `inChild` run before it starts.
  std::map<std::string, TEntry> Run(const std::function<void()>& inChild = {},
                                    struct rusage* usage = nullptr,
                                    const fs::path& program = VALDRANE_BINARY) {
    const pid_t pid = StartTool(dir, top / "out.txt", top / "err.txt", inChild, program);
    EXPECT_GT(pid, 0);
    const int status = WaitTool(pid, usage);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    return ParseEntries(SplitCrlf(Report(top / "out.txt")));
  }
  fs::path top;
  fs::path dir;
};

}  // namespace

// The disk fills up while a page is written: that page is reported as a
// write error and kept, no temporary file stays, the next page goes on.
TEST_F(NeverDestroy, DiskFullWhileWritingKeepsThePage) {
  WriteScan(dir / "grey.tif", 1600, 1200, false, 1);
  WriteScan(dir / "colour.tif", 900, 700, true, 1);
  WriteScan(dir / "small.tif", 60, 40, false, 5);
  const std::map<std::string, TBytes> before = Contents(dir);

  const auto entries = Run([] {
    signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG
    const struct rlimit limit = {1 << 20, 1 << 20};
    setrlimit(RLIMIT_FSIZE, &limit);
  });
  const std::map<std::string, TBytes> after = Contents(dir);

  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries.at("grey.tif").outcome, "write error");
  EXPECT_EQ(entries.at("colour.tif").outcome, "write error");
  EXPECT_EQ(entries.at("small.tif").outcome, "done");
  EXPECT_TRUE(after.at("grey.tif") == before.at("grey.tif"));
  EXPECT_TRUE(after.at("colour.tif") == before.at("colour.tif"));
  EXPECT_FALSE(after.at("small.tif") == before.at("small.tif"));
  EXPECT_EQ(ListingOrder(dir).size(), 3u) << "a temporary file was left behind";
}

// Killed at random moments, over and over: every page is always either its
// old bytes or exactly what an uninterrupted run writes.
TEST_F(NeverDestroy, KilledAtAnyMomentEveryPageIsOldOrNew) {
  const fs::path originals = top / "originals";
  fs::create_directory(originals);
  WriteScan(originals / "g-none.tif", 700, 500, false, 1);
  WriteScan(originals / "g-lzw.tif", 640, 480, false, 5, 16);
  WriteScan(originals / "g-zip.tif", 500, 700, false, 8, 1);
  WriteScan(originals / "c-none.tif", 400, 300, true, 1, 7);
  WriteScan(originals / "c-lzw.tif", 500, 400, true, 5);
  WriteScan(originals / "c-packbits.tif", 333, 444, true, 32773, 444);
  const std::map<std::string, TBytes> old = Contents(originals);

  CopyFolder(originals, dir);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(Run().size(), old.size());
  const auto runTime = std::chrono::steady_clock::now() - start;
  const std::map<std::string, TBytes> fresh = Contents(dir);

  std::mt19937 random(2026);
  const auto longest = std::chrono::duration_cast<std::chrono::microseconds>(runTime * 1.2);
  int kills = 0, midBatch = 0, leftovers = 0;
  for (int round = 0; round < 60; ++round) {
    CopyFolder(originals, dir);
    const pid_t pid = StartTool(dir, top / "out.txt", top / "err.txt");
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::microseconds(random() % longest.count()));
    kill(pid, SIGKILL);
    const int status = WaitTool(pid);
    kills += WIFSIGNALED(status) ? 1 : 0;

    int rewritten = 0;
    for (const std::string& name : ListingOrder(dir)) {
      SCOPED_TRACE("round " + std::to_string(round) + ", " + name);
      if (!NameMatchesTif(name)) {  // the tool's own test of a page name
        EXPECT_EQ(name.rfind(".valdrane-", 0), 0u);
        ++leftovers;
        continue;
      }
      const TBytes bytes = FileBytes(dir / name);
      ASSERT_TRUE(old.count(name) == 1) << "an entry the run should not have made";
      EXPECT_TRUE(bytes == old.at(name) || bytes == fresh.at(name)) << "page damaged";
      rewritten += bytes == fresh.at(name) ? 1 : 0;
    }
    midBatch += rewritten > 0 && rewritten < static_cast<int>(old.size()) ? 1 : 0;
  }
  std::cout << kills << " kills, " << midBatch << " with some pages rewritten and some not, "
            << leftovers << " temporary files left\n";
  EXPECT_GT(midBatch, 0) << "no kill landed inside the batch";
}

// Entries that vanish or turn into something else after the listing: they
// are reported as read errors, nothing is created in their place, and the
// pages around them are done.
TEST_F(NeverDestroy, EntriesChangedDuringTheRun) {
  for (const char* name : {"a.tif", "b.tif", "c.tif", "d.tif"})
    WriteScan(dir / name, 50, 40, false, 1);
  // The page listed first is made slow to write; the others change while it is.
  const std::vector<std::string> order = ListingOrder(dir);
  const std::string& slow = order[0];
  const std::string& deleted = order[1];
  const std::string& folder = order[2];
  const std::string& kept = order[3];
  {
    TFixture f;
    f.Width = 1800;
    f.Height = 1800;
    f.Photometric = 2;
    f.SamplesPerPixel = 3;
    f.Compression = 8;
    f.RowsPerStrip = 64;
    f.Pixels = SyntheticScan(f.Width, f.Height, true, 5);
    // Rewritten where it stands, so the listing order stays as it is.
    ASSERT_TRUE(WriteFixture(top / "slow.tif", f));
    std::ofstream(dir / slow, std::ios::binary | std::ios::trunc)
        << std::ifstream(top / "slow.tif", std::ios::binary).rdbuf();
  }
  ASSERT_EQ(ListingOrder(dir), order);

  const pid_t pid = StartTool(dir, top / "out.txt", top / "err.txt");
  ASSERT_GT(pid, 0);
  bool writing = false;
  for (int wait = 0; !writing && wait < 20000; ++wait) {
    for (const std::string& name : ListingOrder(dir)) writing |= name.rfind(".valdrane-", 0) == 0;
    if (!writing) std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  ASSERT_TRUE(writing) << "never saw the first page being written";
  fs::remove(dir / deleted);
  fs::remove(dir / folder);
  fs::create_directory(dir / folder);
  const int status = WaitTool(pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  const auto entries = ParseEntries(SplitCrlf(Report(top / "out.txt")));
  EXPECT_EQ(entries.at(slow).outcome, "done") << "the page was written before the change";
  EXPECT_EQ(entries.at(deleted).outcome, "read error");
  EXPECT_EQ(entries.at(folder).outcome, "read error");
  EXPECT_EQ(entries.at(kept).outcome, "done");
  EXPECT_FALSE(fs::exists(dir / deleted));
  EXPECT_TRUE(fs::is_directory(dir / folder));
  EXPECT_EQ(ListingOrder(dir).size(), 3u);
}

// Read-only pages, links and odd names, all in one folder.
TEST_F(NeverDestroy, ReadOnlyPagesLinksAndOddNames) {
  const fs::path store = top / "store";
  fs::create_directory(store);
  WriteScan(dir / "read-only.tif", 80, 60, false, 5);
  fs::permissions(dir / "read-only.tif", fs::perms::owner_read | fs::perms::group_read);
  WriteScan(store / "target.tif", 80, 60, true, 8);
  fs::create_symlink(store / "target.tif", dir / "link.tif");
  fs::create_symlink(store / "missing.tif", dir / "dangling.tif");
  const std::string odd = "-n page \xfc\xe9 1.tif";  // spaces, Latin-1 bytes, a leading dash
  WriteScan(dir / odd, 80, 60, false, 1);
  const TBytes readOnly = FileBytes(dir / "read-only.tif");
  const TBytes target = FileBytes(store / "target.tif");
  const TBytes oddBefore = FileBytes(dir / odd);

  const auto entries = Run();
  ASSERT_EQ(entries.size(), 4u);
  EXPECT_EQ(entries.at("read-only.tif").outcome, "write error");
  EXPECT_EQ(entries.at("dangling.tif").outcome, "read error");
  EXPECT_EQ(entries.at("link.tif").outcome, "done");
  EXPECT_EQ(entries.at(odd).outcome, "done");

  EXPECT_TRUE(FileBytes(dir / "read-only.tif") == readOnly);
  EXPECT_TRUE(fs::is_symlink(dir / "link.tif"));
  EXPECT_EQ(fs::read_symlink(dir / "link.tif"), store / "target.tif");
  EXPECT_FALSE(FileBytes(store / "target.tif") == target);
  EXPECT_FALSE(FileBytes(dir / odd) == oddBefore);
  TFileInfo info;
  EXPECT_TRUE(ReadFileInfo(store / "target.tif", info));
  EXPECT_TRUE(ReadFileInfo(dir / odd, info));
  EXPECT_EQ(ListingOrder(dir).size(), 4u);
  EXPECT_EQ(ListingOrder(store).size(), 1u);
}

// A writable page in a folder where no file may be created cannot be
// replaced safely: it is a write error and the page stays as it was. Run as
// an ordinary user, since the superuser may create files anywhere.
TEST_F(NeverDestroy, WritablePageInReadOnlyFolderIsKept) {
  WriteScan(dir / "page.tif", 80, 60, false, 5);
  const TBytes before = FileBytes(dir / "page.tif");
  const bool root = geteuid() == 0;
  const uid_t nobody = 65534;
  // The built tool may sit where the other user cannot reach it (a home
  // folder); that user runs a copy in the test's own folder.
  fs::path program = VALDRANE_BINARY;
  if (root) {
    ASSERT_EQ(chown(dir.c_str(), nobody, nobody), 0);
    ASSERT_EQ(chown((dir / "page.tif").c_str(), nobody, nobody), 0);
    fs::permissions(top, fs::perms::all, fs::perm_options::add);
    program = top / "valdrane";
    fs::copy_file(VALDRANE_BINARY, program);
    fs::permissions(program, fs::perms::all, fs::perm_options::add);
  }
  fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                           fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
  const auto entries = Run(
      [root, nobody] {
        if (root && (setgid(nobody) != 0 || setuid(nobody) != 0)) _exit(97);
      },
      nullptr, program);
  EXPECT_EQ(entries.at("page.tif").outcome, "write error");
  EXPECT_TRUE(FileBytes(dir / "page.tif") == before);
  EXPECT_EQ(ListingOrder(dir).size(), 1u);
}

// Hostile and broken files: each is a read error (or a write error where
// libtiff can decode the compression but not encode it), each is left
// byte-identical, and the good page among them is done. A header that
// declares a huge page over a few bytes must not fill memory.
TEST_F(NeverDestroy, HostileFilesAreRefusedAndKept) {
  WriteScan(dir / "good.tif", 120, 90, true, 5);
  {  // compressed strips whose data was cut short
    WriteScan(dir / "truncated.tif", 200, 160, false, 8, 16);
    TBytes bytes = FileBytes(dir / "truncated.tif");
    std::fill(bytes.begin() + 8, bytes.begin() + 8 + static_cast<long>(bytes.size() / 2), '\0');
    std::ofstream(dir / "truncated.tif", std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  {  // JPEG data damaged in the middle: libjpeg would fill in the rest
    WriteScan(dir / "damaged-jpeg.tif", 256, 256, false, 7, 256);
    TBytes bytes = FileBytes(dir / "damaged-jpeg.tif");
    ASSERT_GT(bytes.size(), 4000u);
    std::fill(bytes.begin() + 1000, bytes.begin() + 3000, '\0');
    std::ofstream(dir / "damaged-jpeg.tif", std::ios::binary | std::ios::trunc)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  const std::vector<std::uint8_t> some(64, 9);
  ASSERT_TRUE(WriteRawTiff(dir / "wrong-counts.tif",
                           {{256, 8}, {257, 8}, {258, 8}, {259, 1}, {262, 1}, {277, 1}, {279, 20}},
                           some));
  ASSERT_TRUE(WriteRawTiff(
      dir / "huge.tif",
      {{256, 30000}, {257, 30000}, {258, 8}, {259, 8}, {262, 2}, {277, 3}, {279, 64}}, some));
  ASSERT_TRUE(WriteRawTiff(dir / "zero-width.tif",
                           {{256, 0}, {257, 8}, {258, 8}, {259, 1}, {262, 1}, {277, 1}, {279, 64}},
                           some));
  ASSERT_TRUE(WriteRawTiff(
      dir / "unknown-codec.tif",
      {{256, 8}, {257, 8}, {258, 8}, {259, 50000}, {262, 1}, {277, 1}, {279, 64}}, some));
  fs::copy_file(VALDRANE_TEST_DATA "/old-jpeg.tif", dir / "old-jpeg.tif");
  std::ofstream(dir / "empty.tif");
  std::ofstream(dir / "text.tif") << "II* this is a text file\n";
  const std::map<std::string, TBytes> before = Contents(dir);

  struct rusage usage;
  const auto entries = Run({}, &usage);
  ASSERT_EQ(entries.size(), before.size());
  for (const auto& [name, bytes] : before) {
    SCOPED_TRACE(name);
    const std::string expected = name == "good.tif"       ? "done"
                                 : name == "old-jpeg.tif" ? "write error"
                                                          : "read error";
    EXPECT_EQ(entries.at(name).outcome, expected);
    if (name != "good.tif") {
      EXPECT_TRUE(FileBytes(dir / name) == bytes);
    }
  }
  EXPECT_EQ(ListingOrder(dir).size(), before.size());
  // The huge page's planes would take 3.6 GB if they were filled.
  EXPECT_LT(usage.ru_maxrss, 400 * 1024) << "peak resident KiB";
}
