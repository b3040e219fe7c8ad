// What nobody asked the tool to change stays: tags, attributes, a folder
// under a mistyped command. POSIX only (extended attributes, ACLs, fork).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "harness.h"
#include "reference.h"

using namespace std::chrono_literals;

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
      {{"-x", "."}, "1", 2, "", "valdrane: unexpected argument '-x'"},
      {{"page.tif", "missing"}, "1", 2, "", "valdrane: cannot reach 'missing'"},
      {{}, "0", 2, "", "valdrane: VALDRANE_THREADS='0' is not"},
      {{}, "", 2, "", "valdrane: VALDRANE_THREADS='' is not"},
      {{}, "3x", 2, "", "valdrane: VALDRANE_THREADS='3x' is not"},
      {{"-j", "0"}, "1", 2, "", "valdrane: -j '0' is not a number of threads"},
      {{"--threads=4097"}, "1", 2, "", "valdrane: --threads '4097' is not"},
      {{"-j2", "--help"}, "1", 2, "", "valdrane: unexpected argument '--help'"},
      {{"-o", "x", "--force", "--force"}, "1", 2, "", "valdrane: unexpected argument '--force'"},
      {{"-o", "x", "--output=y"}, "1", 2, "", "valdrane: one output folder at most"},
      // The output folder never holds what is read.
      {{"-o", "..", "../pages/page.tif"},
       "1",
       2,
       "",
       "valdrane: '../pages/page.tif' is in the output folder '..'"},
      {{"-o", "../pages/.", "-r", "."}, "1", 2, "", "valdrane: '.' is in the output folder"},
      {{"-o", "../pages"}, "1", 2, "", "valdrane: the current folder is in the output folder"},
      {{"-o", "page.tif/out"}, "1", 2, "", "valdrane: cannot make the folder 'page.tif/out'"},
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

// Paths on the command line: a folder stands for its pages, a page for
// itself, in the order given, each page once; with -r, subfolders too,
// links to folders not followed. Exactly the pages reported are rewritten.
TEST_F(Keep, PathsTakeTheirPages) {
  const struct {
    std::vector<const char*> args;
    std::vector<std::string> pages;  // as reported, in order
  } cases[] = {
      {{}, {"a.tif"}},
      {{"sub"}, {"sub/b.tif"}},
      {{"-r", "sub"}, {"sub/b.tif", "sub/deeper/c.tif"}},
      {{"../loose.tif", "a.tif", "./a.tif", "-j", "2"}, {"../loose.tif", "a.tif"}},
      {{"-r", "."}, {"./a.tif", "./elsewhere/e.tif", "./sub/b.tif", "./sub/deeper/c.tif"}},
  };
  const char* const all[] = {"a.tif", "sub/b.tif", "sub/deeper/c.tif", "elsewhere/e.tif",
                             "../loose.tif"};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pages.back());
    fs::remove_all(dir);
    fs::create_directories(dir / "sub" / "deeper");
    fs::create_directory(dir / "elsewhere");
    fs::create_directory_symlink(dir / "elsewhere", dir / "sub" / "link");
    std::map<std::string, TBytes> before;
    for (const char* page : all) {
      ASSERT_TRUE(WriteScan(dir / page, {40, 30, false, 5, 8}));
      before[page] = FileBytes(dir / page);
    }
    const char* const leftovers[] = {"sub/deeper/.valdrane-Ab12Cd", "elsewhere/.valdrane-Ab12Cd"};
    for (const char* leftover : leftovers) PutBytes(dir / leftover, {'x'});
    const TToolRun run = RunTool(dir, {}, VALDRANE_BINARY, c.args);
    ASSERT_TRUE(WIFEXITED(run.Status) && WEXITSTATUS(run.Status) == 0) << run.Err;
    // What killed runs left is cleared where the run writes pages, only there.
    for (const std::string leftover : leftovers) {
      const std::string folder = leftover.substr(0, leftover.find("/."));
      const auto in = [&folder](const std::string& p) { return p.find(folder) != p.npos; };
      EXPECT_NE(fs::exists(dir / leftover), std::any_of(c.pages.begin(), c.pages.end(), in));
    }
    std::vector<std::string> reported;
    for (std::size_t at = 0, end; (end = run.Out.find("\r\n", at)) != std::string::npos;
         at = end + 2) {
      const std::string line = run.Out.substr(at, end - at);
      if (line.size() > 4 && line.compare(line.size() - 4, 4, ".tif") == 0)
        reported.push_back(line);
    }
    EXPECT_EQ(reported, c.pages);
    for (const char* page : all) {
      const bool taken = std::any_of(c.pages.begin(), c.pages.end(), [&](const std::string& p) {
        return fs::equivalent(dir / p, dir / page);
      });
      EXPECT_EQ(FileBytes(dir / page) != before[page], taken) << page;
    }
  }
}

// A run that takes no page says what it found instead; a file that is no
// page says what it is.
TEST_F(Keep, ARunThatTakesNoPageSaysWhatItFound) {
  const struct {
    std::vector<std::pair<const char*, std::string>> files;  // a name ending in '/': a folder
    std::vector<const char*> lines;                          // on standard error
  } cases[] = {
      {{}, {"0 flattened", "no TIFF page here (the folder is empty)"}},
      {{{"scan.pdf", "%PDF"}, {"b.PDF", ""}, {"notes.txt", "x"}, {"README", "x"}, {"sub/", ""}},
       {"no TIFF page here (1 file without an extension, 2 .pdf files, 1 .txt file and 1 folder)"}},
      {{{"a.tif", "%PDF-1.4"}, {"b.tif", "\x89PNG\r\n\x1a\n"}},
       {"a.tif: not a TIFF file (it is a PDF)", "b.tif: not a TIFF file (it is a PNG image)",
        "0 flattened, 2 read errors", "refused: 2 not a TIFF file",
        "none of the 2 files holds a page it takes"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lines.back());
    fs::remove_all(dir);
    fs::create_directory(dir);
    for (const auto& [name, bytes] : c.files) {
      if (std::string(name).back() == '/')
        fs::create_directory(dir / name);
      else
        PutBytes(dir / name, TBytes(bytes.begin(), bytes.end()));
    }
    const TToolRun run = RunTool(dir, {}, VALDRANE_BINARY, {});
    ASSERT_TRUE(WIFEXITED(run.Status) && WEXITSTATUS(run.Status) == 0) << run.Err;
    for (const char* line : c.lines)
      EXPECT_NE(run.Err.find(std::string("valdrane: ") + line), std::string::npos) << run.Err;
  }
}

// On a terminal, standard error shows the progress in one line rewritten
// in place, cleared before the summary; off a terminal, never. The report
// is the same either way.
TEST_F(Keep, ProgressOnlyOnATerminal) {
  for (const char* page : {"a.tif", "b.tif", "c.tif"}) {
    ASSERT_TRUE(WriteScan(dir / page, {60, 40, false, 5, 16}));
  }
  int terminal = -1, side = -1;
  ASSERT_EQ(openpty(&terminal, &side, nullptr, nullptr, nullptr), 0);
  const TToolRun run = RunTool(dir, [side] { dup2(side, 2); }, VALDRANE_BINARY, {"-j", "1"});
  close(side);
  std::string shown;
  char buffer[4096];
  for (ssize_t got; (got = read(terminal, buffer, sizeof buffer)) > 0;) shown.append(buffer, got);
  close(terminal);
  EXPECT_EQ(run.Entries.size(), 3u);
  const std::size_t last = shown.find("\rvaldrane: 3 of 3 files, ");
  ASSERT_NE(last, std::string::npos) << shown;
  EXPECT_NE(shown.find("files/s, 0m0", last), std::string::npos) << shown;
  EXPECT_NE(shown.find(std::string(40, ' ') + "\rvaldrane: 3 flattened,", last), std::string::npos)
      << "the line is cleared before the summary: " << shown;
  EXPECT_EQ(RunTool(dir).Err.find("files/s"), std::string::npos) << "progress off a terminal";
}

// With an output folder the originals are only read: the pages go under it
// in the same tree; a run started again goes on where the last one stopped,
// trusting only its record (a page changed, even under its old time, an
// output cut short or something else in its place is not done) and --force
// redoes them; a second page for the same place is an error; the folder is
// never input.
TEST_F(Keep, OutputFolderResumes) {
  fs::create_directory(dir / "sub");
  for (const char* page : {"a.tif", "sub/a.tif", "sub/b.tif"}) {
    ASSERT_TRUE(WriteScan(dir / page, {40, 30, false, 5, 8}, page[4]));
  }
  const fs::path a = dir / "out" / "a.tif";
  const std::vector<const char*> again = {"-r", "-o", "out", "."};
  const auto redone = [](const char* flattened, const char* errors) {
    return std::string(flattened) + " flattened, 0 read errors, " + errors + " write errors, " +
           std::to_string(3 - (flattened[0] - '0') - (errors[0] - '0')) + " skipped";
  };
  // A member of a shared group saves a new scan, then puts a file of her
  // own (or, where it is writable, the owner's old output) under the record
  // it would carry, written from what she can read off both files.
  const auto forge = [&](bool hers) {
    ASSERT_TRUE(WriteScan(dir / "a.tif", {40, 30, false, 5, 8}, 'f'));
    if (hers) fs::remove(a), PutBytes(a, FileBytes(dir / "sub" / "a.tif"));
    ASSERT_TRUE(!hers || geteuid() != 0 || chown(a.c_str(), 4242, 4242) == 0);
    if (!hers) fs::permissions(a, fs::perms::group_write, fs::perm_options::add);
    struct stat page, output;
    ASSERT_TRUE(stat((dir / "a.tif").c_str(), &page) == 0 && stat(a.c_str(), &output) == 0);
    std::string record = "1";
    for (const auto n :
         {page.st_dev, page.st_ino, std::uint64_t(page.st_size),
          std::uint64_t(page.st_mtim.tv_sec * 1000000000 + page.st_mtim.tv_nsec),
          std::uint64_t(page.st_ctim.tv_sec * 1000000000 + page.st_ctim.tv_nsec), output.st_ino,
          std::uint64_t(output.st_size),
          std::uint64_t(output.st_mtim.tv_sec * 1000000000 + output.st_mtim.tv_nsec)})
      record.append(1, ' ').append(std::to_string(n));
    ASSERT_EQ(setxattr(a.c_str(), "user.valdrane.made-from", record.data(), record.size(), 0), 0);
  };
  const struct {
    std::function<void()> act;
    std::vector<const char*> args;
    std::string summary;
  } runs[] = {
      {[] {}, again, redone("3", "0")},
      {[] {}, again, redone("0", "0")},
      {[&] { forge(false); }, again, redone("1", "0")},
      // Made by root, the output is the page's owner's; another's is not trusted.
      {[&] { forge(true); }, again, redone(geteuid() == 0 ? "1" : "0", "0")},
      {[&] {  // a new scan saved under the old time
         const auto saved = fs::last_write_time(dir / "a.tif");
         ASSERT_TRUE(WriteScan(dir / "a.tif", {40, 30, false, 5, 8}, 'n'));
         fs::last_write_time(dir / "a.tif", saved);
       },
       again, redone("1", "0")},
      {[&] { fs::resize_file(a, 100); }, again, redone("1", "0")},
      {[&] { fs::remove(a), fs::create_directory(a); }, again, redone("0", "1")},
      {[&] { fs::remove(a), mkfifo(a.c_str(), 0644); }, again, redone("0", "1")},
      {[&] { fs::remove(a), fs::create_symlink(dir / "sub" / "a.tif", a); }, again,
       redone("0", "1")},
      {[&] { fs::remove(a); }, again, redone("1", "0")},
      {[&] { fs::last_write_time(dir / "a.tif", fs::file_time_type::clock::now() + 1h); }, again,
       redone("1", "0")},
      {[] {}, {"-r", "--output=out", "--force", "."}, redone("3", "0")},
      // Made by one correction, an output is not current for the other.
      {[] {}, {"-r", "-p", "-o", "out", "."}, redone("3", "0")},
      {[] {}, {"-r", "--paper", "-o", "out", "."}, redone("0", "0")},
      {[] {}, again, redone("3", "0")},
      {[] {},
       {"-o", "x/two", "a.tif", "sub/a.tif"},  // both folders made
       "1 flattened, 0 read errors, 1 write errors, 0 skipped"},
  };
  for (const auto& r : runs) {
    SCOPED_TRACE(r.summary);
    r.act();
    std::map<std::string, TBytes> before;
    for (const char* page : {"a.tif", "sub/a.tif", "sub/b.tif"})
      before[page] = FileBytes(dir / page);
    const TToolRun run = RunTool(dir, {}, VALDRANE_BINARY, r.args);
    EXPECT_EQ(SummaryLine(run.Err), r.summary);
    for (const auto& [page, bytes] : before) EXPECT_TRUE(FileBytes(dir / page) == bytes) << page;
  }
  for (const char* page : {"a.tif", "sub/a.tif", "sub/b.tif"}) {
    TFileInfo original, flattened;
    ASSERT_TRUE(ReadFileInfo(dir / page, original) && ReadFileInfo(dir / "out" / page, flattened));
    EXPECT_TRUE(flattened.Pixels == PlainFlatten(40, 30, false, original.Pixels)) << page;
  }
  EXPECT_FALSE(fs::exists(dir / "out" / "out")) << "the output folder taken as input";
  EXPECT_TRUE(fs::exists(dir / "x" / "two" / "a.tif")) << "a page given goes by its name";
  const mode_t mask = umask(0);  // folders made as mkdir makes them
  umask(mask);
  EXPECT_EQ(static_cast<mode_t>(fs::status(dir / "x").permissions()), 0777 & ~mask);
}

// In place, a page the tool made is not made again: a run started again
// skips it, byte for byte, until it changes (a new scan, a new time, a
// group that may write it) or the other correction or --force is asked for.
TEST_F(Keep, InPlaceAPageIsMadeOnce) {
  const fs::path a = dir / "a.tif";
  const struct {
    std::function<void()> act;
    std::vector<const char*> args;
    int flattened;  // of a.tif and b.tif; the others skipped
  } runs[] = {
      // clang-format off
      {[] {}, {}, 2}, {[] {}, {}, 0},
      {[&] { ASSERT_TRUE(WriteScan(a, {40, 30, false, 5, 8}, 'n')); }, {}, 1},
      {[&] { fs::last_write_time(a, fs::last_write_time(a) + 1h); }, {}, 1},
      {[] {}, {"-p"}, 2}, {[] {}, {"--paper"}, 0}, {[] {}, {"-p", "--force"}, 2},
      {[&] { fs::permissions(a, fs::perms::group_write, fs::perm_options::add); }, {"-p"}, 1},
      // clang-format on
  };
  for (const char* page : {"a.tif", "b.tif"})
    ASSERT_TRUE(WriteScan(dir / page, {40, 30, false, 5, 8}));
  for (const auto& r : runs) {
    r.act();
    SCOPED_TRACE(std::to_string(&r - runs));
    const TBytes before = FileBytes(dir / "b.tif");
    const TToolRun run = RunTool(dir, {}, VALDRANE_BINARY, r.args);
    EXPECT_EQ(run.Err, "valdrane: " + std::to_string(r.flattened) + " flattened, 0 read errors, " +
                           "0 write errors, " + std::to_string(2 - r.flattened) + " skipped\r\n");
    EXPECT_TRUE(run.Entries.count("image b.tif skipped") == 0 ||
                FileBytes(dir / "b.tif") == before);
  }
}

// An output folder holds every page of the tree: a file of pages the tool
// does not flatten (bilevel, palette) is copied into it as it is, and a
// resume skips it like any other output; what is no TIFF file stays out.
TEST_F(Keep, AnOutputFolderHoldsEveryPage) {
  const fs::path in = dir / "in";
  fs::create_directory(in);
  ASSERT_TRUE(WriteScan(in / "page.tif", {40, 30, false, 5, 8}));
  for (const bool palette : {false, true}) {
    const fs::path kept = in / (palette ? "palette.tif" : "bilevel.tif");
    ASSERT_TRUE(WriteKeptPageTiff(kept.c_str(), 64, 48, palette, SyntheticScan(64, 48, false, 3)));
  }
  PutBytes(in / "notes.tif", {'%', 'P', 'D', 'F'});
  for (const char* summary : {"1 flattened, 1 read errors, 0 write errors, 0 skipped, 2 copied",
                              "0 flattened, 1 read errors, 0 write errors, 3 skipped\r\n"}) {
    const TToolRun run = RunTool(dir, {}, VALDRANE_BINARY, {"-o", "out", "in"});
    EXPECT_NE(run.Err.find(std::string("valdrane: ") + summary), std::string::npos) << run.Err;
    EXPECT_EQ(run.Out.find("image in/palette.tif copied as it is\r\n") != std::string::npos,
              summary[0] == '1');
    for (const char* kept : {"bilevel.tif", "palette.tif"})
      EXPECT_TRUE(FileBytes(dir / "out" / kept) == FileBytes(in / kept)) << kept;
  }
  EXPECT_FALSE(fs::exists(dir / "out" / "notes.tif"));
}

// Into an output folder, no original and nothing outside the folder is
// written, whoever planted what on the way: a link or a file where a folder
// goes, or an output that is a page, is a write error for that page. A link
// to a page keeps its place in the tree, beside its target's.
TEST_F(Keep, OutputsNeverReachAnOriginal) {
  const fs::path in = dir / "in", out = dir / "out", victim = top / "victim";
  const struct {
    std::function<void()> plant;
    bool recursive;
    int flattened, writeErrors;
    std::vector<const char*> made;  // outputs that must exist, flattened
    int readErrors = 0;
  } cases[] = {
      {[&] { fs::create_symlink(in / "sub", out / "sub"); }, true, 3, 1, {"a.tif", "link.tif"}},
      {[&] { fs::create_symlink(victim, out / "sub"); }, true, 3, 1, {}},
      {[&] { PutBytes(out / "sub", {'x'}); }, true, 3, 1, {}},  // a file where a folder goes
      {[&] { fs::create_hard_link(in / "a.tif", out / "a.tif"); }, false, 2, 1, {"b.tiff"}},
      {[&] { PutBytes(out / ".valdrane-Zz11Yy", {'x'}); },  // a link and its target; a leftover
       true,
       4,
       0,
       {"link.tif", "sub/q.tif"}},
      // A page that cannot be reached takes no other page's output.
      {[&] { fs::create_symlink("missing", in / "gone.tif"); }, false, 3, 0, {"a.tif"}, 1},
  };
  fs::create_directories(in / "sub");
  fs::create_directory(victim);
  std::map<fs::path, TBytes> before;
  for (const fs::path& page :
       {in / "a.tif", in / "b.tiff", in / "sub" / "q.tif", victim / "q.tif"}) {
    ASSERT_TRUE(WriteScan(page, {40, 30, false, 5, 8}, page.filename().string()[0]));
    fs::last_write_time(page, fs::last_write_time(page) - 24h);
    before[page] = FileBytes(page);
  }
  fs::create_symlink("sub/q.tif", in / "link.tif");
  PutBytes(victim / ".valdrane-Ab12Cd", {'x'});  // a name of the tool's temporary files
  for (const auto& c : cases) {
    fs::remove_all(out);
    fs::create_directory(out);
    c.plant();
    const TToolRun run = RunTool(
        dir, {}, VALDRANE_BINARY,
        c.recursive ? std::vector{"-r", "-o", "out", "in"} : std::vector{"-o", "out", "in"});
    EXPECT_EQ(SummaryLine(run.Err), std::to_string(c.flattened) + " flattened, " +
                                        std::to_string(c.readErrors) + " read errors, " +
                                        std::to_string(c.writeErrors) + " write errors, 0 skipped");
    for (const auto& [page, bytes] : before) EXPECT_TRUE(FileBytes(page) == bytes) << page;
    EXPECT_EQ(Listing(victim).size(), 2u) << "nothing is removed outside the output folder";
    EXPECT_FALSE(fs::exists(out / ".valdrane-Zz11Yy")) << "what a killed run left is removed";
    for (const char* made : c.made) {
      TFileInfo original, flattened;
      ASSERT_TRUE(ReadFileInfo(in / made, original) && ReadFileInfo(out / made, flattened)) << made;
      EXPECT_TRUE(flattened.Pixels == PlainFlatten(40, 30, false, original.Pixels)) << made;
    }
  }
}
