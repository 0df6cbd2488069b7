// The results CSV of the benchmark tool: a heading line and rows of text cells, comma-separated,
// quoted only where a cell needs it (a comma, a quote or a line break; quotes doubled).
#pragma once

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

// Parses `text`; blank lines are skipped, short rows are padded with empty cells.
CsvTable parse_csv(std::string_view text);

std::string format_csv(const CsvTable& table);

// Adds one row of (heading, cell) pairs below the table `existing` (empty text: a new table whose
// columns are the row's headings in order). Cells go under their headings; headings the table lacks
// become new trailing columns in sorted order, empty in earlier rows; columns the row lacks get an
// empty cell. Earlier rows are kept cell for cell. Returns the whole new file content.
std::string append_csv_row(std::string_view existing,
                           const std::vector<std::pair<std::string, std::string>>& row);

}  // namespace ostrel::native
