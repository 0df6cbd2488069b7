#include "native/timing.hpp"

#include <time.h>

#include <stdexcept>

namespace ostrel::native {

namespace {

constexpr std::int64_t kNsPerSec = 1000000000;

// Sum of a[0..n) in NumPy's order. Below 8 values: one running sum. Up to 128: eight interleaved
// accumulators combined as a balanced tree, then the remainder added one by one. Above: split in two
// halves at a multiple of 8 and recurse.
double pairwise_sum_impl(const double* a, std::size_t n) noexcept {
  if (n < 8) {
    double res = -0.0;  // keeps a sum of negative zeros negative, as NumPy does
    for (std::size_t i = 0; i < n; ++i) res += a[i];
    return res;
  }
  if (n <= 128) {
    double r[8];
    for (std::size_t j = 0; j < 8; ++j) r[j] = a[j];
    std::size_t i = 8;
    for (; i < n - (n % 8); i += 8) {
      for (std::size_t j = 0; j < 8; ++j) r[j] += a[i + j];
    }
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += a[i];
    return res;
  }
  std::size_t n2 = n / 2;
  n2 -= n2 % 8;
  return pairwise_sum_impl(a, n2) + pairwise_sum_impl(a + n2, n - n2);
}

}  // namespace

std::int64_t monotonic_ns() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * kNsPerSec + ts.tv_nsec;
}

double perf_counter() noexcept {
  // The interpreter's conversion of a nanosecond count to float seconds: whole seconds by integer
  // division, anything else as one double division by 1e9.
  const std::int64_t ns = monotonic_ns();
  if (ns % kNsPerSec == 0) return static_cast<double>(ns / kNsPerSec);
  return static_cast<double>(ns) / 1e9;
}

double pairwise_sum(std::span<const double> values) noexcept {
  // NumPy's add.reduce starts from the identity 0.0 and adds the pairwise sum of all values.
  return 0.0 + pairwise_sum_impl(values.data(), values.size());
}

MeanVariance mean_and_variance(std::span<const double> values) {
  const auto n = static_cast<double>(values.size());
  // numpy.mean: the sum divided by the count (0/0 gives NaN for an empty input).
  const double mean = pairwise_sum(values) / n;
  // numpy.var: x = values - mean; x = x * x; sum(x) / n. The squares are stored first so that no
  // multiply-add contraction can change the rounding.
  std::vector<double> squares(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    const double d = values[i] - mean;
    squares[i] = d * d;
  }
  const double variance = pairwise_sum(squares) / n;
  return {mean, variance};
}

DurationItems::DurationItems(double duration_sec, std::int64_t resolution)
    : duration_sec_(duration_sec), resolution_(resolution) {
  if (resolution < 1) throw std::invalid_argument("resolution must be a positive number of items");
}

std::optional<std::int64_t> DurationItems::next() noexcept {
  if (!started_) {
    started_ = true;
    start_ = perf_counter();
  }
  if (done_) return std::nullopt;
  if (next_ == block_end_) {
    const bool first_block = next_ == 0 && duration_sec_ > 0.0;
    if (!first_block && !(perf_counter() - start_ < duration_sec_)) {
      done_ = true;  // like an exhausted generator: stays ended
      return std::nullopt;
    }
    block_end_ = next_ + resolution_;
  }
  return next_++;
}

RunLength resolve_run_length(std::optional<double> duration_sec, std::optional<std::int64_t> repetitions,
                             double default_duration_sec) noexcept {
  double duration = duration_sec.value_or(0.0);
  const std::int64_t count = repetitions.value_or(0);
  if (duration == 0.0 && count == 0) duration = default_duration_sec;
  if (duration != 0.0) return {true, duration, 0};  // NaN compares unequal: truthy, as in Python
  return {false, 0.0, count};
}

}  // namespace ostrel::native
