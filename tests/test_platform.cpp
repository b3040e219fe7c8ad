// What the run takes from the system before any page: the folders it
// claims, and the memory it may use. POSIX only (flock, cgroup files).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include "harness.h"
#include "platform.h"
#include "safe_file.h"

namespace {

using Claim = TFolderTest;

// Whether another open description of `folder` could take its lock now.
bool Lockable(const fs::path& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY);
  const bool free = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
  if (fd >= 0) close(fd);
  return free;
}

}  // namespace

// A folder is claimed only where it is reached without a link below the
// folder the user named, and cleared only once its lock is held: a folder
// swapped for a link, a missing one and one another run holds keep
// everything in them, and are not locked.
TEST_F(Claim, LocksBeforeClearingAndNeverThroughALink) {
  const fs::path mine = top / "private";
  const TBytes x = {'x'};
  const struct {
    std::string below;
    std::function<fs::path()> make;  // the folder whose contents are checked
    int claimed;
  } cases[] = {
      {"sub", [&] { return fs::create_directory(dir / "sub"), dir / "sub"; }, 1},
      {"link", [&] { return fs::create_directory_symlink(mine, dir / "link"), mine; }, 0},
      {"deep/link/x",
       [&] {
         fs::create_directory(dir / "deep"), fs::create_directory(mine / "x");
         fs::create_directory_symlink(mine, dir / "deep" / "link");
         return mine / "x";
       },
       0},
      {"missing", [&] { return mine; }, 0},
      {"held",
       [&] {
         fs::create_directory(dir / "held");
         const int fd = open((dir / "held").c_str(), O_RDONLY | O_DIRECTORY);  // another run
         EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
         return dir / "held";
       },
       -1},
  };
  fs::create_directory(mine);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.below);
    const fs::path folder = c.make();
    PutBytes(folder / ".valdrane-Ab12Cd", x);
    PutBytes(folder / "keep.tif", x);
    fs::create_directory(folder / ".valdrane-Qq11Rr");
    fs::create_symlink("keep.tif", folder / ".valdrane-Zz99Yy");
    EXPECT_EQ(ClaimFolder({dir.string(), c.below}), c.claimed);
    EXPECT_EQ(fs::exists(folder / ".valdrane-Ab12Cd"), c.claimed != 1);
    EXPECT_TRUE(FileBytes(folder / "keep.tif") == x &&
                fs::is_directory(folder / ".valdrane-Qq11Rr") &&
                fs::is_symlink(folder / ".valdrane-Zz99Yy"));
    EXPECT_EQ(Lockable(folder), c.claimed == 0);
    for (const char* name :
         {".valdrane-Ab12Cd", "keep.tif", ".valdrane-Qq11Rr", ".valdrane-Zz99Yy"})
      fs::remove(folder / name);
  }
  // The folder the user named is hers to name through a link.
  fs::create_directory_symlink(dir / "sub", top / "named");
  PutBytes(dir / "sub" / ".valdrane-Cd34Ef", x);
  EXPECT_EQ(ClaimFolder({(top / "named").string(), ""}), 1);
  EXPECT_FALSE(fs::exists(dir / "sub" / ".valdrane-Cd34Ef"));
}
