// The limits Linux puts on the process, worked out from the text of the
// files the kernel shows: the memory it reports available, the address-space
// limit, and those of control groups: cgroup v2 (one hierarchy, "0::PATH"
// in the process's membership) and v1 (a hierarchy per controller,
// "N:memory:PATH"), at the process's own group and at every group above it.
#pragma once

#include <cstdint>
#include <string>

// TGroupFiles: the text of the process's membership (/proc/self/cgroup) and
// the folder the hierarchies are mounted under (/sys/fs/cgroup: v2 there or
// in "unified", v1 controllers in folders of their names). Tests give their
// own.
struct TGroupFiles {
  std::string Membership;
  std::string Root = "/sys/fs/cgroup";
};

// FileText: the whole text of the file at `path`; empty when it cannot be read.
std::string FileText(const char* path);

// SystemGroupFiles: the running process's.
TGroupFiles SystemGroupFiles();

// GroupMemoryLeft: the least, over those groups and both versions, of what
// a memory limit leaves: v2's memory.max less memory.current, v1's
// memory.limit_in_bytes less memory.usage_in_bytes; 0 where the use has
// reached the limit. All bits set when no limit is set.
std::uint64_t GroupMemoryLeft(const TGroupFiles& files);

// GroupCpuLimit: the least CPU quota over those groups, in whole CPUs
// rounded up: v2's cpu.max "QUOTA PERIOD", v1's cpu.cfs_quota_us over
// cpu.cfs_period_us. 0 when none is set ("max", -1).
unsigned GroupCpuLimit(const TGroupFiles& files);

// MemoryLeft: the least of what `meminfo` (the text of /proc/meminfo) says
// is available (MemAvailable, in kB), `groupLeft`, and what the
// address-space limit `addressLimit` leaves over the size the process
// takes, VmSize (kB) in `status` (the text of /proc/self/status). A figure
// that is missing limits nothing; all bits set in `addressLimit`: none.
std::uint64_t MemoryLeft(const std::string& meminfo, std::uint64_t groupLeft,
                         std::uint64_t addressLimit, const std::string& status);
