#include "native/csv_table.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <unordered_map>

#include "native/atomic_file.hpp"
#include "native/unique_fd.hpp"

namespace ostrel::native {

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

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

// One record's cells, quoted where needed and joined by commas, then `line_end`, added to `out`.
void line_into(std::string& out, const std::vector<std::string>& cells, std::string_view line_end) {
  for (size_t i = 0; i < cells.size(); ++i) {
    if (i) out += ',';
    quote_into(out, cells[i]);
  }
  out += line_end;
}

}  // namespace

// ---- reading ------------------------------------------------------------------------------------------

CsvReader::CsvReader(std::string_view text) : text_(text), eof_(true) {}

CsvReader::CsvReader(int fd, std::string path, std::size_t chunk)
    : fd_(fd), path_(std::move(path)), chunk_(std::max<std::size_t>(chunk, 1)) {}

bool CsvReader::more() {
  if (pos_ < text_.size()) return true;
  if (eof_) return false;
  // Bytes before pos_ are consumed: the buffer keeps one chunk, whatever the file's size.
  buffer_.clear();
  pos_ = 0;
  buffer_.resize(chunk_);
  for (;;) {
    const ssize_t n = ::read(fd_, buffer_.data(), chunk_);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail(errno, "cannot read " + path_);
    buffer_.resize(static_cast<size_t>(n));
    break;
  }
  text_ = buffer_;
  eof_ = buffer_.empty();
  return !eof_;
}

bool CsvReader::next(std::vector<std::string>& cells, std::string* line_end) {
  cells.clear();
  std::string cell;
  if (at_start_) {
    // The mark may arrive split over reads. Bytes that begin like it but are not all of it start the
    // first cell.
    at_start_ = false;
    while (cell.size() < kBom.size() && more() && text_[pos_] == kBom[cell.size()]) cell += text_[pos_++];
    if (cell == kBom) {
      bom_ = true;
      cell.clear();
    }
  }
  bool quoted = false;  // the record has a quoted cell, so an empty line of it is not blank
  for (;;) {
    if (!more()) {
      if (cells.empty() && cell.empty() && !quoted) return false;
      cells.push_back(std::move(cell));
      if (line_end) line_end->clear();
      return true;
    }
    const char c = text_[pos_];
    if (c == '"' && cell.empty()) {
      quoted = true;
      ++pos_;
      for (;;) {
        if (!more()) throw CsvError("unterminated quoted cell in CSV text");
        const size_t quote = text_.find('"', pos_);
        if (quote == std::string_view::npos) {
          cell.append(text_.substr(pos_));
          pos_ = text_.size();
          continue;
        }
        cell.append(text_.substr(pos_, quote - pos_));
        pos_ = quote + 1;
        if (more() && text_[pos_] == '"') {  // a doubled quote stands for one
          cell += '"';
          ++pos_;
          continue;
        }
        break;
      }
    } else if (c == ',') {
      cells.push_back(std::move(cell));
      cell.clear();
      ++pos_;
    } else if (c == '\n' || c == '\r') {
      ++pos_;
      const bool crlf = c == '\r' && more() && text_[pos_] == '\n';
      if (crlf) ++pos_;
      if (cells.empty() && cell.empty() && !quoted) continue;  // a blank line
      cells.push_back(std::move(cell));
      if (line_end) *line_end = crlf ? "\r\n" : std::string(1, c);
      return true;
    } else {
      // A run of plain bytes at once.
      size_t end = pos_ + 1;
      while (end < text_.size() && text_[end] != ',' && text_[end] != '"' && text_[end] != '\n' &&
             text_[end] != '\r')
        ++end;
      cell.append(text_.substr(pos_, end - pos_));
      pos_ = end;
    }
  }
}

namespace {

[[noreturn]] void too_many_cells(size_t record, size_t cells, size_t headings) {
  throw CsvError("CSV row " + std::to_string(record) + " has " + std::to_string(cells) +
                 " cells, the heading line " + std::to_string(headings));
}

}  // namespace

CsvTable parse_csv(std::string_view text) {
  CsvReader reader(text);
  CsvTable table;
  if (!reader.next(table.header)) return table;
  std::vector<std::string> row;
  while (reader.next(row)) {
    if (row.size() > table.header.size()) too_many_cells(table.rows.size() + 2, row.size(), table.header.size());
    row.resize(table.header.size());
    table.rows.push_back(std::move(row));
  }
  return table;
}

// ---- writing ------------------------------------------------------------------------------------------

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

namespace {

using Row = std::vector<std::pair<std::string, std::string>>;

// Where rewritten text goes: an in-memory text, or a file written in chunks of about 1 MiB.
class Output {
 public:
  explicit Output(std::string& text) : text_(text) {}
  Output(std::string& buffer, int fd, const std::string& path) : text_(buffer), fd_(fd), path_(&path) {}
  std::string& text() { return text_; }
  void flush_if_full() {
    if (fd_ >= 0 && text_.size() >= (1u << 20)) flush();
  }
  void flush() {
    if (fd_ < 0) return;
    write_all(fd_, text_, *path_);
    text_.clear();
  }

 private:
  std::string& text_;
  int fd_ = -1;
  const std::string* path_ = nullptr;
};

// The table of `reader` (its heading line `heading` already read, or none: a new table) with `row`
// added, written to `out` record by record. Headings the table lacks become trailing columns in sorted
// order; earlier rows keep their cells, padded with empty ones.
void write_with_row(CsvReader& reader, const std::vector<std::string>* heading, std::string_view line_end,
                    const Row& row, Output& out) {
  std::vector<std::string> header = heading ? *heading : std::vector<std::string>{};
  const size_t old_width = header.size();
  std::unordered_map<std::string, size_t> column;
  for (size_t i = 0; i < header.size(); ++i) column.emplace(header[i], i);
  if (!heading) {
    for (const auto& [name, _] : row)
      if (column.emplace(name, header.size()).second) header.push_back(name);
  } else {
    std::vector<std::string> added;
    for (const auto& [name, _] : row)
      if (!column.count(name) && std::find(added.begin(), added.end(), name) == added.end()) added.push_back(name);
    std::sort(added.begin(), added.end());
    for (auto& name : added) {
      column.emplace(name, header.size());
      header.push_back(std::move(name));
    }
  }
  if (reader.bom()) out.text() += kBom;
  line_into(out.text(), header, line_end);
  if (heading) {
    std::vector<std::string> record;
    for (size_t n = 2; reader.next(record); ++n) {
      if (record.size() > old_width) too_many_cells(n, record.size(), old_width);
      record.resize(header.size());
      line_into(out.text(), record, line_end);
      out.flush_if_full();
    }
  }
  std::vector<std::string> cells(header.size());
  for (const auto& [name, value] : row) cells[column.at(name)] = value;
  line_into(out.text(), cells, line_end);
  out.flush();
}

}  // namespace

std::string append_csv_row(std::string_view existing, const Row& row) {
  CsvReader reader(existing);
  std::vector<std::string> heading;
  std::string line_end;
  const bool has_heading = reader.next(heading, &line_end);
  std::string text;
  Output out(text);
  write_with_row(reader, has_heading ? &heading : nullptr, line_end == "\r\n" ? "\r\n" : "\n", row, out);
  return text;
}

// ---- the file -----------------------------------------------------------------------------------------

namespace {

std::string parent_folder(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The file a path names once every symbolic link on its last component is followed (a dangling link
// names the file it would create), refusing the links the kernel refuses under fs.protected_symlinks:
// in a sticky world-writable folder, a link is followed only when it belongs to the caller or to the
// folder's owner. Links among the folders of the path are followed by the kernel itself.
std::string resolve_links(const std::string& path) {
  std::string current = path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat link{};
    if (::lstat(current.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return current;
    const std::string folder = parent_folder(current);
    struct stat dir{};
    if (::stat(folder.c_str(), &dir) != 0) fail(errno, "cannot read the status of " + folder);
    if ((dir.st_mode & S_ISVTX) && (dir.st_mode & S_IWOTH) && link.st_uid != ::geteuid() &&
        link.st_uid != dir.st_uid)
      fail(EACCES, "refusing to follow the link " + current + ": it lies in the sticky world-writable folder " +
                       folder + " and belongs to another user (uid " + std::to_string(link.st_uid) +
                       "), neither you nor the folder's owner; remove it or choose another path");
    std::string target(static_cast<size_t>(link.st_size > 0 ? link.st_size : 256) + 1, '\0');
    ssize_t n = ::readlink(current.c_str(), target.data(), target.size());
    if (n < 0) fail(errno, "cannot read the link " + current);
    target.resize(static_cast<size_t>(n));
    if (!target.empty() && target[0] != '/' && current.rfind('/') != std::string::npos)
      target = current.substr(0, current.rfind('/') + 1) + target;
    current = std::move(target);
  }
  fail(ELOOP, "cannot follow the links of " + path);
}

// Waits for an exclusive lock on `fd`. A signal ends the wait when `interrupted` says so.
void lock(int fd, const std::string& path, const std::function<bool()>& interrupted) {
  while (::flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) fail(errno, "cannot lock " + path);
    if (interrupted && interrupted()) throw LockInterrupted();
  }
}

const char* kind_of(mode_t mode) {
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  return "a special file";
}

[[noreturn]] void not_regular(const std::string& what, mode_t mode) {
  fail(S_ISDIR(mode) ? EISDIR : EINVAL, what + ": it is " + kind_of(mode) + ", not a regular file");
}

// Files are opened with O_NONBLOCK, so that a FIFO or a device under a name never blocks the open; once
// the descriptor is known to be a regular file it writes as usual.
void clear_nonblocking(int fd, const std::string& path) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) fail(errno, "cannot set the flags of " + path);
}

bool is_regular(int fd) {
  struct stat st{};
  return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// The status of `fd`, opened without blocking from `target`: anything but a regular file is refused (with
// `what` as the message's head), and a regular file then blocks as usual.
struct stat regular_file_status(int fd, const std::string& target, const std::string& what) {
  struct stat st{};
  if (::fstat(fd, &st) != 0) fail(errno, "cannot read the status of " + target);
  if (!S_ISREG(st.st_mode)) not_regular(what, st.st_mode);
  clear_nonblocking(fd, target);
  return st;
}

// The CSV at `target` opened for appending and locked, created empty when missing (`created`). A file
// replaced while this writer waited for its lock (another writer renamed a rewrite over it) is let go
// and the file now at the path locked instead, so the lock always guards the file the path names.
UniqueFd open_locked(const std::string& target, bool& created, const std::function<bool()>& interrupted) {
  constexpr int kFlags = O_RDWR | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  for (;;) {
    created = false;
    UniqueFd fd(::open(target.c_str(), kFlags));
    if (!fd && errno == ENOENT) {
      fd.reset(::open(target.c_str(), kFlags | O_CREAT | O_EXCL, 0666));
      if (!fd && errno == EEXIST) continue;
      created = static_cast<bool>(fd);
    }
    if (!fd) fail(errno, "cannot open " + target);
    const struct stat held = regular_file_status(fd.get(), target, "cannot add a row to " + target);
    lock(fd.get(), target, interrupted);
    struct stat now{};
    if (::stat(target.c_str(), &now) == 0 && now.st_dev == held.st_dev && now.st_ino == held.st_ino) return fd;
  }
}

// Writes `text` at the end of the locked file and syncs it; a text written in part (a full disk) is
// taken back, so the file ends as it did.
void append_in_place(int fd, const std::string& target, const std::string& text, off_t size) {
  try {
    write_all(fd, text, target);
    if (::fsync(fd) != 0) fail(errno, "cannot flush " + target);
  } catch (...) {
    (void)!::ftruncate(fd, size);
    throw;
  }
}

}  // namespace

void append_csv_row_to_file(const std::string& path, const Row& row, const std::function<bool()>& interrupted) {
  const std::string target = resolve_links(path);
  // The lock file beside the CSV, kept (removing it would let two writers lock different files). It is
  // only locked, never written, so reading it suffices; a link there is not followed. Anything but a
  // regular file there (a FIFO another user made, a folder) is let go: the CSV's own lock serves.
  const std::string lock_path = target + ".lock";
  UniqueFd lock_file(::open(lock_path.c_str(), O_RDONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
  if (lock_file && !is_regular(lock_file.get())) lock_file.reset();
  if (lock_file) lock(lock_file.get(), lock_path, interrupted);
  bool created = false;
  UniqueFd fd = open_locked(target, created, interrupted);
  try {
    const off_t size = ::lseek(fd.get(), 0, SEEK_END);
    if (size < 0 || ::lseek(fd.get(), 0, SEEK_SET) != 0) fail(errno, "cannot seek in " + target);

    // Only the heading line is read, unless the row brings new headings.
    CsvReader reader(fd.get(), target);
    std::vector<std::string> heading;
    std::string terminator;
    const bool has_heading = reader.next(heading, &terminator);
    const std::string_view line_end = terminator == "\r\n" ? "\r\n" : "\n";

    if (!has_heading && size == 0) {  // a new (or empty) file: the heading line and the row
      std::string text;
      Output out(text);
      write_with_row(reader, nullptr, line_end, row, out);
      append_in_place(fd.get(), target, text, size);
    } else {
      std::unordered_map<std::string, size_t> column;
      for (size_t i = 0; i < heading.size(); ++i) column.emplace(heading[i], i);
      bool in_place = has_heading;
      for (const auto& [name, _] : row) in_place = in_place && column.count(name) != 0;
      if (in_place) {
        std::vector<std::string> cells(heading.size());
        for (const auto& [name, value] : row) cells[column.at(name)] = value;
        std::string line = format_csv_line(cells, line_end);
        char last = '\n';
        if (size > 0 && ::pread(fd.get(), &last, 1, size - 1) != 1) fail(errno, "cannot read " + target);
        if (last != '\n' && last != '\r') line.insert(0, line_end);
        append_in_place(fd.get(), target, line, size);
      } else {
        replace_file_atomically(target, [&](int out_fd, const std::string& temp_path) {
          std::string buffer;
          Output out(buffer, out_fd, temp_path);
          write_with_row(reader, has_heading ? &heading : nullptr, line_end, row, out);
        });
      }
    }
  } catch (...) {
    // A file this writer made and could not fill goes again (it still holds the lock, so no other
    // writer has used it).
    if (created) ::unlink(target.c_str());
    throw;
  }
  if (int err = fd.close_checked(); err != 0) fail(err, "cannot close " + target);
}

UniqueFd open_for_appending(const std::string& path) {
  const std::string target = resolve_links(path);
  UniqueFd fd(::open(target.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
  struct stat st{};
  if (!fd) {
    const int err = errno;
    // A FIFO without a reader, or a device without its hardware, answers ENXIO.
    if (err == ENXIO && ::lstat(target.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
      not_regular("cannot append to " + target, st.st_mode);
    fail(err, "cannot open " + target);
  }
  regular_file_status(fd.get(), target, "cannot append to " + target);
  return fd;
}

}  // namespace ostrel::native
