#include "native/pipe_lines.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace ostrel::native {
namespace {

struct Pipe {
  int r = -1;
  int w = -1;
  Pipe() { EXPECT_EQ(::pipe2(&r, O_CLOEXEC), 0); }
  ~Pipe() {
    close_write();
    if (r >= 0) ::close(r);
  }
  void write_all(const std::string& s) {
    std::size_t done = 0;
    while (done < s.size()) {
      ssize_t n = ::write(w, s.data() + done, s.size() - done);
      ASSERT_GT(n, 0);
      done += static_cast<std::size_t>(n);
    }
  }
  // The drain owns the read end from then on.
  UniqueFd take_read_end() { return UniqueFd(std::exchange(r, -1)); }
  void close_write() {
    if (w >= 0) ::close(w);
    w = -1;
  }
};

std::vector<std::string> drain_all(LineDrain& drain) {
  std::vector<std::string> lines;
  while (drain.wait_lines(lines)) {
  }
  return lines;
}

TEST(LineDrain, SplitsUniversalNewlinesAndKeepsTheLastPiece) {
  Pipe p;
  LineDrain drain(p.take_read_end());
  p.write_all("one\r\ntwo\rthree\n  four  ");
  p.close_write();
  EXPECT_EQ(drain_all(drain), (std::vector<std::string>{"one\n", "two\n", "three\n", "  four  "}));
  EXPECT_EQ(drain.error(), 0);
  std::vector<std::string> more;
  EXPECT_FALSE(drain.wait_lines(more));
  EXPECT_TRUE(more.empty());
}

TEST(LineDrain, WriterNeverWaitsForTheConsumer) {
  // Far more than a pipe holds, written before anyone consumes: the writer would block without the drain.
  Pipe p;
  LineDrain drain(p.take_read_end());
  const std::string line(999, 'x');
  std::string all;
  for (int i = 0; i < 1000; ++i) all += line + "\n";
  p.write_all(all);
  p.close_write();
  std::vector<std::string> lines = drain_all(drain);
  ASSERT_EQ(lines.size(), 1000u);
  EXPECT_EQ(lines.front(), line + "\n");
}

TEST(LineDrain, UndecodableBytesPassThroughUntouched) {
  Pipe p;
  LineDrain drain(p.take_read_end());
  p.write_all(std::string("\xff\xfe\x00z\n", 5));
  p.close_write();
  EXPECT_EQ(drain_all(drain), (std::vector<std::string>{std::string("\xff\xfe\x00z\n", 5)}));
}

TEST(LineSplitter, HoldsACarriageReturnUntilTheNextByte) {
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

TEST(LineDrain, ReadErrorEndsTheStreamWithItsErrno) {
  LineDrain drain{UniqueFd()};
  EXPECT_TRUE(drain_all(drain).empty());
  EXPECT_EQ(drain.error(), EBADF);
}

TEST(BoundedTailTest, KeepsTheLastBytesAndCountsTheRest) {
  BoundedTail tail(4);
  tail.feed("ab");
  EXPECT_EQ(tail.text(), "ab");
  EXPECT_EQ(tail.left_out(), 0u);
  for (char c : std::string("cdefghij")) tail.feed(std::string(1, c));
  EXPECT_EQ(tail.text(), "ghij");
  EXPECT_EQ(tail.left_out(), 6u);
  tail.feed("0123456789");
  EXPECT_EQ(tail.text(), "6789");
  EXPECT_EQ(tail.left_out(), 16u);
}

TEST(BoundedTailTest, ReadsTwoPipesToTheirEnds) {
  int out[2], err[2];
  ASSERT_EQ(::pipe(out), 0);
  ASSERT_EQ(::pipe(err), 0);
  // More than a pipe holds on both: reading one pipe only would leave the writer blocked.
  std::thread writer([&] {
    std::string block(1 << 20, 'x');
    block.back() = '\n';
    for (int i = 0; i < 3; ++i) {
      (void)!::write(err[1], block.data(), block.size());
      (void)!::write(out[1], block.data(), block.size());
    }
    (void)!::write(out[1], "end", 3);
    ::close(out[1]);
    ::close(err[1]);
  });
  BoundedTail a(10), b(1 << 20);
  read_tails({out[0], err[0]}, {&a, &b});
  writer.join();
  EXPECT_EQ(a.text(), "xxxxxx\nend");
  EXPECT_EQ(a.left_out(), 3u * (1 << 20) + 3 - 10);
  EXPECT_EQ(b.left_out(), 2u * (1 << 20));
  ::close(out[0]);
  ::close(err[0]);

  ASSERT_EQ(::pipe(out), 0);
  int calls = 0;
  EXPECT_THROW(read_tails({out[0]}, {&a}, [&] { return ++calls == 2; }), ReadInterrupted);
  ::close(out[0]);
  ::close(out[1]);
}

}  // namespace
}  // namespace ostrel::native
