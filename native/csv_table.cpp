#include "native/csv_table.hpp"

#include <algorithm>
#include <unordered_map>

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

}  // namespace

CsvTable parse_csv(std::string_view text) {
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

std::string format_csv(const CsvTable& table) {
  std::string out;
  auto line = [&](const std::vector<std::string>& cells) {
    for (size_t i = 0; i < cells.size(); ++i) {
      if (i) out += ',';
      quote_into(out, cells[i]);
    }
    out += '\n';
  };
  line(table.header);
  for (const auto& row : table.rows) line(row);
  return out;
}

std::string append_csv_row(std::string_view existing,
                           const std::vector<std::pair<std::string, std::string>>& row) {
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
  return format_csv(table);
}

}  // namespace ostrel::native
