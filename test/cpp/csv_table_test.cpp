#include "native/csv_table.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace ostrel::native {
namespace {

namespace fs = std::filesystem;

const std::string kBom = "\xEF\xBB\xBF";

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

TEST(CsvTable, ByteOrderMarkIsAMarkerAndStays) {
  CsvTable t = parse_csv(kBom + "Batch Size,Model\n1,m\n");
  EXPECT_EQ(t.header, (std::vector<std::string>{"Batch Size", "Model"}));
  EXPECT_EQ(append_csv_row(kBom + "Batch Size\n1\n", {{"Batch Size", "2"}, {"New", "x"}}),
            kBom + "Batch Size,New\n1,\n2,x\n");
}

TEST(CsvTable, HeadingFromAPrefix) {
  struct Case {
    std::string prefix;
    bool whole;
    bool complete;
    std::vector<std::string> cells;
    std::string line_end;
  };
  const std::vector<Case> cases = {
      {"a,b\n1,2\n", false, true, {"a", "b"}, "\n"},
      {"a,b\r\n1,2\r\n", false, true, {"a", "b"}, "\r\n"},
      {"a,b\r", false, false, {}, ""},         // "\r\n" may be split
      {"\"x\ny\",b", false, false, {}, ""},    // the record goes on
      {"\"x\ny\",b\n", false, true, {"x\ny", "b"}, "\n"},
      {"\n\na,b\n", false, true, {"a", "b"}, "\n"},  // blank lines first
      {"a,b", true, true, {"a", "b"}, "\n"},
      {"\xEF\xBB", false, false, {}, ""},      // a mark cut short
      {"", true, true, {}, "\n"},
  };
  for (const auto& c : cases) {
    auto h = parse_csv_heading(c.prefix, c.whole);
    ASSERT_EQ(h.has_value(), c.complete) << c.prefix;
    if (!h) continue;
    EXPECT_EQ(h->cells, c.cells) << c.prefix;
    EXPECT_EQ(h->line_end, c.line_end) << c.prefix;
  }
  EXPECT_TRUE(parse_csv_heading(kBom + "a\n", false)->bom);
  EXPECT_THROW(parse_csv_heading("\"a,b", true), CsvError);
}

class CsvFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("csv_file_test_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  static std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  static void put(const fs::path& p, const std::string& text) { std::ofstream(p, std::ios::binary) << text; }
  static ino_t inode(const fs::path& p) {
    struct stat st{};
    ::stat(p.c_str(), &st);
    return st.st_ino;
  }
  fs::path dir_;
};

TEST_F(CsvFileTest, SameHeadingsAppendInPlaceNewOnesRewrite) {
  const fs::path p = dir_ / "r.csv";
  append_csv_row_to_file(p.string(), {{"a", "1"}, {"b", "x,y"}});
  EXPECT_EQ(slurp(p), "a,b\n1,\"x,y\"\n");
  EXPECT_TRUE(fs::exists(dir_ / "r.csv.lock"));
  const ino_t before = inode(p);
  append_csv_row_to_file(p.string(), {{"b", "2"}});
  EXPECT_EQ(slurp(p), "a,b\n1,\"x,y\"\n,2\n");
  EXPECT_EQ(inode(p), before);  // written in place
  append_csv_row_to_file(p.string(), {{"c", "3"}, {"a", "4"}});
  EXPECT_EQ(slurp(p), "a,b,c\n1,\"x,y\",\n,2,\n4,,3\n");
}

TEST_F(CsvFileTest, KeepsTheFileConventions) {
  struct Case {
    std::string before, after;
  };
  for (const Case& c : std::vector<Case>{
           {kBom + "Batch Size,Model\n1,m\n", kBom + "Batch Size,Model\n1,m\n2,n\n"},
           {"Batch Size,Model\r\n1,m\r\n", "Batch Size,Model\r\n1,m\r\n2,n\r\n"},
           {"Batch Size,Model\n1,m", "Batch Size,Model\n1,m\n2,n\n"},  // no final line end
           {"", "Batch Size,Model\n2,n\n"},
       }) {
    const fs::path p = dir_ / "r.csv";
    put(p, c.before);
    append_csv_row_to_file(p.string(), {{"Batch Size", "2"}, {"Model", "n"}});
    EXPECT_EQ(slurp(p), c.after) << c.before;
  }
}

TEST_F(CsvFileTest, RowsReachALinksTarget) {
  fs::create_directories(dir_ / "data");
  put(dir_ / "data" / "r.csv", "a\n1\n");
  fs::create_symlink("data/r.csv", dir_ / "link.csv");
  append_csv_row_to_file((dir_ / "link.csv").string(), {{"a", "2"}});
  append_csv_row_to_file((dir_ / "link.csv").string(), {{"z", "3"}});  // a rewrite too
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.csv"));
  EXPECT_EQ(slurp(dir_ / "data" / "r.csv"), "a,z\n1,\n2,\n,3\n");
  fs::create_symlink("missing.csv", dir_ / "dangling.csv");
  append_csv_row_to_file((dir_ / "dangling.csv").string(), {{"a", "1"}});
  EXPECT_EQ(slurp(dir_ / "missing.csv"), "a\n1\n");
}

TEST_F(CsvFileTest, RefusesWhatItCannotExtend) {
  put(dir_ / "bad.csv", "a,b\n\"open\n");
  EXPECT_THROW(append_csv_row_to_file((dir_ / "bad.csv").string(), {{"c", "1"}}), CsvError);
  EXPECT_EQ(slurp(dir_ / "bad.csv"), "a,b\n\"open\n");
  EXPECT_THROW(append_csv_row_to_file(dir_.string(), {{"a", "1"}}), std::system_error);
}

}  // namespace
}  // namespace ostrel::native
