// Number of physical CPU cores of this machine, read from the Linux CPU topology.
#pragma once

#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

namespace ostrel::native {

// Where the topology is read from; the defaults are the live system. Tests point them at fake trees.
struct CpuInfoSources {
  std::filesystem::path sysfs_cpu_root = "/sys/devices/system/cpu";
  std::filesystem::path proc_cpuinfo = "/proc/cpuinfo";
};

// Physical cores from sysfs: the number of distinct (physical_package_id, die_id, core_id) triples over
// the online CPUs (die_id counts as 0 where the kernel has none). The online CPUs are those of
// <root>/online; without that file, every cpuN directory whose cpuN/online is missing or not "0".
// nullopt when no online CPU is found or the topology of any online CPU cannot be read (a partial view
// would undercount).
std::optional<int> physical_cores_from_sysfs(const std::filesystem::path& sysfs_cpu_root);

// Physical cores from /proc/cpuinfo: distinct ("physical id", "core id") pairs over the processor
// blocks. nullopt when the file cannot be read or any processor block lacks either field.
std::optional<int> physical_cores_from_cpuinfo(const std::filesystem::path& proc_cpuinfo);

// Logical CPUs online: sysconf(_SC_NPROCESSORS_ONLN), else std::thread::hardware_concurrency(), else 1.
int logical_cpu_count() noexcept;

// Physical cores: sysfs first, then /proc/cpuinfo, then the logical count. Always >= 1; never throws.
int physical_cpu_count(const CpuInfoSources& sources = {}) noexcept;

// Parses a kernel CPU list such as "0-3,8,10-11" (trailing newline allowed) into the CPU numbers in
// ascending order without duplicates. nullopt when the text is malformed or empty.
std::optional<std::vector<int>> parse_cpu_list(std::string_view text);

}  // namespace ostrel::native
