// What the run takes from the system before any page: the folders it
// claims, and the memory it may use. POSIX only (flock, cgroup files).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include "harness.h"
#include "safe_file.h"
#include "system_limits.h"

using Platform = TFolderTest;

// A folder is claimed only where it is reached without a link below the
// folder the user named, and cleared only once its lock is held: a folder
// swapped for a link, a missing one and one another run holds keep
// everything in them, and are not locked.
TEST_F(Platform, FoldersLockedBeforeClearedNeverThroughALink) {
  const fs::path mine = top / "private";
  const TBytes x = {'x'};
  for (const char* folder : {"sub", "held", "deep"}) fs::create_directory(dir / folder);
  for (const char* folder : {"a", "b", "c"}) fs::create_directories(mine / folder);
  fs::create_directory_symlink(mine / "a", dir / "link");
  fs::create_directory_symlink(mine, dir / "deep" / "link");
  const int other = open((dir / "held").c_str(), O_RDONLY | O_DIRECTORY);  // another run's
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  const struct {
    std::string below;
    fs::path folder;  // the one whose contents are checked
    int claimed;
  } cases[] = {{"sub", dir / "sub", 1},
               {"link", mine / "a", 0},
               {"deep/link/b", mine / "b", 0},
               {"missing", mine / "c", 0},
               {"held", dir / "held", -1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.below);
    for (const char* name : {".valdrane-Ab12Cd", "keep.tif"}) PutBytes(c.folder / name, x);
    fs::create_directory(c.folder / ".valdrane-Qq11Rr");
    fs::create_symlink("keep.tif", c.folder / ".valdrane-Zz99Yy");
    EXPECT_EQ(ClaimFolder({dir.string(), c.below}), c.claimed);
    EXPECT_EQ(fs::exists(c.folder / ".valdrane-Ab12Cd"), c.claimed != 1);
    EXPECT_TRUE(FileBytes(c.folder / "keep.tif") == x &&
                fs::is_directory(c.folder / ".valdrane-Qq11Rr") &&
                fs::is_symlink(c.folder / ".valdrane-Zz99Yy"));
    const int lock = open(c.folder.c_str(), O_RDONLY | O_DIRECTORY);  // another description's
    EXPECT_EQ(flock(lock, LOCK_EX | LOCK_NB) == 0, c.claimed == 0) << "held by the claim";
    close(lock);
  }
  // The folder the user named is hers to name through a link.
  fs::create_directory_symlink(dir / "sub", top / "named");
  PutBytes(dir / "sub" / ".valdrane-Cd34Ef", x);
  EXPECT_EQ(ClaimFolder({(top / "named").string(), ""}), 1);
  EXPECT_FALSE(fs::exists(dir / "sub" / ".valdrane-Cd34Ef"));
}

// The memory and CPU limits of control groups, from a tree of the kernel's
// files made by the test: v2 alone, nested (the least level counts), v1's
// own files, both at once, none, and limits already reached.
TEST_F(Platform, ControlGroupLimitsAtEveryLevel) {
  const struct {
    std::string membership;
    std::map<std::string, std::string> files;  // under the root
    std::uint64_t memory;
    unsigned cpus;
  } cases[] = {
      // clang-format off
      {"0::/a/b\n", {{"a/b/memory.max", "100000000\n"}, {"a/b/memory.current", "30000000\n"},
                     {"a/b/cpu.max", "150000 100000\n"}}, 70000000, 2},
      {"0::/a/b\n", {{"a/b/memory.max", "max\n"}, {"a/memory.max", "50000000\n"},
                     {"a/memory.current", "1000\n"}, {"a/b/cpu.max", "max 100000\n"},
                     {"cpu.max", "300000 100000\n"}}, 49999000, 3},
      {"0::/\n", {{"memory.max", "4096\n"}, {"memory.current", "8192\n"}}, 0, 0},
      {"12:cpu,cpuacct:/job\n11:memory:/job\n0::/job\n",
       {{"memory/job/memory.limit_in_bytes", "100000000\n"},
        {"memory/job/memory.usage_in_bytes", "20000000\n"},
        {"memory/memory.limit_in_bytes", "9223372036854771712\n"},
        {"cpu,cpuacct/job/cpu.cfs_quota_us", "250000\n"},
        {"cpu,cpuacct/job/cpu.cfs_period_us", "100000\n"}, {"job/memory.max", "90000000\n"}},
       80000000, 3},
      {"3:cpu:/\n5:memory:/x\n", {{"memory/x/memory.limit_in_bytes", "9223372036854771712\n"},
       {"cpu/cpu.cfs_quota_us", "-1\n"}, {"cpu/cpu.cfs_period_us", "100000\n"}},
       9223372036854771712u, 0},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.membership);
    const fs::path root = top / "groups";
    fs::remove_all(root);
    for (const auto& [name, text] : c.files) {
      fs::create_directories((root / name).parent_path());
      PutBytes(root / name, TBytes(text.begin(), text.end()));
    }
    const TGroupFiles files{c.membership, root.string()};
    EXPECT_EQ(GroupMemoryLeft(files), c.memory);
    EXPECT_EQ(GroupCpuLimit(files), c.cpus);
  }
}

// The memory left: the least of what the system reports available, what
// the groups leave and what the address-space limit leaves over the size
// the process takes; a figure missing limits nothing.
TEST_F(Platform, MemoryLeftIsTheLeastOfEveryLimit) {
  constexpr std::uint64_t None = ~std::uint64_t{0}, KiB = 1024;
  const std::string meminfo = "MemTotal:  900 kB\nMemFree: 100 kB\nMemAvailable:  500 kB\n";
  const struct {
    std::string meminfo;
    std::uint64_t group, address;
    std::string status;
    std::uint64_t left;
  } cases[] = {
      {meminfo, None, None, "", 500 * KiB},
      {"MemFree: 100 kB\n", None, None, "", None},
      {meminfo, 300 * KiB, None, "", 300 * KiB},
      {meminfo, None, 1000 * KiB, "VmPeak: 900 kB\nVmSize:  700 kB\n", 300 * KiB},
      {meminfo, 200 * KiB, 1000 * KiB, "VmSize: 700 kB\n", 200 * KiB},
      {meminfo, None, 600 * KiB, "VmSize: 700 kB\n", 0},
      {meminfo, None, 800 * KiB, "", 500 * KiB},  // no size known: the limit itself
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status + c.meminfo);
    EXPECT_EQ(MemoryLeft(c.meminfo, c.group, c.address, c.status), c.left);
  }
}
