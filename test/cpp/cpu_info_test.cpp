#include "native/cpu_info.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

namespace ostrel::native {
namespace {

namespace fs = std::filesystem;

// A fake machine: a sysfs cpu directory and a /proc/cpuinfo file in a fresh temporary directory.
class CpuTopologyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "ostrel-cpu-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    sources_.sysfs_cpu_root = root_ / "cpu";
    sources_.proc_cpuinfo = root_ / "cpuinfo";
  }
  void TearDown() override { fs::remove_all(root_); }

  static void write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
  }
  // Adds cpuN with its topology; die < 0 leaves die_id out.
  void add_cpu(int cpu, int package, int core, int die = -1) {
    const fs::path topology = sources_.sysfs_cpu_root / ("cpu" + std::to_string(cpu)) / "topology";
    write(topology / "physical_package_id", std::to_string(package) + "\n");
    write(topology / "core_id", std::to_string(core) + "\n");
    if (die >= 0) write(topology / "die_id", std::to_string(die) + "\n");
  }

  fs::path root_;
  CpuInfoSources sources_;
};

TEST_F(CpuTopologyTest, CountsCoresNotHardwareThreads) {
  // 8 cores with 2 threads each: cpuN and cpuN+8 are siblings.
  for (int cpu = 0; cpu < 16; ++cpu) add_cpu(cpu, 0, cpu % 8);
  write(sources_.sysfs_cpu_root / "online", "0-15\n");
  write(sources_.sysfs_cpu_root / "cpufreq" / "boost", "1\n");  // not a cpuN directory
  EXPECT_EQ(physical_cores_from_sysfs(sources_.sysfs_cpu_root), 8);
  EXPECT_EQ(physical_cpu_count(sources_), 8);
}

TEST_F(CpuTopologyTest, CoreIdsRepeatAcrossPackagesAndDies) {
  // Two packages, each with two dies of two cores: core ids restart in every die.
  int cpu = 0;
  for (int package = 0; package < 2; ++package) {
    for (int die = 0; die < 2; ++die) {
      for (int core = 0; core < 2; ++core) add_cpu(cpu++, package, core, die);
    }
  }
  EXPECT_EQ(physical_cpu_count(sources_), 8);
}

TEST_F(CpuTopologyTest, OnlyOnlineCpusCount) {
  for (int cpu = 0; cpu < 8; ++cpu) add_cpu(cpu, 0, cpu);
  write(sources_.sysfs_cpu_root / "online", "0-2,5\n");
  EXPECT_EQ(physical_cpu_count(sources_), 4);

  // Without the list, each cpuN/online flag decides (cpu0 has none and is always online).
  fs::remove(sources_.sysfs_cpu_root / "online");
  write(sources_.sysfs_cpu_root / "cpu3" / "online", "0\n");
  write(sources_.sysfs_cpu_root / "cpu4" / "online", "1\n");
  EXPECT_EQ(physical_cpu_count(sources_), 7);
}

TEST_F(CpuTopologyTest, FallsBackToCpuinfoThenToLogicalCount) {
  // An online CPU without topology makes the sysfs view unusable (a partial count would be too low).
  add_cpu(0, 0, 0);
  fs::create_directories(sources_.sysfs_cpu_root / "cpu1");
  EXPECT_EQ(physical_cores_from_sysfs(sources_.sysfs_cpu_root), std::nullopt);

  std::string cpuinfo;
  for (int processor = 0; processor < 8; ++processor) {
    cpuinfo += "processor\t: " + std::to_string(processor) + "\nmodel name\t: Fake CPU @ 2.0GHz\n" +
               "physical id\t: " + std::to_string(processor / 4) + "\n" +
               "core id\t\t: " + std::to_string(processor % 2) + "\nflags\t\t: fpu vme\n\n";
  }
  write(sources_.proc_cpuinfo, cpuinfo);
  EXPECT_EQ(physical_cpu_count(sources_), 4);  // 2 packages x 2 cores, 2 threads each

  // A processor block without ids (as on some virtual machines) makes the file unusable too.
  write(sources_.proc_cpuinfo, cpuinfo + "processor\t: 8\nmodel name\t: Fake CPU\n");
  EXPECT_EQ(physical_cores_from_cpuinfo(sources_.proc_cpuinfo), std::nullopt);
  EXPECT_EQ(physical_cpu_count(sources_), logical_cpu_count());

  // Nothing there at all.
  const CpuInfoSources missing{root_ / "no-such-dir", root_ / "no-such-file"};
  EXPECT_EQ(physical_cpu_count(missing), logical_cpu_count());
}

TEST(CpuListTest, ParsesKernelLists) {
  EXPECT_EQ(parse_cpu_list("0-3,8,10-11\n"), (std::vector<int>{0, 1, 2, 3, 8, 10, 11}));
  EXPECT_EQ(parse_cpu_list("0"), (std::vector<int>{0}));
  EXPECT_EQ(parse_cpu_list("2,0-2"), (std::vector<int>{0, 1, 2}));
  for (const char* bad : {"", "\n", "3-1", "a", "1,", "1-", "-1", "0-2000000"}) {
    EXPECT_EQ(parse_cpu_list(bad), std::nullopt) << '"' << bad << '"';
  }
}

TEST(CpuCountTest, LiveMachineGivesAPlausibleCount) {
  const int physical = physical_cpu_count();
  EXPECT_GE(physical, 1);
  EXPECT_LE(physical, logical_cpu_count());
}

}  // namespace
}  // namespace ostrel::native
