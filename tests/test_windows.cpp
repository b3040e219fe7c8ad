// The Windows platform layer end to end: names in any script, a read-only
// page, a page another program holds open, and what a killed run left. (CI compares the pages'
// bytes with the Linux build's. The POSIX tests of the tool need fork,
// signals and file modes; they run on Linux only.)
#include <gtest/gtest.h>
#include <windows.h>

#include "harness.h"

using Windows = TFolderTest;

TEST_F(Windows, NamesReadOnlyPagesAndPagesInUse) {
  // name (UTF-8), how the run ends for it
  const std::pair<std::string, const char*> pages[] = {{"ascii.tif", "done"},
                                                       {"\303\204rger-stra\303\237e.TIF", "done"},
                                                       {"\346\227\245.tif", "done"},
                                                       {"read-only.tif", "write error"},
                                                       {"in-use.tif", "write error"}};
  ASSERT_TRUE(WriteScan(top / "page.tif", {240, 180, true, 8, 16}));
  std::map<std::string, TBytes> before;
  for (const auto& [name, outcome] : pages) {
    fs::copy_file(top / "page.tif", dir / std::u8string(name.begin(), name.end()));
    before[name] = FileBytes(dir / std::u8string(name.begin(), name.end()));
  }
  fs::permissions(dir / "read-only.tif", fs::perms::owner_write, fs::perm_options::remove);
  const HANDLE inUse = CreateFileW((dir / "in-use.tif").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(inUse, INVALID_HANDLE_VALUE);

  PutBytes(dir / ".valdrane-Ab12Cd", {'x'});  // what a killed run left: removed
  const TToolRun run = RunTool(dir);
  CloseHandle(inUse);
  ASSERT_EQ(run.Status, 0) << run.Err;
  for (const auto& [name, outcome] : pages) {
    SCOPED_TRACE(name);
    EXPECT_EQ(run.Entries.at(name).Outcome, outcome);
    const TBytes after = FileBytes(dir / std::u8string(name.begin(), name.end()));
    EXPECT_TRUE(*outcome == 'd' ? after == FileBytes(dir / "ascii.tif") && after != before[name]
                                : after == before[name]);
  }
  EXPECT_EQ(Listing(dir).size(), std::size(pages)) << "a temporary file was left";
  fs::permissions(dir / "read-only.tif", fs::perms::owner_write, fs::perm_options::add);
}
