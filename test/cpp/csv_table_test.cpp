#include "native/csv_table.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

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

// Every record with its line end, read from a text.
std::vector<std::pair<std::vector<std::string>, std::string>> records(CsvReader& reader) {
  std::vector<std::pair<std::vector<std::string>, std::string>> out;
  std::vector<std::string> cells;
  std::string line_end;
  while (reader.next(cells, &line_end)) out.emplace_back(cells, line_end);
  return out;
}

TEST(CsvReader, RecordsLineEndsAndMarks) {
  using Records = std::vector<std::pair<std::vector<std::string>, std::string>>;
  struct Case {
    std::string text;
    Records want;
    bool bom;
  };
  const std::vector<Case> cases = {
      {"a,b\n1,2\n", {{{"a", "b"}, "\n"}, {{"1", "2"}, "\n"}}, false},
      {"a,b\r\n1,2", {{{"a", "b"}, "\r\n"}, {{"1", "2"}, ""}}, false},
      {"\"x\ny\",b\n", {{{"x\ny", "b"}, "\n"}}, false},              // a line break inside quotes
      {"\"say \"\"hi\"\"\",\n", {{{"say \"hi\"", ""}, "\n"}}, false},  // doubled quotes
      {"\n\r\na,b\n\n\"\"\n", {{{"a", "b"}, "\n"}, {{""}, "\n"}}, false},  // blank lines; "" is no blank
      {kBom + "a\r1\r", {{{"a"}, "\r"}, {{"1"}, "\r"}}, true},
      {"\xEF\xBBx\n", {{{"\xEF\xBBx"}, "\n"}}, false},  // begins like a mark, is none
      {"", {}, false},
  };
  for (const auto& c : cases) {
    CsvReader reader(c.text);
    EXPECT_EQ(records(reader), c.want) << c.text;
    EXPECT_EQ(reader.bom(), c.bom) << c.text;
  }
  CsvReader open("a,b\n\"open,1\n");
  EXPECT_THROW(records(open), CsvError);
}

TEST(CsvReader, AFileReadInChunksGivesWhatTheTextGives) {
  const std::string text = kBom + "Model,\"Note\"\r\n\"a,b.onnx\",\"say \"\"hi\"\"\r\nbye\"\r\n\r\nplain,x\r\nlast";
  char name[] = "/tmp/csv_reader_test_XXXXXX";
  const int fd = ::mkstemp(name);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  CsvReader whole(text);
  const auto want = records(whole);
  for (size_t chunk : {1, 2, 3, 5, 7, 64}) {  // every split of a mark, a quote pair and a "\r\n"
    ASSERT_EQ(::lseek(fd, 0, SEEK_SET), 0);
    CsvReader reader(fd, name, chunk);
    EXPECT_EQ(records(reader), want) << chunk;
    EXPECT_TRUE(reader.bom()) << chunk;
  }
  ::close(fd);
  ::unlink(name);
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

TEST_F(CsvFileTest, ARewriteKeepsMarkLineEndsAndEveryCell) {
  const fs::path p = dir_ / "r.csv";
  put(p, kBom + "a,b\r\n\"x,1\",\"q\"\"\"\r\n\r\n2\r\n");
  append_csv_row_to_file(p.string(), {{"c", "3"}, {"a", "4"}});
  EXPECT_EQ(slurp(p), kBom + "a,b,c\r\n\"x,1\",\"q\"\"\",\r\n2,,\r\n4,,3\r\n");
}

TEST_F(CsvFileTest, WhereNoLockFileCanBeMadeTheCsvItselfIsLocked) {
  const fs::path p = dir_ / "r.csv";
  fs::create_directories(dir_ / "r.csv.lock");  // the lock file's path cannot be opened as a file
  append_csv_row_to_file(p.string(), {{"a", "1"}});  // made
  append_csv_row_to_file(p.string(), {{"a", "2"}});  // appended in place
  append_csv_row_to_file(p.string(), {{"b", "3"}});  // rewritten
  EXPECT_EQ(slurp(p), "a,b\n1,\n2,\n,3\n");
  EXPECT_TRUE(fs::is_directory(dir_ / "r.csv.lock"));
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

TEST_F(CsvFileTest, AFifoAsLockFileIsLetGoAndTheCsvItselfIsLocked) {
  const fs::path p = dir_ / "r.csv";
  ASSERT_EQ(::mkfifo((dir_ / "r.csv.lock").c_str(), 0666), 0);
  append_csv_row_to_file(p.string(), {{"a", "1"}});  // would wait for a writer of the FIFO in its open
  append_csv_row_to_file(p.string(), {{"b", "2"}});
  EXPECT_EQ(slurp(p), "a,b\n1,\n,2\n");
  EXPECT_TRUE(fs::is_fifo(dir_ / "r.csv.lock"));
  ASSERT_EQ(::mkfifo((dir_ / "fifo.csv").c_str(), 0666), 0);
  EXPECT_THROW(append_csv_row_to_file((dir_ / "fifo.csv").string(), {{"a", "1"}}), std::system_error);
}

void on_signal(int) {}

TEST_F(CsvFileTest, TheWaitForALockEndsWhenASignalAsksSo) {
  const fs::path p = dir_ / "r.csv";
  put(p, "a\n1\n");
  UniqueFd holder(::open((dir_ / "r.csv.lock").c_str(), O_RDONLY | O_CREAT, 0666));
  ASSERT_EQ(::flock(holder.get(), LOCK_EX), 0);
  struct sigaction action{}, old{};
  action.sa_handler = &on_signal;  // no SA_RESTART: the signal interrupts the wait
  ::sigaction(SIGUSR1, &action, &old);
  std::atomic<int> asked{0};
  std::atomic<bool> done{false};
  const pthread_t waiter = ::pthread_self();
  std::thread signaller([&] {
    while (!done) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      ::pthread_kill(waiter, SIGUSR1);
    }
  });
  // The first signal is answered "go on waiting", the second "stop".
  EXPECT_THROW(append_csv_row_to_file(p.string(), {{"a", "2"}}, [&] { return ++asked == 2; }), LockInterrupted);
  done = true;
  signaller.join();
  ::sigaction(SIGUSR1, &old, nullptr);
  EXPECT_EQ(asked.load(), 2);
  EXPECT_EQ(slurp(p), "a\n1\n");
}

TEST_F(CsvFileTest, AFileOpenedForAppendingIsARegularFileAndNeverBlocks) {
  const fs::path log = dir_ / "log.txt";
  put(log, "x\n");
  UniqueFd fd = open_for_appending(log.string());
  EXPECT_EQ(::fcntl(fd.get(), F_GETFL) & (O_NONBLOCK | O_APPEND | O_ACCMODE), O_APPEND | O_WRONLY);
  write_all(fd.get(), "y\n", log.string());
  EXPECT_EQ(slurp(log), "x\ny\n");
  fs::create_symlink("made.txt", dir_ / "link.txt");  // a dangling link names the file it makes
  open_for_appending((dir_ / "link.txt").string());
  EXPECT_TRUE(fs::is_regular_file(dir_ / "made.txt"));
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0666), 0);
  for (const fs::path& bad : {dir_ / "fifo", dir_}) {
    try {
      open_for_appending(bad.string());
      ADD_FAILURE() << bad;
    } catch (const std::system_error& e) {
      EXPECT_NE(std::string(e.what()).find(bad.string()), std::string::npos) << e.what();
      EXPECT_EQ(e.code().value(), bad == dir_ ? EISDIR : EINVAL) << e.what();
    }
  }
}

}  // namespace
}  // namespace ostrel::native
