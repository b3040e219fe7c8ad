// What nobody asked the tool to change stays: tags, attributes, a folder
// under a mistyped command.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <tiffio.h>

#include "harness.h"
#include "reference.h"

namespace {

// A synthetic scan with the tags of a digitisation workflow, an EXIF and a
// GPS directory (written first, as libtiff can without reading a directory
// back), a private tag and a predictor.
bool WriteTaggedScan(const fs::path& path, const TScanLayout& layout) {
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  if (tif == nullptr) return false;
  std::uint64_t exif = 0, gps = 0;
  TIFFCreateEXIFDirectory(tif);
  TIFFSetField(tif, EXIFTAG_DATETIMEORIGINAL, "2026:12:07 09:00:00");
  TIFFSetField(tif, EXIFTAG_EXPOSURETIME, 0.125);
  TIFFWriteCustomDirectory(tif, &exif);
  TIFFFreeDirectory(tif);
  TIFFCreateGPSDirectory(tif);
  TIFFSetField(tif, GPSTAG_LATITUDEREF, "N");
  TIFFWriteCustomDirectory(tif, &gps);
  TIFFFreeDirectory(tif);
  TIFFCreateDirectory(tif);
  TIFFSetField(tif, TIFFTAG_EXIFIFD, exif);
  TIFFSetField(tif, TIFFTAG_GPSIFD, gps);
  static char name[] = "Private";
  TIFFFieldInfo privateTag = {65000, TIFF_VARIABLE2, TIFF_VARIABLE2, TIFF_SHORT, FIELD_CUSTOM, 1, 1,
                              name};
  TIFFMergeFieldInfo(tif, &privateTag, 1);
  for (const ttag_t tag :
       {TIFFTAG_IMAGEDESCRIPTION, TIFFTAG_DOCUMENTNAME, TIFFTAG_PAGENAME, TIFFTAG_MAKE,
        TIFFTAG_MODEL, TIFFTAG_SOFTWARE, TIFFTAG_ARTIST, TIFFTAG_HOSTCOMPUTER, TIFFTAG_COPYRIGHT}) {
    TIFFSetField(tif, tag, "Box 12, letter 3");
  }
  TIFFSetField(tif, TIFFTAG_DATETIME, "2026:12:07 10:00:00");
  const char blob[] = "bytes of a profile, a packet, or anything";
  for (const ttag_t tag :
       {ttag_t{TIFFTAG_ICCPROFILE}, ttag_t{TIFFTAG_XMLPACKET}, ttag_t{TIFFTAG_RICHTIFFIPTC},
        ttag_t{TIFFTAG_PHOTOSHOP}, ttag_t{65000}}) {
    TIFFSetField(tif, tag, static_cast<std::uint32_t>(tag == 65000 ? 20 : 40), blob);
  }
  TIFFSetField(tif, TIFFTAG_ORIENTATION, 6);
  TIFFSetField(tif, TIFFTAG_PAGENUMBER, 3, 10);
  TIFFSetField(tif, TIFFTAG_XPOSITION, 1.5);
  TIFFSetField(tif, TIFFTAG_YPOSITION, 2.25);
  const float whitePoint[2] = {0.3125f, 0.328125f};
  TIFFSetField(tif, TIFFTAG_WHITEPOINT, whitePoint);
  const std::uint16_t samples = layout.Colour ? 3 : 1;
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, layout.Width);
  TIFFSetField(tif, TIFFTAG_IMAGELENGTH, layout.Height);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, samples);
  TIFFSetField(tif, TIFFTAG_COMPRESSION, layout.Compression);
  TIFFSetField(tif, TIFFTAG_PREDICTOR, 2);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, layout.Colour ? 2 : 1);
  TIFFSetField(tif, TIFFTAG_PLANARCONFIG, 1);
  TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, layout.Height);
  std::vector<std::uint8_t> pixels = SyntheticScan(layout.Width, layout.Height, layout.Colour, 1);
  const bool ok =
      TIFFWriteEncodedStrip(tif, 0, pixels.data(), static_cast<tmsize_t>(pixels.size())) != -1;
  TIFFClose(tif);
  return ok;
}

std::string Attribute(const fs::path& path, const char* name) {
  char value[256];
  const ssize_t size = getxattr(path.c_str(), name, value, sizeof value);
  return size < 0 ? "none" : std::string(value, static_cast<std::size_t>(size));
}

}  // namespace

// Every tag that still describes the page comes back verbatim, the
// predictor goes; user attributes and the ACL stay.
TEST(Keep, TagsAndAttributesOfGreyAndColourPages) {
  const fs::path top = MakeTempDir(), dir = top / "pages";
  fs::create_directory(dir);
  ASSERT_TRUE(WriteTaggedScan(dir / "grey.tif", {300, 200, false, 5}));
  ASSERT_TRUE(WriteTaggedScan(dir / "colour.tif", {200, 300, true, 8}));
  std::map<std::string, std::map<std::uint16_t, std::string>> tags;
  std::map<std::string, std::string> acls;
  std::map<std::string, std::vector<std::uint8_t>> expected;
  bool attributes = true;
  for (const char* name : {"grey.tif", "colour.tif"}) {
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
    attributes = setxattr(page.c_str(), "user.catalogue", "box 12", 6, 0) == 0 &&
                 std::system(("setfacl -m u:nobody:r '" + page.string() + "'").c_str()) == 0;
    acls[name] = Attribute(page, "system.posix_acl_access");
  }

  const TToolRun run = RunTool(dir);
  for (const char* name : {"grey.tif", "colour.tif"}) {
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
    EXPECT_EQ(Attribute(page, "user.catalogue"), "box 12");
    EXPECT_EQ(Attribute(page, "system.posix_acl_access"), acls[name]);
  }
  fs::remove_all(top);
}

// A command line or a number of threads the tool does not take touches
// nothing and prints no banner.
TEST(Keep, ArgumentsTouchNothing) {
  const fs::path top = MakeTempDir(), dir = top / "pages";
  fs::create_directory(dir);
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
      {{}, "99999999999", 2, "", "valdrane: VALDRANE_THREADS='99999999999' is not"},
      {{}, "3x", 2, "", "valdrane: VALDRANE_THREADS='3x' is not"},
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
  fs::remove_all(top);
}
