// The results CSV of the benchmark tool: a heading line and rows of text cells, comma-separated,
// quoted only where a cell needs it (a comma, a quote or a line break; quotes doubled).
#pragma once

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// Parses `text`; blank lines are skipped, short rows are padded with empty cells. A leading UTF-8
// byte-order mark (as spreadsheets save their CSV files) is an encoding marker, not part of the
// first heading.
CsvTable parse_csv(std::string_view text);

// The heading line at the start of a CSV file, read from a prefix of the file.
struct CsvHeading {
  bool bom = false;                  // the file starts with a UTF-8 byte-order mark
  std::vector<std::string> cells;    // the headings
  std::string line_end = "\n";       // "\r\n" when the heading line ends so
};

// Reads the heading record from `prefix`, the first bytes of a file (`whole`: the prefix is the whole
// file). Returns nothing when the prefix ends before the heading record does and more may follow.
// Throws CsvError for an unterminated quote in a whole file.
std::optional<CsvHeading> parse_csv_heading(std::string_view prefix, bool whole);

// One data line: the cells quoted where needed, ending with `line_end`.
std::string format_csv_line(const std::vector<std::string>& cells, std::string_view line_end);

std::string format_csv(const CsvTable& table);

// Adds one row of (heading, cell) pairs below the table `existing` (empty text: a new table whose
// columns are the row's headings in order). Cells go under their headings; headings the table lacks
// become new trailing columns in sorted order, empty in earlier rows; columns the row lacks get an
// empty cell. Earlier rows are kept cell for cell, and a leading byte-order mark stays. Returns the
// whole new file content.
std::string append_csv_row(std::string_view existing,
                           const std::vector<std::pair<std::string, std::string>>& row);

// Adds one row to the CSV file at `path` (created when missing). A symbolic link is followed: the row
// reaches the link's target. Writers of one file take turns through an exclusive lock on the file
// `<target>.lock` beside it, held around the whole read-modify-write, so rows of concurrent writers
// are never lost. When the file already has every heading of the row, the row is appended in place
// (written and synced at the end of the file, nothing else read but the heading line); only a row
// with new headings rewrites the file, through a temporary file renamed over it. Throws
// std::system_error for file errors and CsvError for a malformed file.
void append_csv_row_to_file(const std::string& path,
                            const std::vector<std::pair<std::string, std::string>>& row);

}  // namespace ostrel::native
