#include "native/fd_capture.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace ostrel::native {
namespace {

namespace fs = std::filesystem;

void write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    ASSERT_GT(n, 0) << "write failed: " << std::strerror(errno);
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Everything left in a pipe whose writers are all gone; fails the test instead of blocking when a writer
// still holds it open.
std::string read_to_end(const UniqueFd& fd) {
  const int flags = ::fcntl(fd.get(), F_GETFL);
  EXPECT_EQ(::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK), 0);
  std::string text;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n == 0) return text;
    if (n < 0) {
      ADD_FAILURE() << "the pipe has a writer left: " << std::strerror(errno);
      return text;
    }
    text.append(buf, static_cast<std::size_t>(n));
  }
}

std::set<int> open_fds() {
  std::set<int> fds;
  DIR* dir = ::opendir("/proc/self/fd");
  for (dirent* entry; (entry = ::readdir(dir)) != nullptr;) {
    if (entry->d_name[0] != '.') fds.insert(std::atoi(entry->d_name));
  }
  fds.erase(::dirfd(dir));
  ::closedir(dir);
  return fds;
}

// Each test captures a descriptor of its own (a temporary file), never the runner's standard streams.
class FdCaptureTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "ostrel-capture-XXXXXX").string();
    sink_fd_ = ::mkstemp(pattern.data());
    ASSERT_GE(sink_fd_, 0);
    sink_path_ = pattern;
  }
  void TearDown() override {
    ::close(sink_fd_);
    fs::remove(sink_path_);
  }
  // What reached the file itself (not a capture).
  std::string sink_contents() const {
    std::string text(static_cast<std::size_t>(fs::file_size(sink_path_)), '\0');
    EXPECT_EQ(::pread(sink_fd_, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
    return text;
  }

  int sink_fd_ = -1;
  fs::path sink_path_;
};

TEST_F(FdCaptureTest, RedirectsIntoThePipeAndRestores) {
  const std::set<int> before = open_fds();
  FdCapture capture(sink_fd_);
  EXPECT_EQ(capture.original_fd(), -1);
  write_all(sink_fd_, "before\n");
  UniqueFd reader = capture.start();
  EXPECT_GE(capture.original_fd(), 0);
  EXPECT_NE(::fcntl(reader.get(), F_GETFD) & FD_CLOEXEC, 0);
  write_all(sink_fd_, "inside\n");
  capture.stop();
  EXPECT_EQ(capture.original_fd(), -1);
  write_all(sink_fd_, "after\n");
  EXPECT_EQ(read_to_end(reader), "inside\n");
  EXPECT_EQ(sink_contents(), "before\nafter\n");
  capture.stop();  // idle: nothing happens
  reader.reset();
  EXPECT_EQ(open_fds(), before);
}

TEST_F(FdCaptureTest, StartingTwiceIsRefusedAndTheActiveCaptureGoesOn) {
  FdCapture capture(sink_fd_);
  UniqueFd reader = capture.start();
  EXPECT_THROW((void)capture.start(), std::logic_error);
  write_all(sink_fd_, "still captured\n");
  capture.stop();
  EXPECT_EQ(read_to_end(reader), "still captured\n");
  write_all(sink_fd_, "restored\n");
  EXPECT_EQ(sink_contents(), "restored\n");
}

// Three captures of one descriptor ending in every order: each pipe gets what was written while it was
// the newest live capture and reaches its end as its capture stops; afterwards the file gets the writes.
TEST_F(FdCaptureTest, OverlappingCapturesEndInAnyOrder) {
  const std::vector<std::vector<int>> orders = {{2, 1, 0}, {0, 1, 2}, {1, 0, 2}, {0, 2, 1}, {1, 2, 0}};
  for (const auto& order : orders) {
    SCOPED_TRACE("stop order " + std::to_string(order[0]) + std::to_string(order[1]) + std::to_string(order[2]));
    const std::set<int> before = open_fds();
    ASSERT_EQ(::ftruncate(sink_fd_, 0), 0);
    ASSERT_EQ(::lseek(sink_fd_, 0, SEEK_SET), 0);
    std::vector<std::unique_ptr<FdCapture>> captures;
    std::vector<UniqueFd> readers;
    std::vector<std::string> expected(3);
    for (int i = 0; i < 3; ++i) {
      captures.push_back(std::make_unique<FdCapture>(sink_fd_));
      readers.push_back(captures.back()->start());
      write_all(sink_fd_, "w" + std::to_string(i) + "\n");
      expected[i] += "w" + std::to_string(i) + "\n";
    }
    std::set<int> live = {0, 1, 2};
    for (const int i : order) {
      captures[i]->stop();
      live.erase(i);
      EXPECT_EQ(read_to_end(readers[i]), expected[i]);
      if (!live.empty()) {
        const std::string text = "after " + std::to_string(i) + "\n";
        write_all(sink_fd_, text);
        expected[*live.rbegin()] += text;
      }
    }
    write_all(sink_fd_, "restored\n");
    EXPECT_EQ(sink_contents(), "restored\n");
    readers.clear();
    EXPECT_EQ(open_fds(), before);
  }
}

TEST_F(FdCaptureTest, BadDescriptorFailsAndChangesNothing) {
  // The lowest free number: a pipe made before checking the source would take it.
  const std::set<int> before = open_fds();
  int closed_fd = 0;
  while (before.count(closed_fd) != 0) ++closed_fd;
  for (int bad : {-1, closed_fd}) {
    FdCapture failing(bad);
    try {
      (void)failing.start();
      FAIL() << "fd " << bad << " was captured";
    } catch (const std::system_error& e) {
      EXPECT_EQ(e.code().value(), EBADF);
      EXPECT_NE(std::string(e.what()).find("fd " + std::to_string(bad)), std::string::npos) << e.what();
    }
    EXPECT_EQ(failing.original_fd(), -1);
  }
  EXPECT_EQ(open_fds(), before);
}

TEST_F(FdCaptureTest, FailureHalfwayUndoesTheStepsAlreadyDone) {
  // Room for two new descriptors only: the duplicate takes one, the pipe needs two and fails (EMFILE).
  const std::set<int> before = open_fds();
  std::vector<int> free_fds;
  for (int fd = 0; free_fds.size() < 3; ++fd) {
    if (before.count(fd) == 0) free_fds.push_back(fd);
  }
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(free_fds[1]) + 1;  // the third free number is out of reach
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
  FdCapture capture(sink_fd_);
  int error = 0;
  try {
    (void)capture.start();
  } catch (const std::system_error& e) {
    error = e.code().value();
  }
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);

  EXPECT_EQ(error, EMFILE);
  EXPECT_EQ(capture.original_fd(), -1);
  EXPECT_EQ(open_fds(), before);
  write_all(sink_fd_, "direct\n");
  EXPECT_EQ(sink_contents(), "direct\n");
}

TEST_F(FdCaptureTest, CloseOnExecFlagOfTheSourceIsKept) {
  for (bool cloexec : {false, true}) {
    ASSERT_EQ(::fcntl(sink_fd_, F_SETFD, cloexec ? FD_CLOEXEC : 0), 0);
    FdCapture older(sink_fd_);
    FdCapture newer(sink_fd_);
    UniqueFd r1 = older.start();
    EXPECT_EQ((::fcntl(sink_fd_, F_GETFD) & FD_CLOEXEC) != 0, cloexec);
    UniqueFd r2 = newer.start();
    older.stop();  // out of order: the newer capture takes over the older one's target and flag
    newer.stop();
    EXPECT_EQ((::fcntl(sink_fd_, F_GETFD) & FD_CLOEXEC) != 0, cloexec);
  }
}

TEST_F(FdCaptureTest, DestructorRestores) {
  UniqueFd reader;
  {
    FdCapture capture(sink_fd_);
    reader = capture.start();
    write_all(sink_fd_, "captured\n");
  }
  write_all(sink_fd_, "direct\n");
  EXPECT_EQ(read_to_end(reader), "captured\n");
  EXPECT_EQ(sink_contents(), "direct\n");
}

}  // namespace
}  // namespace ostrel::native
