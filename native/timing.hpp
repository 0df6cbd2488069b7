// Host clock, CPU timer, latency statistics and the timed measurement loop of the benchmark engine.
//
// The clock is the one behind Python's time.perf_counter() (CLOCK_MONOTONIC on Linux), converted to
// seconds exactly the way the interpreter converts it, so readings taken here and in Python compare
// directly. The statistics reproduce NumPy's mean() and var() (population variance, ddof 0) of a float64
// array bit for bit: same summation order (NumPy's pairwise summation), same operations.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace ostrel::native {

// Nanoseconds of CLOCK_MONOTONIC.
std::int64_t monotonic_ns() noexcept;

// Seconds of CLOCK_MONOTONIC as a double: the same value time.perf_counter() gives for the same reading.
double perf_counter() noexcept;

// Wall-clock timer on the host: start() marks, stop() returns the milliseconds since the last mark.
// stop() resets nothing, so several stop() calls after one start() all measure from that start. Before
// the first start() the mark is 0.0, i.e. stop() returns the clock reading itself in milliseconds.
class CpuTimer {
 public:
  void start() noexcept { starter = perf_counter(); }
  double stop() const noexcept { return (perf_counter() - starter) * 1000.0; }

  // The last mark, in perf_counter() seconds. Public on purpose: the Python object exposes it as a field.
  double starter = 0.0;
};

// Sum of the values in NumPy's order (pairwise summation with an 8-way unrolled base case of up to 128
// values), so the result equals numpy.sum of a contiguous float64 array.
double pairwise_sum(std::span<const double> values) noexcept;

struct MeanVariance {
  double mean;
  double variance;  // population variance: divisor n
};

// numpy.mean(values) and numpy.var(values) (ddof 0). An empty input gives NaN for both, as NumPy does
// (NumPy also warns; that is up to the caller). Allocates one scratch array of n doubles.
MeanVariance mean_and_variance(std::span<const double> values);

// ---- item sources of the timed loop ----------------------------------------------------------------
// Both yield consecutive integers from 0 through next(); nullopt ends the run. ahead() tells how many
// further items are certain to follow without consulting the clock (used to size the latency buffer).

// Exactly `count` items (none when count <= 0), like range(count).
class RepetitionItems {
 public:
  explicit RepetitionItems(std::int64_t count) noexcept : count_(count) {}
  std::optional<std::int64_t> next() noexcept {
    if (next_ >= count_) return std::nullopt;
    return next_++;
  }
  std::size_t ahead() const noexcept {
    return next_ >= count_ ? 0 : static_cast<std::size_t>(count_ - next_);
  }

 private:
  std::int64_t count_;
  std::int64_t next_ = 0;
};

// Items for a run of a given duration: the clock is read once per block of `resolution` items, before the
// block; the first block of a positive duration always runs, a later one is started only while the time
// elapsed since the first next() is below the duration, and a started block always runs to its end. So a
// positive duration gives at least one block, the count is a whole multiple of `resolution`, and a zero,
// negative or NaN duration gives no item. The time between items (everything the consumer does) counts
// towards the duration.
class DurationItems {
 public:
  // Throws std::invalid_argument("resolution must be a positive number of items") when resolution < 1.
  explicit DurationItems(double duration_sec, std::int64_t resolution = 100);
  std::optional<std::int64_t> next() noexcept;
  std::size_t ahead() const noexcept { return static_cast<std::size_t>(block_end_ - next_); }

 private:
  double duration_sec_;
  std::int64_t resolution_;
  bool started_ = false;
  bool done_ = false;
  double start_ = 0.0;
  std::int64_t next_ = 0;
  std::int64_t block_end_ = 0;
};

// How long a benchmark runs, decided from its arguments with Python truthiness: a duration that is
// missing or 0.0 and a repetition count that is missing or 0 mean "run for default_duration_sec"; a
// duration that is then non-zero (NaN and negatives included) makes the run time-based and the
// repetition count is ignored; otherwise exactly `repetitions` calls are made.
struct RunLength {
  bool time_based;
  double duration_sec;       // meaningful when time_based
  std::int64_t repetitions;  // meaningful when !time_based
};
RunLength resolve_run_length(std::optional<double> duration_sec, std::optional<std::int64_t> repetitions,
                             double default_duration_sec) noexcept;

// ---- the timed loop -----------------------------------------------------------------------------------

// Calls fn() `calls` times (none when calls <= 0), untimed.
template <class Fn>
void warm_up(std::int64_t calls, Fn&& fn) {
  for (std::int64_t i = 0; i < calls; ++i) fn();
}

// For every item of `items`: timer.start(), fn(), then appends timer.stop() to `latencies`. Only the call
// lies between start and stop; the item source, the clock test of a time-based source and any growth of
// `latencies` stay outside (capacity is reserved ahead, geometrically, before an item is timed, so no item
// allocates between start and stop). The result of fn is discarded. An exception from fn or the timer
// propagates, with the latencies measured so far left in `latencies`.
// Timer: anything with start() and a stop() convertible to double (CpuTimer or a caller's own timer).
template <class Items, class Timer, class Fn>
void run_timed_loop(Items& items, Timer& timer, Fn& fn, std::vector<double>& latencies) {
  // Growth never reserves more than this many slots beyond the current size at once, so a huge
  // announced run costs memory only as it progresses.
  constexpr std::size_t kMaxGrowth = std::size_t{1} << 20;
  while (items.next()) {
    if (latencies.size() == latencies.capacity()) {
      const std::size_t size = latencies.size();
      const std::size_t needed = size + 1 + std::min(items.ahead(), kMaxGrowth);
      latencies.reserve(std::max(needed, size + std::min(std::max<std::size_t>(size, 16), kMaxGrowth)));
    }
    timer.start();
    static_cast<void>(fn());
    latencies.push_back(static_cast<double>(timer.stop()));
  }
}

}  // namespace ostrel::native
