// What nobody asked the tool to change stays: tags, attributes, a folder
// under a mistyped command. POSIX only (extended attributes, ACLs, fork).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <sys/xattr.h>

#include "harness.h"
#include "reference.h"

namespace {

using Keep = TFolderTest;

std::string Attribute(const fs::path& path, const char* name) {
  char value[1024];
  const ssize_t size = getxattr(path.c_str(), name, value, sizeof value);
  return size < 0 ? "none" : std::string(value, static_cast<std::size_t>(size));
}

}  // namespace

// Every tag that still describes the page comes back verbatim, the
// predictor goes; user attributes and the ACL stay, and a page without an
// ACL gets none from the folder's default ACL.
TEST_F(Keep, TagsAndAttributesOfGreyAndColourPages) {
  fs::copy_file(VALDRANE_TEST_DATA "/tagged-grey.tif", dir / "grey.tif");
  fs::copy_file(VALDRANE_TEST_DATA "/tagged-colour.tif", dir / "colour.tif");
  fs::copy_file(VALDRANE_TEST_DATA "/tagged-grey.tif", dir / "private.tif");
  fs::permissions(dir / "private.tif",
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  std::map<std::string, std::map<std::uint16_t, std::string>> tags;
  std::map<std::string, std::string> acls;
  std::map<std::string, fs::perms> modes;
  std::map<std::string, std::vector<std::uint8_t>> expected;
  bool attributes = true;
  // A short one, an empty one, one whose name (with the others) and value pass 256 bytes.
  const std::pair<std::string, std::string> users[] = {
      {"user.catalogue", "box 12"},
      {"user.empty", ""},
      {"user." + std::string(240, 'n'), std::string(300, 'v')}};
  for (const char* name : {"grey.tif", "colour.tif", "private.tif"}) {
    const fs::path page = dir / name;
    TFileInfo info;
    ASSERT_TRUE(ReadFileInfo(page, info));
    fs::copy_file(page, top / name);
    expected[name] = PlainFlatten(info.Width, info.Height, info.Photometric == 2, info.Pixels);
    tags[name] = Entries(page);
    EXPECT_EQ(tags[name].size(), 29u);  // 9 of the layout, 10 texts, 5 blocks, 5 numbers
    EXPECT_EQ(Entries(page, 34665).size(), 2u);
    EXPECT_EQ(Entries(page, 34853).size(), 1u);
    EXPECT_EQ(tags[name].erase(317), 1u) << "the page had a predictor";
    // Where the file system keeps no attributes, only the tags are checked.
    for (const auto& [key, value] : users) {
      attributes &= setxattr(page.c_str(), key.c_str(), value.data(), value.size(), 0) == 0;
    }
    if (name[0] != 'p') {
      attributes &= std::system(("setfacl -m u:nobody:r '" + page.string() + "'").c_str()) == 0;
    }
    acls[name] = Attribute(page, "system.posix_acl_access");
    modes[name] = fs::status(page).permissions();
  }
  attributes &= std::system(("setfacl -d -m u:nobody:rw '" + dir.string() + "'").c_str()) == 0;

  const TToolRun run = RunTool(dir);
  for (const char* name : {"grey.tif", "colour.tif", "private.tif"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(run.Entries.at(name).Outcome, "done");
    const fs::path page = dir / name;
    TFileInfo info;
    ASSERT_TRUE(ReadFileInfo(page, info));
    EXPECT_TRUE(info.Pixels == expected[name]);
    EXPECT_EQ(Entries(page), tags[name]);
    EXPECT_EQ(Entries(page, 34665), Entries(dir / ".." / name, 34665));
    EXPECT_EQ(Entries(page, 34853), Entries(dir / ".." / name, 34853));
    if (!attributes) {
      std::printf("this file system keeps no attributes: they were not checked\n");
      continue;
    }
    for (const auto& [key, value] : users) EXPECT_EQ(Attribute(page, key.c_str()), value);
    EXPECT_EQ(Attribute(page, "system.posix_acl_access"), acls[name]);
    EXPECT_EQ(fs::status(page).permissions(), modes[name]);
  }
}

// A command line or a number of threads the tool does not take touches
// nothing and prints no banner.
TEST_F(Keep, ArgumentsTouchNothing) {
  ASSERT_TRUE(WriteScan(dir / "page.tif", {60, 40, false, 5, 16}));
  const TBytes before = FileBytes(dir / "page.tif");
  const struct {
    std::vector<const char*> args;
    const char* threads;
    int code;
    const char *out, *err;
  } cases[] = {
      {{"--help"}, "1", 0, "Usage: valdrane", ""},
      {{"-h"}, "1", 0, "Usage: valdrane", ""},
      {{"--version"}, "1", 0, "valdrane 0.", ""},
      {{"-r", "."}, "1", 2, "", "valdrane: unexpected argument '-r'"},
      {{"page.tif"}, "1", 2, "", "valdrane: unexpected argument 'page.tif'"},
      {{}, "0", 2, "", "valdrane: VALDRANE_THREADS='0' is not"},
      {{}, "", 2, "", "valdrane: VALDRANE_THREADS='' is not"},
      {{}, "3x", 2, "", "valdrane: VALDRANE_THREADS='3x' is not"},
      {{"-j", "0"}, "1", 2, "", "valdrane: -j '0' is not a number of threads"},
      {{"--threads=4097"}, "1", 2, "", "valdrane: --threads '4097' is not"},
      {{"-j2", "x"}, "1", 2, "", "valdrane: unexpected argument 'x'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.err);
    const char* threads = c.threads;
    const TToolRun run = RunTool(
        dir, [threads] { setenv("VALDRANE_THREADS", threads, 1); }, VALDRANE_BINARY, c.args);
    EXPECT_TRUE(WIFEXITED(run.Status) && WEXITSTATUS(run.Status) == c.code) << run.Status;
    EXPECT_EQ(run.Out.rfind(c.out, 0), 0u) << run.Out;
    EXPECT_EQ(run.Err.rfind(c.err, 0), 0u) << run.Err;
    EXPECT_EQ(std::count(run.Err.begin(), run.Err.end(), '\n'), *c.err != 0 ? 1 : 0);
  }
  EXPECT_EQ(FileBytes(dir / "page.tif"), before);
}
