#include "native/csv_table.hpp"

#include <gtest/gtest.h>

namespace ostrel::native {
namespace {

TEST(CsvTable, QuotesOnlyWhereNeededAndReadsBack) {
  CsvTable t{{"Model", "Note"}, {{"a,b.onnx", "say \"hi\"\nbye"}, {"plain", ""}}};
  std::string text = format_csv(t);
  EXPECT_EQ(text, "Model,Note\n\"a,b.onnx\",\"say \"\"hi\"\"\nbye\"\nplain,\n");
  CsvTable back = parse_csv(text);
  EXPECT_EQ(back.header, t.header);
  EXPECT_EQ(back.rows, t.rows);
  EXPECT_EQ(parse_csv("a,b\r\n\r\n1\r\n").rows, (std::vector<std::vector<std::string>>{{"1", ""}}));
}

TEST(CsvTable, AppendMatchesByHeadingAndKeepsEarlierCells) {
  std::string first = append_csv_row("", {{"Batch Size", "1"}, {"Ostrel Version", "3.10"}, {"Model", "m"}});
  EXPECT_EQ(first, "Batch Size,Ostrel Version,Model\n1,3.10,m\n");
  std::string second =
      append_csv_row(first, {{"Model", "n"}, {"Zeta", "z"}, {"Alpha", "a"}, {"Batch Size", "2"}});
  EXPECT_EQ(second, "Batch Size,Ostrel Version,Model,Alpha,Zeta\n1,3.10,m,,\n2,,n,a,z\n");
}

TEST(CsvTable, MalformedTextIsRefused) {
  EXPECT_THROW(parse_csv("a,b\n\"open,1\n"), CsvError);
  EXPECT_THROW(append_csv_row("a\n1,2\n", {{"a", "3"}}), CsvError);
}

}  // namespace
}  // namespace ostrel::native
