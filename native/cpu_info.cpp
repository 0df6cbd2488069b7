#include "native/cpu_info.hpp"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <tuple>

namespace ostrel::native {

namespace {

std::string_view trim(std::string_view s) {
  const auto first = s.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = s.find_last_not_of(" \t\r\n");
  return s.substr(first, last - first + 1);
}

std::optional<long> parse_long(std::string_view s) {
  s = trim(s);
  long value = 0;
  const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (s.empty() || ec != std::errc() || ptr != s.data() + s.size()) return std::nullopt;
  return value;
}

std::optional<std::string> read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return std::move(text).str();
}

std::optional<long> read_number(const std::filesystem::path& path) {
  const auto text = read_file(path);
  if (!text) return std::nullopt;
  return parse_long(*text);
}

// CPU numbers of the cpuN directories under the root.
std::vector<int> cpu_directories(const std::filesystem::path& root) {
  std::vector<int> cpus;
  std::error_code ec;
  for (std::filesystem::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (name.size() < 4 || name.size() > 10 || name.compare(0, 3, "cpu") != 0) continue;
    if (!std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
    const auto number = parse_long(std::string_view(name).substr(3));
    if (!number || std::to_string(*number) != name.substr(3)) continue;  // no leading zeros
    std::error_code dir_ec;
    if (!std::filesystem::is_directory(it->path(), dir_ec)) continue;
    cpus.push_back(static_cast<int>(*number));
  }
  std::sort(cpus.begin(), cpus.end());
  return cpus;
}

std::vector<int> online_cpus(const std::filesystem::path& root) {
  if (const auto text = read_file(root / "online")) {
    if (auto list = parse_cpu_list(*text)) return *std::move(list);
  }
  std::vector<int> online;
  for (int cpu : cpu_directories(root)) {
    // cpu0 usually has no "online" file: it cannot be taken offline.
    const auto flag = read_number(root / ("cpu" + std::to_string(cpu)) / "online");
    if (!flag || *flag != 0) online.push_back(cpu);
  }
  return online;
}

}  // namespace

std::optional<std::vector<int>> parse_cpu_list(std::string_view text) {
  text = trim(text);
  if (text.empty()) return std::nullopt;
  std::set<int> cpus;
  while (!text.empty()) {
    const auto comma = text.find(',');
    const std::string_view item = text.substr(0, comma);
    text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
    if (comma != std::string_view::npos && text.empty()) return std::nullopt;  // trailing comma
    const auto dash = item.find('-');
    const auto first = parse_long(item.substr(0, dash));
    const auto last = dash == std::string_view::npos ? first : parse_long(item.substr(dash + 1));
    if (!first || !last || *first < 0 || *last < *first || *last > 1 << 20) return std::nullopt;
    for (long cpu = *first; cpu <= *last; ++cpu) cpus.insert(static_cast<int>(cpu));
  }
  return std::vector<int>(cpus.begin(), cpus.end());
}

std::optional<int> physical_cores_from_sysfs(const std::filesystem::path& sysfs_cpu_root) {
  const std::vector<int> online = online_cpus(sysfs_cpu_root);
  if (online.empty()) return std::nullopt;
  std::set<std::tuple<long, long, long>> cores;
  for (int cpu : online) {
    const auto topology = sysfs_cpu_root / ("cpu" + std::to_string(cpu)) / "topology";
    const auto package = read_number(topology / "physical_package_id");
    const auto core = read_number(topology / "core_id");
    if (!package || !core) return std::nullopt;
    const auto die = read_number(topology / "die_id");
    cores.emplace(*package, die.value_or(0), *core);
  }
  return static_cast<int>(cores.size());
}

std::optional<int> physical_cores_from_cpuinfo(const std::filesystem::path& proc_cpuinfo) {
  const auto text = read_file(proc_cpuinfo);
  if (!text) return std::nullopt;
  std::set<std::pair<long, long>> cores;
  std::optional<long> package;
  std::optional<long> core;
  bool in_block = false;
  bool complete = true;
  const auto end_block = [&] {
    if (in_block) {
      if (package && core) {
        cores.emplace(*package, *core);
      } else {
        complete = false;
      }
    }
    in_block = false;
    package.reset();
    core.reset();
  };
  std::istringstream lines(*text);
  for (std::string line; std::getline(lines, line);) {
    const auto colon = line.find(':');
    if (trim(line).empty()) {
      end_block();
      continue;
    }
    if (colon == std::string::npos) continue;
    const std::string_view key = trim(std::string_view(line).substr(0, colon));
    const std::string_view value = std::string_view(line).substr(colon + 1);
    if (key == "processor") {
      end_block();  // tolerate a missing blank line between blocks
      in_block = true;
    } else if (key == "physical id") {
      package = parse_long(value);
    } else if (key == "core id") {
      core = parse_long(value);
    }
  }
  end_block();
  if (!complete || cores.empty()) return std::nullopt;
  return static_cast<int>(cores.size());
}

int logical_cpu_count() noexcept {
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  if (online >= 1) return static_cast<int>(online);
  const unsigned hardware = std::thread::hardware_concurrency();
  return hardware >= 1 ? static_cast<int>(hardware) : 1;
}

int physical_cpu_count(const CpuInfoSources& sources) noexcept {
  try {
    if (const auto cores = physical_cores_from_sysfs(sources.sysfs_cpu_root)) return *cores;
    if (const auto cores = physical_cores_from_cpuinfo(sources.proc_cpuinfo)) return *cores;
  } catch (...) {
    // Unreadable topology (including allocation failure while reading it): count logical CPUs instead.
  }
  return logical_cpu_count();
}

}  // namespace ostrel::native
