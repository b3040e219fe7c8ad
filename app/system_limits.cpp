#include "system_limits.h"

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>
#include <vector>

namespace {

constexpr std::uint64_t Unlimited = ~std::uint64_t{0};

// The first number in the file at `path`; false when it is missing or holds
// none ("max").
bool NumberIn(const std::string& path, std::int64_t& value) {
  std::ifstream in(path);
  return static_cast<bool>(in >> value);
}

// Calls `visit` with the folder of each group the process is in, and of
// every group above it, in the hierarchies of `controller` (v1) and of v2,
// and whether that folder is v2's.
void ForEachGroup(const TGroupFiles& files, const std::string& controller,
                  const std::function<void(const std::string&, bool)>& visit) {
  std::istringstream lines(files.Membership);
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t first = line.find(':'), second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = line.substr(first + 1, second - first - 1);
    std::string path = line.substr(second + 1);
    std::vector<std::pair<std::string, bool>> mounts;
    if (line.compare(0, first, "0") == 0 && controllers.empty()) {
      mounts = {{files.Root, true}, {files.Root + "/unified", true}};
    } else if (("," + controllers + ",").find("," + controller + ",") != std::string::npos) {
      mounts = {{files.Root + "/" + controllers, false}};
      if (controllers != controller) mounts.emplace_back(files.Root + "/" + controller, false);
    }
    // From the process's group up to the hierarchy's root.
    for (bool top = false; !top && !mounts.empty();) {
      while (!path.empty() && path.back() == '/') path.pop_back();
      for (const auto& [mount, v2] : mounts) visit(mount + path, v2);
      const std::size_t slash = path.rfind('/');
      top = path.empty();
      path.erase(slash == std::string::npos ? 0 : slash);
    }
  }
}

}  // namespace

std::string FileText(const char* path) {
  std::ifstream in(path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TGroupFiles SystemGroupFiles() { return {FileText("/proc/self/cgroup")}; }

std::uint64_t GroupMemoryLeft(const TGroupFiles& files) {
  std::uint64_t left = Unlimited;
  ForEachGroup(files, "memory", [&left](const std::string& group, bool v2) {
    std::int64_t limit = 0, used = 0;
    if (!NumberIn(group + (v2 ? "/memory.max" : "/memory.limit_in_bytes"), limit) || limit < 0) {
      return;
    }
    if (!NumberIn(group + (v2 ? "/memory.current" : "/memory.usage_in_bytes"), used)) used = 0;
    left =
        std::min<std::uint64_t>(left, limit > used ? static_cast<std::uint64_t>(limit - used) : 0);
  });
  return left;
}

unsigned GroupCpuLimit(const TGroupFiles& files) {
  unsigned cpus = 0;
  ForEachGroup(files, "cpu", [&cpus](const std::string& group, bool v2) {
    std::int64_t quota = 0, period = 0;
    if (v2) {
      std::ifstream in(group + "/cpu.max");
      if (!(in >> quota >> period)) return;
    } else if (!NumberIn(group + "/cpu.cfs_quota_us", quota) ||
               !NumberIn(group + "/cpu.cfs_period_us", period)) {
      return;
    }
    if (quota <= 0 || period <= 0) return;
    const auto whole = static_cast<unsigned>((quota + period - 1) / period);
    cpus = cpus == 0 ? whole : std::min(cpus, whole);
  });
  return cpus;
}

namespace {

// The number after `key` in `text`, in kB, as bytes; `missing` without it.
std::uint64_t KilobytesIn(const std::string& text, const std::string& key, std::uint64_t missing) {
  std::istringstream in(text);
  std::string word;
  while (in >> word) {
    if (word != key) continue;
    std::uint64_t value;
    return in >> value ? value * 1024 : missing;
  }
  return missing;
}

}  // namespace

std::uint64_t MemoryLeft(const std::string& meminfo, std::uint64_t groupLeft,
                         std::uint64_t addressLimit, const std::string& status) {
  std::uint64_t left = std::min(KilobytesIn(meminfo, "MemAvailable:", Unlimited), groupLeft);
  if (addressLimit != Unlimited) {
    const std::uint64_t used = KilobytesIn(status, "VmSize:", 0);
    left = std::min(left, addressLimit > used ? addressLimit - used : 0);
  }
  return left;
}
