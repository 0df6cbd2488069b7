#include "native/fd_capture.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <future>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace ostrel::native {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

void write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    ASSERT_GT(n, 0) << "write failed: " << std::strerror(errno);
    data.remove_prefix(static_cast<std::size_t>(n));
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

// The echo texts a capture hands out, in order.
class EchoLog {
 public:
  FdCapture::EchoCallback callback() {
    return [this](std::string_view text) {
      std::lock_guard lock(mu_);
      lines_.emplace_back(text);
    };
  }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mu_);
    return lines_;
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> lines_;
};

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
  // What reached the file itself (not the capture).
  std::string sink_contents() const {
    std::string text(static_cast<std::size_t>(fs::file_size(sink_path_)), '\0');
    EXPECT_EQ(::pread(sink_fd_, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
    return text;
  }

  int sink_fd_ = -1;
  fs::path sink_path_;
  EchoLog echo_;
};

TEST_F(FdCaptureTest, CapturesAndEchoesWhatIsWrittenThenRestores) {
  FdCapture capture(sink_fd_, echo_.callback());
  write_all(sink_fd_, "before\n");
  capture.start();
  EXPECT_TRUE(capture.capturing());
  write_all(sink_fd_, "first line  \t\n");
  write_all(sink_fd_, "second\n");
  EXPECT_EQ(capture.output(), "");  // nothing until the capture ends
  EXPECT_TRUE(capture.stop());
  EXPECT_FALSE(capture.capturing());
  write_all(sink_fd_, "after\n");

  EXPECT_EQ(capture.output(), "first line  \t\nsecond\n");
  EXPECT_EQ(echo_.lines(), (std::vector<std::string>{"first line", "second"}));
  EXPECT_EQ(sink_contents(), "before\nafter\n");
}

TEST_F(FdCaptureTest, LinesFollowUniversalNewlinesAndTheLastPieceStandsAlone) {
  FdCapture capture(sink_fd_, echo_.callback());
  capture.start();
  write_all(sink_fd_, "dos\r\nmac\rsplit\r");
  write_all(sink_fd_, "\nblank\xc2\xa0 \n\n");
  write_all(sink_fd_, "tail without end  ");
  ASSERT_TRUE(capture.stop());
  EXPECT_EQ(capture.output(), "dos\nmac\nsplit\nblank\xc2\xa0 \n\ntail without end  ");
  EXPECT_EQ(echo_.lines(),
            (std::vector<std::string>{"dos", "mac", "split", "blank", "", "tail without end"}));
}

TEST_F(FdCaptureTest, EachCaptureReplacesTheOutputAndIdleStopsDoNothing) {
  FdCapture capture(sink_fd_);
  EXPECT_TRUE(capture.stop());  // never started
  capture.start();
  write_all(sink_fd_, "one\n");
  capture.stop();
  EXPECT_TRUE(capture.stop());  // already stopped
  EXPECT_EQ(capture.output(), "one\n");

  capture.start();
  EXPECT_EQ(capture.output(), "");
  write_all(sink_fd_, "two\n");
  capture.stop();
  EXPECT_EQ(capture.output(), "two\n");
  capture.clear_buffer();
  EXPECT_EQ(capture.output(), "");
  EXPECT_EQ(sink_contents(), "");
}

TEST_F(FdCaptureTest, StartingTwiceIsRefusedAndTheActiveCaptureGoesOn) {
  FdCapture capture(sink_fd_);
  capture.start();
  EXPECT_THROW(capture.start(), std::logic_error);
  write_all(sink_fd_, "still captured\n");
  capture.stop();
  EXPECT_EQ(capture.output(), "still captured\n");
  write_all(sink_fd_, "restored\n");
  EXPECT_EQ(sink_contents(), "restored\n");
}

TEST_F(FdCaptureTest, NestedCapturesRestoreToTheirOwnTargets) {
  FdCapture outer(sink_fd_);
  FdCapture inner(sink_fd_);
  outer.start();
  write_all(sink_fd_, "1\n");
  inner.start();
  write_all(sink_fd_, "2\n");
  inner.stop();
  write_all(sink_fd_, "3\n");
  outer.stop();
  EXPECT_EQ(inner.output(), "2\n");
  EXPECT_EQ(outer.output(), "1\n3\n");
  EXPECT_EQ(sink_contents(), "");
}

TEST_F(FdCaptureTest, BadDescriptorFailsAndChangesNothing) {
  FdCapture capture(sink_fd_);
  capture.start();
  write_all(sink_fd_, "kept\n");
  capture.stop();

  // The lowest free number: a pipe made before checking the source would take it.
  const std::set<int> before = open_fds();
  int closed_fd = 0;
  while (before.count(closed_fd) != 0) ++closed_fd;
  for (int bad : {-1, closed_fd}) {
    FdCapture failing(bad, echo_.callback());
    try {
      failing.start();
      FAIL() << "fd " << bad << " was captured";
    } catch (const std::system_error& e) {
      EXPECT_EQ(e.code().value(), EBADF);
      EXPECT_NE(std::string(e.what()).find("fd " + std::to_string(bad)), std::string::npos) << e.what();
    }
    EXPECT_FALSE(failing.capturing());
    EXPECT_EQ(failing.output(), "");
  }
  EXPECT_EQ(open_fds(), before);
  EXPECT_EQ(running_capture_sessions(), 0u);
  EXPECT_EQ(capture.output(), "kept\n");
}

TEST_F(FdCaptureTest, FailureHalfwayUndoesTheStepsAlreadyDone) {
  FdCapture capture(sink_fd_, echo_.callback());
  capture.start();
  write_all(sink_fd_, "previous\n");
  capture.stop();

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
  int error = 0;
  try {
    capture.start();
  } catch (const std::system_error& e) {
    error = e.code().value();
  }
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);

  EXPECT_EQ(error, EMFILE);
  EXPECT_FALSE(capture.capturing());
  EXPECT_EQ(capture.output(), "previous\n");  // not cleared by the failed start
  EXPECT_EQ(open_fds(), before);
  write_all(sink_fd_, "direct\n");
  EXPECT_EQ(sink_contents(), "direct\n");
}

TEST_F(FdCaptureTest, CloseOnExecFlagOfTheSourceIsKept) {
  for (bool cloexec : {false, true}) {
    ASSERT_EQ(::fcntl(sink_fd_, F_SETFD, cloexec ? FD_CLOEXEC : 0), 0);
    FdCapture capture(sink_fd_);
    capture.start();
    EXPECT_EQ((::fcntl(sink_fd_, F_GETFD) & FD_CLOEXEC) != 0, cloexec);
    capture.stop();
    EXPECT_EQ((::fcntl(sink_fd_, F_GETFD) & FD_CLOEXEC) != 0, cloexec);
  }
}

TEST_F(FdCaptureTest, UndecodableBytesKeepDraining) {
  FdCapture capture(sink_fd_, echo_.callback());
  capture.start();
  std::string data = "bad \xff\xfe bytes \xe2\x82\n";
  for (int i = 0; i < 20000; ++i) data += "\x80\xc0 filler line " + std::to_string(i) + "\n";
  write_all(sink_fd_, data);  // far more than a pipe holds
  ASSERT_TRUE(capture.stop());
  EXPECT_EQ(capture.output(), data);
  const auto lines = echo_.lines();
  ASSERT_EQ(lines.size(), 20001u);
  EXPECT_EQ(lines.front(), "bad \xef\xbf\xbd\xef\xbf\xbd bytes \xef\xbf\xbd");
  EXPECT_EQ(lines.back(), "\xef\xbf\xbd\xef\xbf\xbd filler line 19999");
  EXPECT_EQ(capture.output_text().rfind("bad \xef\xbf\xbd\xef\xbf\xbd bytes \xef\xbf\xbd\n", 0), 0u);
}

TEST_F(FdCaptureTest, AStalledEchoNeverBlocksTheWriter) {
  // The callback stands still until the writer is done, as an echo waiting for an interpreter lock that
  // the writing thread holds would. Writes of several MiB from several threads must still complete.
  std::mutex mu;
  std::condition_variable cv;
  bool release = false;
  std::vector<std::string> echoed;
  FdCapture capture(sink_fd_, [&](std::string_view text) {
    std::unique_lock lock(mu);
    cv.wait(lock, [&] { return release; });
    echoed.emplace_back(text);
  });
  capture.start();
  const std::string line = std::string(1023, 'x') + "\n";
  auto writer = std::async(std::launch::async, [&] {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&] {
        for (int i = 0; i < 1024; ++i) write_all(sink_fd_, line);  // 1 MiB per thread
      });
    }
    for (auto& thread : threads) thread.join();
  });
  const bool written = writer.wait_for(30s) == std::future_status::ready;
  {
    std::lock_guard lock(mu);
    release = true;
  }
  cv.notify_all();
  ASSERT_TRUE(written) << "the writers blocked on the echo";
  writer.get();
  ASSERT_TRUE(capture.stop(30s));
  EXPECT_EQ(capture.output().size(), 4u * 1024 * 1024);
  EXPECT_EQ(echoed.size(), 4u * 1024);
}

TEST_F(FdCaptureTest, OneMegabyteWithoutLineEndArrivesWhole) {
  FdCapture capture(sink_fd_, echo_.callback());
  capture.start();
  const std::string blob(1 << 20, 'y');
  write_all(sink_fd_, blob);
  ASSERT_TRUE(capture.stop());
  EXPECT_EQ(capture.output(), blob);
  ASSERT_EQ(echo_.lines().size(), 1u);
  EXPECT_EQ(echo_.lines()[0], blob);
}

TEST_F(FdCaptureTest, AnotherWriterKeepingThePipeOpenTimesOutAndTheThreadsFinishLater) {
  std::atomic<int> echoed{0};
  int extra_writer = -1;
  {
    FdCapture capture(sink_fd_, [&](std::string_view) { ++echoed; });
    capture.start();
    extra_writer = ::dup(sink_fd_);  // as a child process inheriting the descriptor would hold it
    ASSERT_GE(extra_writer, 0);
    write_all(sink_fd_, "early\n");
    while (echoed.load() < 1) std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(capture.stop(50ms));
    EXPECT_EQ(capture.output(), "early\n");
    EXPECT_EQ(running_capture_sessions(), 1u);
    write_all(sink_fd_, "restored\n");
  }  // the capture object goes away; its threads live on
  write_all(extra_writer, "late\n");
  ::close(extra_writer);
  EXPECT_TRUE(wait_for_capture_sessions(10s));
  EXPECT_EQ(echoed.load(), 2);
  EXPECT_EQ(sink_contents(), "restored\n");
}

TEST_F(FdCaptureTest, DestructorRestoresAndAThrowingCallbackDoesNotStopTheEcho) {
  EchoLog log;
  auto record = log.callback();
  {
    FdCapture capture(sink_fd_, [&](std::string_view text) {
      if (text == "boom") throw std::runtime_error("echo failed");
      record(text);
    });
    capture.start();
    write_all(sink_fd_, "boom\nafter boom\n");
  }
  write_all(sink_fd_, "direct\n");
  EXPECT_EQ(sink_contents(), "direct\n");
  EXPECT_EQ(log.lines(), (std::vector<std::string>{"after boom"}));
}

// ---- text helpers ----------------------------------------------------------------------------------

TEST(TextHelpersTest, DecodeReplacesLikePython) {
  // Expected values from bytes.decode("utf-8", "replace") of CPython 3.11.
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"plain", "plain"},
      {"caf\xc3\xa9", "caf\xc3\xa9"},
      {"\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"},
      {"\xff", "\xef\xbf\xbd"},
      {"\xc2", "\xef\xbf\xbd"},
      {"\x80\xbf", "\xef\xbf\xbd\xef\xbf\xbd"},
      {"\xe0\x80\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},                  // overlong
      {"\xf4\x90\x80\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},  // above U+10FFFF
      {"\xe2\x82\xac\xe2\x82", "\xe2\x82\xac\xef\xbf\xbd"},                      // truncated at the end
      {"\xed\xa0\x80"
       "a\xe2\x82"
       "b\xf0\x9f\x98\xc0\xff",  // surrogate, truncations
       "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"
       "a\xef\xbf\xbd"
       "b\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(decode_utf8_replace(bytes), text);
}

TEST(TextHelpersTest, RstripRemovesPythonWhiteSpaceOnly) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"a \t\n", "a"},
      {"a\xc2\xa0\xe3\x80\x80 ", "a"},  // U+00A0, U+3000
      {"a\x1c\x0b\x0c\r", "a"},
      {"\xe2\x80\xa8", ""},                 // U+2028
      {"x\xe2\x80\x8b ", "x\xe2\x80\x8b"},  // U+200B is not white space
      {"a\xe1\xa0\x8e", "a\xe1\xa0\x8e"},   // nor is U+180E
      {" lead", " lead"},
  };
  for (const auto& [text, stripped] : cases) EXPECT_EQ(rstrip_whitespace(text), stripped);
}

TEST(TextHelpersTest, SplitterHoldsACarriageReturnUntilTheNextByte) {
  LineSplitter splitter;
  std::vector<std::string> lines;
  splitter.feed("a\r", lines);
  EXPECT_TRUE(lines.empty());
  splitter.feed("\n", lines);  // "\r\n" across two reads is one line end
  EXPECT_EQ(lines, (std::vector<std::string>{"a\n"}));
  splitter.feed("b\r", lines);
  splitter.feed("c", lines);
  splitter.feed("\r", lines);
  splitter.finish(lines);  // a held "\r" at the end still ends its line
  EXPECT_EQ(lines, (std::vector<std::string>{"a\n", "b\n", "c\n"}));
}

}  // namespace
}  // namespace ostrel::native
