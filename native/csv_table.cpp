#include "native/csv_table.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "native/atomic_file.hpp"
#include "native/unique_fd.hpp"

namespace ostrel::native {

namespace {

bool blank(const std::vector<std::string>& record) { return record.size() == 1 && record[0].empty(); }

void quote_into(std::string& out, const std::string& cell) {
  if (cell.find_first_of(",\"\r\n") == std::string::npos) {
    out += cell;
    return;
  }
  out += '"';
  for (char c : cell) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool starts_with_bom(std::string_view text) { return text.substr(0, kBom.size()) == kBom; }

}  // namespace

CsvTable parse_csv(std::string_view text) {
  if (starts_with_bom(text)) text.remove_prefix(kBom.size());
  std::vector<std::vector<std::string>> records;
  std::vector<std::string> record;
  std::string cell;
  bool quoted_record_cell = false;
  size_t i = 0;
  const size_t n = text.size();
  auto end_record = [&] {
    record.push_back(std::move(cell));
    cell.clear();
    if (!(blank(record) && !quoted_record_cell)) records.push_back(std::move(record));
    record.clear();
    quoted_record_cell = false;
  };
  while (i < n) {
    char c = text[i];
    if (c == '"' && cell.empty()) {
      quoted_record_cell = true;
      ++i;
      for (;;) {
        if (i >= n) throw CsvError("unterminated quoted cell in CSV text");
        if (text[i] == '"') {
          if (i + 1 < n && text[i + 1] == '"') {
            cell += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        cell += text[i++];
      }
    } else if (c == ',') {
      record.push_back(std::move(cell));
      cell.clear();
      ++i;
    } else if (c == '\n' || c == '\r') {
      end_record();
      i += (c == '\r' && i + 1 < n && text[i + 1] == '\n') ? 2 : 1;
    } else {
      cell += c;
      ++i;
    }
  }
  if (!cell.empty() || !record.empty() || quoted_record_cell) end_record();

  CsvTable table;
  if (records.empty()) return table;
  table.header = std::move(records[0]);
  for (size_t r = 1; r < records.size(); ++r) {
    auto& row = records[r];
    if (row.size() > table.header.size())
      throw CsvError("CSV row " + std::to_string(r + 1) + " has " + std::to_string(row.size()) +
                     " cells, the heading line " + std::to_string(table.header.size()));
    row.resize(table.header.size());
    table.rows.push_back(std::move(row));
  }
  return table;
}

std::optional<CsvHeading> parse_csv_heading(std::string_view prefix, bool whole) {
  CsvHeading heading;
  if (prefix.size() < kBom.size() && !whole && kBom.substr(0, prefix.size()) == prefix) return std::nullopt;
  if (starts_with_bom(prefix)) {
    heading.bom = true;
    prefix.remove_prefix(kBom.size());
  }
  std::vector<std::string> record;
  std::string cell;
  bool quoted = false;
  size_t i = 0;
  const size_t n = prefix.size();
  while (i < n) {
    const char c = prefix[i];
    if (c == '"' && cell.empty()) {
      quoted = true;
      ++i;
      for (;;) {
        if (i >= n) {
          if (whole) throw CsvError("unterminated quoted cell in the heading line of a CSV file");
          return std::nullopt;
        }
        if (prefix[i] == '"') {
          if (i + 1 >= n && !whole) return std::nullopt;  // a doubled quote may follow
          if (i + 1 < n && prefix[i + 1] == '"') {
            cell += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        cell += prefix[i++];
      }
    } else if (c == ',') {
      record.push_back(std::move(cell));
      cell.clear();
      ++i;
    } else if (c == '\n' || c == '\r') {
      if (c == '\r' && i + 1 >= n && !whole) return std::nullopt;  // "\r\n" split by the prefix
      const bool crlf = c == '\r' && i + 1 < n && prefix[i + 1] == '\n';
      if (record.empty() && cell.empty() && !quoted) {  // a blank line before the headings
        i += crlf ? 2 : 1;
        continue;
      }
      record.push_back(std::move(cell));
      heading.cells = std::move(record);
      if (crlf) heading.line_end = "\r\n";
      return heading;
    } else {
      cell += c;
      ++i;
    }
  }
  if (!whole) return std::nullopt;
  if (!record.empty() || !cell.empty() || quoted) {
    record.push_back(std::move(cell));
    heading.cells = std::move(record);
  }
  return heading;
}

namespace {

// One record's cells, quoted where needed and joined by commas, then `line_end`, added to `out`.
void line_into(std::string& out, const std::vector<std::string>& cells, std::string_view line_end) {
  for (size_t i = 0; i < cells.size(); ++i) {
    if (i) out += ',';
    quote_into(out, cells[i]);
  }
  out += line_end;
}

}  // namespace

std::string format_csv_line(const std::vector<std::string>& cells, std::string_view line_end) {
  std::string out;
  line_into(out, cells, line_end);
  return out;
}

std::string format_csv(const CsvTable& table) {
  std::string out;
  line_into(out, table.header, "\n");
  for (const auto& row : table.rows) line_into(out, row, "\n");
  return out;
}

std::string append_csv_row(std::string_view existing,
                           const std::vector<std::pair<std::string, std::string>>& row) {
  const bool bom = starts_with_bom(existing);
  CsvTable table = parse_csv(existing);
  std::unordered_map<std::string, size_t> column;
  for (size_t i = 0; i < table.header.size(); ++i) column.emplace(table.header[i], i);
  if (table.header.empty()) {
    for (const auto& [heading, _] : row)
      if (column.emplace(heading, table.header.size()).second) table.header.push_back(heading);
  } else {
    std::vector<std::string> added;
    for (const auto& [heading, _] : row)
      if (!column.count(heading) && std::find(added.begin(), added.end(), heading) == added.end())
        added.push_back(heading);
    std::sort(added.begin(), added.end());
    for (auto& heading : added) {
      column.emplace(heading, table.header.size());
      table.header.push_back(std::move(heading));
    }
    for (auto& r : table.rows) r.resize(table.header.size());
  }
  std::vector<std::string> cells(table.header.size());
  for (const auto& [heading, value] : row) cells[column.at(heading)] = value;
  table.rows.push_back(std::move(cells));
  return bom ? std::string(kBom) + format_csv(table) : format_csv(table);
}

namespace {

// The file a path names once every symbolic link on its last component is followed (a dangling link
// names the file it would create).
std::string resolve_links(const std::string& path) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st{};
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    std::string target(static_cast<size_t>(st.st_size > 0 ? st.st_size : 256) + 1, '\0');
    ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
    if (n < 0) fail(errno, "cannot read the link " + current);
    target.resize(static_cast<size_t>(n));
    if (!target.empty() && target[0] != '/') {
      const auto slash = current.rfind('/');
      if (slash != std::string::npos) target = current.substr(0, slash + 1) + target;
    }
    current = std::move(target);
  }
  fail(ELOOP, "cannot follow the links of " + path);
}

size_t read_some(int fd, std::string& into, size_t want) {
  const size_t old = into.size();
  into.resize(old + want);
  for (;;) {
    ssize_t n = ::read(fd, into.data() + old, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      into.resize(old);
      return static_cast<size_t>(-1);
    }
    into.resize(old + static_cast<size_t>(n));
    return static_cast<size_t>(n);
  }
}

}  // namespace

void append_csv_row_to_file(const std::string& path,
                            const std::vector<std::pair<std::string, std::string>>& row) {
  const std::string target = resolve_links(path);
  UniqueFd lock(::open((target + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
  if (!lock) fail(errno, "cannot open the lock file " + target + ".lock");
  while (::flock(lock.get(), LOCK_EX) != 0)
    if (errno != EINTR) fail(errno, "cannot lock " + target + ".lock");

  UniqueFd fd(::open(target.c_str(), O_RDWR | O_APPEND | O_CLOEXEC));
  if (!fd) {
    if (errno != ENOENT) fail(errno, "cannot open " + target);
    replace_file_atomically(target, append_csv_row("", row));
    return;
  }
  struct stat st{};
  if (::fstat(fd.get(), &st) != 0) fail(errno, "cannot read the status of " + target);
  if (!S_ISREG(st.st_mode)) fail(EINVAL, "cannot add a row to " + target + ": not a regular file");

  // Only the heading line is read, unless the row brings new headings.
  std::string text;
  std::optional<CsvHeading> heading;
  bool whole = false;
  while (!heading) {
    const size_t n = read_some(fd.get(), text, 64 * 1024);
    if (n == static_cast<size_t>(-1)) fail(errno, "cannot read " + target);
    whole = n == 0;
    heading = parse_csv_heading(text, whole);
  }
  bool in_place = !heading->cells.empty();
  std::unordered_map<std::string, size_t> column;
  for (size_t i = 0; i < heading->cells.size(); ++i) column.emplace(heading->cells[i], i);
  for (const auto& [name, _] : row) in_place = in_place && column.count(name) != 0;

  if (in_place) {
    std::vector<std::string> cells(heading->cells.size());
    for (const auto& [name, value] : row) cells[column.at(name)] = value;
    std::string line = format_csv_line(cells, heading->line_end);
    const off_t size = ::lseek(fd.get(), 0, SEEK_END);
    if (size < 0) fail(errno, "cannot seek in " + target);
    char last = '\n';
    if (size > 0 && ::pread(fd.get(), &last, 1, size - 1) != 1) fail(errno, "cannot read " + target);
    if (last != '\n' && last != '\r') line.insert(0, heading->line_end);
    try {
      write_all(fd.get(), line, target);
      if (::fsync(fd.get()) != 0) fail(errno, "cannot flush " + target);
    } catch (...) {
      // A row written in part (a full disk) is taken back: the file ends with a whole row again.
      (void)!::ftruncate(fd.get(), size);
      throw;
    }
    if (int err = fd.close_checked(); err != 0) fail(err, "cannot close " + target);
    return;
  }
  while (!whole) {
    const size_t n = read_some(fd.get(), text, 1 << 20);
    if (n == static_cast<size_t>(-1)) fail(errno, "cannot read " + target);
    whole = n == 0;
  }
  fd.reset();
  replace_file_atomically(target, append_csv_row(text, row));
}

}  // namespace ostrel::native
