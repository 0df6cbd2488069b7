// The results CSV of the benchmark tool: a heading line and rows of text cells, comma-separated,
// quoted only where a cell needs it (a comma, a quote or a line break; quotes doubled).
#pragma once

#include <cstddef>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "native/unique_fd.hpp"

namespace ostrel::native {

struct CsvTable {
  std::vector<std::string> header;
  std::vector<std::vector<std::string>> rows;  // each as long as the header
};

// Malformed input: an unterminated quote, or a row with more cells than the heading line.
class CsvError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads CSV records one at a time, from a text or from a file descriptor (read in chunks of `chunk`
// bytes, so a file of any size costs a buffer of about that size). Blank lines are skipped. A leading
// UTF-8 byte-order mark (as spreadsheets save their CSV files) is an encoding marker, not part of the
// first heading. Throws CsvError for an unterminated quote and std::system_error for a failed read.
class CsvReader {
 public:
  explicit CsvReader(std::string_view text);
  CsvReader(int fd, std::string path, std::size_t chunk = 64 * 1024);

  // The next record that is not blank into `cells`; false at the end of the input. `line_end` (when
  // given) receives the record's terminator: "\n", "\r\n", "\r", or "" for a last record without one.
  bool next(std::vector<std::string>& cells, std::string* line_end = nullptr);
  // True once the input was seen to start with a byte-order mark (known after the first next()).
  bool bom() const { return bom_; }

 private:
  bool more();  // true when a byte is available at pos_, reading more when needed

  std::string_view text_;  // the text, or the bytes read from the file and not yet dropped
  std::string buffer_;     // file mode: holds the bytes read
  std::size_t pos_ = 0;
  int fd_ = -1;
  std::string path_;
  std::size_t chunk_ = 0;
  bool at_start_ = true;
  bool bom_ = false;
  bool eof_ = false;
};

// Parses `text`; short rows are padded with empty cells.
CsvTable parse_csv(std::string_view text);

// One data line: the cells quoted where needed, ending with `line_end`.
std::string format_csv_line(const std::vector<std::string>& cells, std::string_view line_end);

std::string format_csv(const CsvTable& table);

// Adds one row of (heading, cell) pairs below the table `existing` (empty text: a new table whose
// columns are the row's headings in order). Cells go under their headings; headings the table lacks
// become new trailing columns in sorted order, empty in earlier rows; columns the row lacks get an
// empty cell. Earlier rows are kept cell for cell; a leading byte-order mark and "\r\n" line ends stay.
// Returns the whole new file content.
std::string append_csv_row(std::string_view existing,
                           const std::vector<std::pair<std::string, std::string>>& row);

// Thrown by append_csv_row_to_file when its interrupt check asks to stop the wait for a lock.
class LockInterrupted : public std::runtime_error {
 public:
  LockInterrupted() : std::runtime_error("waiting for the lock of the results CSV interrupted") {}
};

// Adds one row to the CSV file at `path` (created when missing).
//
// A symbolic link is followed as the kernel follows one under fs.protected_symlinks: a link in a sticky
// world-writable folder (such as /tmp) that belongs neither to the caller nor to the folder's owner is
// refused (EACCES), so another user's link cannot make the row rewrite a file of the caller's. The row
// reaches the link's target otherwise.
//
// Writers of one file take turns through exclusive locks held around the whole read-modify-write: on
// the file `<target>.lock` beside it and on the CSV itself, so rows of concurrent writers are never
// lost. Where no lock file can be used (a folder that refuses new files, or anything but a regular file
// under its name, such as a folder or a FIFO that another user made) the CSV's lock alone serves. No
// open blocks: a FIFO or device under either name is opened without waiting for a peer. While a lock is
// awaited, `interrupted` (when given) is asked after every signal that arrives; when it returns true
// the wait ends with LockInterrupted and nothing is written.
// When the file already has every heading of the row, the row is appended in place (written and synced
// at the end of the file, nothing else read but the heading line); only a row with new headings
// rewrites the file, streamed record by record into a temporary file renamed over it, so memory does
// not grow with the file. Throws std::system_error for file errors (anything but a regular file at the
// CSV's name included) and CsvError for a malformed file, which is then left as it was.
void append_csv_row_to_file(const std::string& path,
                            const std::vector<std::pair<std::string, std::string>>& row,
                            const std::function<bool()>& interrupted = {});

// Opens the file at `path` for appending, created (mode 0666 less the umask) when missing, as the
// benchmark tool opens its text log beside the CSV: a symbolic link is followed under the CSV's rule
// above (another user's link in a sticky world-writable folder is refused with EACCES), the open never
// blocks, and anything but a regular file (a FIFO, a device, a socket, a folder) is refused with an
// error naming the path. The descriptor returned writes without O_NONBLOCK.
UniqueFd open_for_appending(const std::string& path);

}  // namespace ostrel::native
