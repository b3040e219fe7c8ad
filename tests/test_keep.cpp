// What nobody asked the tool to change stays: tags, attributes, a folder
// under a mistyped command, pages under a second run.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <tiffio.h>

#include <chrono>
#include <thread>

#include "harness.h"
#include "reference.h"

namespace {

constexpr ttag_t PrivateTag = 65000;
const ttag_t TextTags[] = {TIFFTAG_IMAGEDESCRIPTION,
                           TIFFTAG_DOCUMENTNAME,
                           TIFFTAG_PAGENAME,
                           TIFFTAG_MAKE,
                           TIFFTAG_MODEL,
                           TIFFTAG_SOFTWARE,
                           TIFFTAG_DATETIME,
                           TIFFTAG_ARTIST,
                           TIFFTAG_HOSTCOMPUTER,
                           TIFFTAG_COPYRIGHT};
const ttag_t BlobTags[] = {TIFFTAG_ICCPROFILE, TIFFTAG_XMLPACKET, TIFFTAG_RICHTIFFIPTC,
                           TIFFTAG_PHOTOSHOP, PrivateTag};

void MergePrivateTag(TIFF* tif) {
  static char name[] = "Private";
  TIFFFieldInfo info = {PrivateTag, TIFF_VARIABLE2, TIFF_VARIABLE2, TIFF_SHORT, FIELD_CUSTOM, 1, 1,
                        name};
  TIFFMergeFieldInfo(tif, &info, 1);
}

// Gives the page a value for every tag above.
bool AddTags(const fs::path& path) {
  TIFF* tif = TIFFOpen(path.c_str(), "r+");
  if (tif == nullptr) return false;
  MergePrivateTag(tif);
  for (const ttag_t tag : TextTags) {
    TIFFSetField(tif, tag, tag == TIFFTAG_DATETIME ? "2026:12:07 10:00:00" : "Box 12, letter 3");
  }
  const std::string blob = "bytes of a profile or a packet";
  for (const ttag_t tag : BlobTags) {
    const auto count =
        static_cast<std::uint32_t>(tag == PrivateTag ? blob.size() / 2 : blob.size());
    TIFFSetField(tif, tag, count, blob.data());
  }
  TIFFSetField(tif, TIFFTAG_ORIENTATION, 6);
  TIFFSetField(tif, TIFFTAG_PAGENUMBER, 3, 10);
  TIFFSetField(tif, TIFFTAG_XPOSITION, 1.5);
  TIFFSetField(tif, TIFFTAG_YPOSITION, 2.25);
  const bool ok = TIFFRewriteDirectory(tif) == 1;
  TIFFClose(tif);
  return ok;
}

// Every tag above as text, for comparing one file with another.
std::string DescribeTags(const fs::path& path) {
  TIFF* tif = TIFFOpen(path.c_str(), "r");
  if (tif == nullptr) return "unreadable";
  std::string text;
  for (const ttag_t tag : TextTags) {
    char* value = nullptr;
    if (TIFFGetField(tif, tag, &value) == 1) text += std::to_string(tag) + "=" + value + ";";
  }
  for (const ttag_t tag : BlobTags) {
    std::uint32_t count = 0;
    char* value = nullptr;
    if (TIFFGetField(tif, tag, &count, &value) == 1) {
      text += std::to_string(tag) + "=" + std::string(value, count * (tag == PrivateTag ? 2 : 1));
    }
  }
  std::uint16_t orientation = 0, page[2] = {0, 0};
  float x = 0, y = 0;
  TIFFGetField(tif, TIFFTAG_ORIENTATION, &orientation);
  TIFFGetField(tif, TIFFTAG_PAGENUMBER, &page[0], &page[1]);
  TIFFGetField(tif, TIFFTAG_XPOSITION, &x);
  TIFFGetField(tif, TIFFTAG_YPOSITION, &y);
  text += std::to_string(orientation) + " " + std::to_string(page[0]) + "/" +
          std::to_string(page[1]) + " " + std::to_string(x) + "," + std::to_string(y);
  TIFFClose(tif);
  return text;
}

std::string Attribute(const fs::path& path, const char* name) {
  char value[256];
  const ssize_t size = getxattr(path.c_str(), name, value, sizeof value);
  return size < 0 ? "none" : std::string(value, static_cast<std::size_t>(size));
}

}  // namespace

TEST(Keep, TagsAndAttributesOfGreyAndColourPages) {
  const fs::path top = MakeTempDir(), dir = top / "pages";
  fs::create_directory(dir);
  ASSERT_TRUE(WriteScan(dir / "grey.tif", {300, 200, false, 5, 16, 300, 2}));
  ASSERT_TRUE(WriteScan(dir / "colour.tif", {200, 300, true, 8, 64, 150, 2}));
  std::map<std::string, std::string> tags, acls;
  std::map<std::string, std::vector<std::uint8_t>> expected;
  bool attributes = true;
  for (const char* name : {"grey.tif", "colour.tif"}) {
    const fs::path page = dir / name;
    TFileInfo info;
    ASSERT_TRUE(AddTags(page) && ReadFileInfo(page, info));
    expected[name] = PlainFlatten(info.Width, info.Height, info.Photometric == 2, info.Pixels);
    tags[name] = DescribeTags(page);
    // Where the file system keeps no attributes, only the tags are checked.
    attributes = setxattr(page.c_str(), "user.catalogue", "box 12", 6, 0) == 0 &&
                 std::system(("setfacl -m u:nobody:r '" + page.string() + "'").c_str()) == 0;
    acls[name] = Attribute(page, "system.posix_acl_access");
  }
  EXPECT_EQ(tags["grey.tif"].size(), 417u) << tags["grey.tif"];  // every tag is there

  const TToolRun run = RunTool(dir);
  for (const char* name : {"grey.tif", "colour.tif"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(run.Entries.at(name).Outcome, "done");
    const fs::path page = dir / name;
    TFileInfo info;
    ASSERT_TRUE(ReadFileInfo(page, info));
    EXPECT_TRUE(info.Pixels == expected[name]);
    EXPECT_EQ(DescribeTags(page), tags[name]);
    TIFF* tif = TIFFOpen(page.c_str(), "r");
    std::uint16_t predictor = 0;
    EXPECT_TRUE(tif != nullptr && TIFFGetFieldDefaulted(tif, TIFFTAG_PREDICTOR, &predictor) == 1);
    EXPECT_EQ(predictor, 1) << "the predictor describes the old bytes";
    if (tif != nullptr) TIFFClose(tif);
    if (!attributes) {
      std::printf("this file system keeps no attributes: they were not checked\n");
      continue;
    }
    EXPECT_EQ(Attribute(page, "user.catalogue"), "box 12");
    EXPECT_EQ(Attribute(page, "system.posix_acl_access"), acls[name]);
  }
  fs::remove_all(top);
}

// A command line the tool does not take touches nothing and prints no banner.
TEST(Keep, ArgumentsTouchNothing) {
  const fs::path top = MakeTempDir(), dir = top / "pages";
  fs::create_directory(dir);
  ASSERT_TRUE(WriteScan(dir / "page.tif", {60, 40, false, 5, 16}));
  const TBytes before = FileBytes(dir / "page.tif");
  const struct {
    std::vector<const char*> args;
    int code;
    const char *out, *err;
  } cases[] = {
      {{"--help"}, 0, "Usage: valdrane", ""},
      {{"-h"}, 0, "Usage: valdrane", ""},
      {{"--version"}, 0, "valdrane 0.", ""},
      {{"-r", "."}, 2, "", "valdrane: unexpected argument '-r'"},
      {{"page.tif"}, 2, "", "valdrane: unexpected argument 'page.tif'"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0]);
    const TToolRun run = RunTool(dir, {}, VALDRANE_BINARY, c.args);
    EXPECT_TRUE(WIFEXITED(run.Status) && WEXITSTATUS(run.Status) == c.code) << run.Status;
    EXPECT_EQ(run.Out.rfind(c.out, 0), 0u) << run.Out;
    EXPECT_EQ(run.Err.rfind(c.err, 0), 0u) << run.Err;
    EXPECT_EQ(std::count(run.Err.begin(), run.Err.end(), '\n'), *c.err != 0 ? 1 : 0);
  }
  EXPECT_EQ(FileBytes(dir / "page.tif"), before);
  fs::remove_all(top);
}
