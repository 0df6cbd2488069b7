#include "native/model_files.hpp"

#include <set>
#include <system_error>

namespace ostrel::native {

namespace fs = std::filesystem;

std::uint64_t entry_bytes(const fs::path& path) {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (ec) return 0;
  if (fs::is_regular_file(status)) {
    const std::uintmax_t size = fs::file_size(path, ec);
    return ec ? 0 : size;
  }
  if (!fs::is_directory(status)) return 0;
  std::uint64_t total = 0;
  fs::recursive_directory_iterator it(path, fs::directory_options::skip_permission_denied, ec);
  for (const fs::recursive_directory_iterator end; !ec && it != end; it.increment(ec)) {
    std::error_code entry_ec;
    if (!it->is_regular_file(entry_ec) || entry_ec) continue;
    const std::uintmax_t size = it->file_size(entry_ec);
    if (!entry_ec) total += size;
  }
  return total;
}

std::uint64_t model_files_bytes(const fs::path& main, const std::vector<fs::path>& companions) {
  std::set<fs::path> seen;
  auto key = [](const fs::path& p) {
    std::error_code ec;
    fs::path canonical = fs::weakly_canonical(p, ec);
    return ec ? p.lexically_normal() : canonical;
  };
  seen.insert(key(main));
  std::uint64_t total = entry_bytes(main);
  for (const fs::path& companion : companions)
    if (seen.insert(key(companion)).second) total += entry_bytes(companion);
  return total;
}

}  // namespace ostrel::native
