#include "native/timing.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace ostrel::native {
namespace {

using namespace std::chrono_literals;

TEST(PerfCounterTest, ReadsTheMonotonicClockInSeconds) {
  const std::int64_t before = monotonic_ns();
  const double seconds = perf_counter();
  const std::int64_t after = monotonic_ns();
  EXPECT_GE(seconds, static_cast<double>(before) / 1e9);
  EXPECT_LE(seconds, static_cast<double>(after) / 1e9);
}

TEST(CpuTimerTest, StopMeasuresFromTheLastStartAndResetsNothing) {
  CpuTimer timer;
  timer.start();
  std::this_thread::sleep_for(20ms);
  const double first = timer.stop();
  std::this_thread::sleep_for(5ms);
  const double second = timer.stop();
  EXPECT_GE(first, 20.0);
  EXPECT_GE(second, first + 5.0);

  timer.start();  // a new mark replaces the old one
  EXPECT_LT(timer.stop(), first);
}

TEST(CpuTimerTest, StopBeforeStartMeasuresFromZero) {
  CpuTimer timer;
  EXPECT_EQ(timer.starter, 0.0);
  const double now_ms = perf_counter() * 1000.0;
  EXPECT_GE(timer.stop(), now_ms);
}

// Values of numpy.mean / numpy.var (float64, ddof 0), written down from NumPy 2.4.
// Series A: 1e6 + ((i * 7919) % 1000) * 0.001;  series B: 0.1 * ((i * 37) % 101) + 3.0.
// Naive left-to-right sums and Welford's update differ from these in the last bits for most rows.
double series_a(int i) { return 1e6 + static_cast<double>((i * 7919) % 1000) * 0.001; }
double series_b(int i) { return 0.1 * static_cast<double>((i * 37) % 101) + 3.0; }

struct NumpyCase {
  const char* name;
  double (*value)(int);
  int n;
  double mean;
  double variance;
};

TEST(MeanVarianceTest, MatchesNumpyBitForBit) {
  const NumpyCase cases[] = {
      {"A/5", series_a, 5, 0x1.e848146a7ef9ep+19, 0x1.bbafd976d06fep-4},
      {"A/77", series_a, 77, 0x1.e8480fca2ab6fp+19, 0x1.64a47a2c85758p-4},
      {"A/1000", series_a, 1000, 0x1.e8480ffbe76c9p+19, 0x1.55553ef6b4289p-4},
      {"A/4099", series_a, 4099, 0x1.e8480ff9249d2p+19, 0x1.555f41355ea62p-4},
      {"B/5", series_b, 5, 0x1.970a3d70a3d71p+2, 0x1.c12d77318fc52p+2},
      {"B/77", series_b, 77, 0x1.fe2be2be2be2ap+2, 0x1.13bf548f8ccb9p+3},
      {"B/1000", series_b, 1000, 0x1.00083126e978dp+3, 0x1.107672b884407p+3},
      {"B/4099", series_b, 4099, 0x1.ffef9cac394eep+2, 0x1.100df62999259p+3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<double> values;
    for (int i = 0; i < c.n; ++i) values.push_back(c.value(i));
    const MeanVariance stats = mean_and_variance(values);
    EXPECT_EQ(stats.mean, c.mean);
    EXPECT_EQ(stats.variance, c.variance);
  }
}

TEST(MeanVarianceTest, SmallAndEmptyInputs) {
  const std::vector<double> two = {2.0, 4.0};
  EXPECT_EQ(mean_and_variance(two).mean, 3.0);
  EXPECT_EQ(mean_and_variance(two).variance, 1.0);

  const std::vector<double> one = {7.25};
  EXPECT_EQ(mean_and_variance(one).mean, 7.25);
  EXPECT_EQ(mean_and_variance(one).variance, 0.0);

  const MeanVariance empty = mean_and_variance({});
  EXPECT_TRUE(std::isnan(empty.mean));
  EXPECT_TRUE(std::isnan(empty.variance));
}

TEST(ItemSourceTest, RepetitionsGiveExactlyThatManyItems) {
  RepetitionItems seven(7);
  std::vector<std::int64_t> seen;
  while (auto item = seven.next()) seen.push_back(*item);
  EXPECT_EQ(seen, (std::vector<std::int64_t>{0, 1, 2, 3, 4, 5, 6}));
  EXPECT_FALSE(seven.next());

  RepetitionItems negative(-3);
  EXPECT_FALSE(negative.next());
}

TEST(ItemSourceTest, DurationRunsWholeBlocksAndChecksTheClockOncePerBlock) {
  // A slow consumer: one block of 10 items takes about 50 ms, far past the 10 ms asked for. The block
  // still runs to its end, and no second block starts.
  DurationItems slow(0.010, 10);
  std::int64_t count = 0;
  while (auto item = slow.next()) {
    EXPECT_EQ(*item, count);
    ++count;
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(count, 10);
  EXPECT_FALSE(slow.next());  // stays ended, like an exhausted generator

  // A fast consumer gets several blocks, always a whole number of them, and takes at least the duration.
  const double start = perf_counter();
  DurationItems fast(0.030);
  count = 0;
  while (fast.next()) ++count;
  EXPECT_GE(perf_counter() - start, 0.030);
  EXPECT_GE(count, 100);
  EXPECT_EQ(count % 100, 0);
}

TEST(ItemSourceTest, NonPositiveDurationGivesNothingAndBadResolutionIsRejected) {
  for (double duration : {0.0, -1.0, std::nan("")}) {
    DurationItems items(duration);
    EXPECT_FALSE(items.next()) << duration;
  }
  EXPECT_THROW(DurationItems(1.0, 0), std::invalid_argument);
}

TEST(ItemSourceTest, AnyPositiveDurationRunsOneWholeBlock) {
  for (double duration : {1e-300, 1e-9}) {
    DurationItems items(duration, 7);
    std::int64_t n = 0;
    while (items.next()) ++n;
    EXPECT_EQ(n, 7) << duration;
  }
}

TEST(RunLengthTest, FollowsPythonTruthiness) {
  struct Case {
    std::optional<double> duration;
    std::optional<std::int64_t> repetitions;
    bool time_based;
    double duration_sec;
    std::int64_t count;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, true, 60.0, 0},  // neither: the default duration
      {0.0, 0, true, 60.0, 0},                      // zeros count as missing
      {std::nullopt, 7, false, 0.0, 7},
      {0.5, 7, true, 0.5, 0},  // a duration wins over a count
      {-1.0, std::nullopt, true, -1.0, 0},
      {0.0, -2, false, 0.0, -2},
  };
  for (const auto& c : cases) {
    const RunLength run = resolve_run_length(c.duration, c.repetitions, 60.0);
    EXPECT_EQ(run.time_based, c.time_based);
    if (run.time_based) {
      EXPECT_EQ(run.duration_sec, c.duration_sec);
    } else {
      EXPECT_EQ(run.repetitions, c.count);
    }
  }
  EXPECT_TRUE(resolve_run_length(std::nan(""), 3, 60.0).time_based);
}

// A timer that records the order of events and checks that the latency buffer has room before each call.
struct RecordingTimer {
  std::vector<std::string>* events;
  const std::vector<double>* latencies;
  void start() {
    events->push_back("start");
    EXPECT_LT(latencies->size(), latencies->capacity()) << "the append after this call would allocate";
  }
  double stop() {
    events->push_back("stop");
    return static_cast<double>(events->size());
  }
};

TEST(TimedLoopTest, OnlyTheCallLiesBetweenStartAndStop) {
  std::vector<std::string> events;
  std::vector<double> latencies;
  RecordingTimer timer{&events, &latencies};
  auto call = [&] {
    events.push_back("call");
    return 42;
  };
  RepetitionItems items(3);
  run_timed_loop(items, timer, call, latencies);
  EXPECT_EQ(events, (std::vector<std::string>{"start", "call", "stop", "start", "call", "stop", "start",
                                              "call", "stop"}));
  EXPECT_EQ(latencies, (std::vector<double>{3, 6, 9}));

  // Time-based: the buffer is sized ahead of every block as well.
  events.clear();
  latencies.clear();
  latencies.shrink_to_fit();
  DurationItems timed(0.005, 10);
  run_timed_loop(timed, timer, call, latencies);
  EXPECT_GE(latencies.size(), 10u);
  EXPECT_EQ(latencies.size() % 10, 0u);
}

// An item source announcing far more items than will come: the buffer must not be sized for all of them.
struct HugeAnnouncedRun {
  std::int64_t left = 3;
  std::optional<std::int64_t> next() { return left-- > 0 ? std::optional<std::int64_t>(left) : std::nullopt; }
  std::size_t ahead() const { return std::size_t{1} << 60; }
};

TEST(TimedLoopTest, BufferGrowsWithTheRunNotWithTheAnnouncedCount) {
  CpuTimer timer;
  HugeAnnouncedRun items;
  std::vector<double> latencies;
  auto call = [] { return 0; };
  run_timed_loop(items, timer, call, latencies);
  EXPECT_EQ(latencies.size(), 3u);
  EXPECT_LE(latencies.capacity(), (std::size_t{1} << 20) + 1);
  // A huge repetition count starts without reserving its whole buffer.
  RepetitionItems many(std::int64_t{1} << 62);
  std::vector<double> some;
  std::int64_t budget = 5;
  auto stop_early = [&] {
    if (--budget == 0) throw std::runtime_error("enough");
    return 0;
  };
  EXPECT_THROW(run_timed_loop(many, timer, stop_early, some), std::runtime_error);
  EXPECT_EQ(some.size(), 4u);
}

TEST(TimedLoopTest, HelpersCountCallsAndKeepPartialResultsOnError) {
  CpuTimer timer;
  int calls = 0;
  auto count = [&] { ++calls; };
  warm_up(5, count);
  warm_up(-1, count);
  EXPECT_EQ(calls, 5);

  calls = 0;
  RepetitionItems seven(7);
  std::vector<double> measured;
  run_timed_loop(seven, timer, count, measured);
  EXPECT_EQ(measured.size(), 7u);
  EXPECT_EQ(calls, 7);
  for (double ms : measured) EXPECT_GE(ms, 0.0);

  RepetitionItems items(10);
  std::vector<double> latencies;
  calls = 0;
  std::function<void()> failing = [&] {
    if (++calls == 3) throw std::runtime_error("model failed");
  };
  EXPECT_THROW(run_timed_loop(items, timer, failing, latencies), std::runtime_error);
  EXPECT_EQ(latencies.size(), 2u);
}

}  // namespace
}  // namespace ostrel::native
