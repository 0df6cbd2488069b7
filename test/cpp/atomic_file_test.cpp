#include "native/atomic_file.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace ostrel::native {
namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class AtomicFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("atomic_file_test_" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  size_t entries() const { return static_cast<size_t>(std::distance(fs::directory_iterator(dir_), {})); }
  fs::path dir_;
};

TEST_F(AtomicFileTest, CreatesAndReplacesKeepingTheMode) {
  fs::path p = dir_ / "results.csv";
  replace_file_atomically(p.string(), "a,b\n1,2\n");
  EXPECT_EQ(slurp(p), "a,b\n1,2\n");
  ::chmod(p.c_str(), 0640);
  replace_file_atomically(p.string(), std::string("x\0y", 3));
  EXPECT_EQ(slurp(p), std::string("x\0y", 3));
  struct stat st{};
  ASSERT_EQ(::stat(p.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(entries(), 1u);  // no temporary file left behind
}

TEST_F(AtomicFileTest, FailureLeavesTheOldFileAndNoTemporary) {
  fs::path sub = dir_ / "sub";
  fs::create_directories(sub / "results.csv");  // a directory where the file should go
  EXPECT_THROW(replace_file_atomically((sub / "results.csv").string(), "new"), std::system_error);
  EXPECT_EQ(static_cast<size_t>(std::distance(fs::directory_iterator(sub), {})), 1u);
  EXPECT_THROW(replace_file_atomically((dir_ / "missing" / "r.csv").string(), "new"), std::system_error);
  EXPECT_THROW(replace_file_atomically((dir_ / "").string(), "new"), std::system_error);
}

}  // namespace
}  // namespace ostrel::native
