// Greedy non-maximum suppression and the post-processing of YOLO-style detection output.
//
// The prediction is a row-major (batch, candidates, 5 + K) block: centre x, centre y, width, height,
// objectness, then K class scores. Every arithmetic step is done in the element type of the input,
// in the same order as the equivalent whole-tensor operations, so float32 results match a float32
// tensor implementation bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <optional>
#include <span>
#include <vector>

namespace ostrel::native {

// Polled now and then by long computations; returning true stops them with `Interrupted`.
using InterruptCheck = std::function<bool()>;

class Interrupted : public std::runtime_error {
 public:
  Interrupted() : std::runtime_error("non-maximum suppression interrupted") {}
};

// Indices of the boxes kept by greedy suppression, in decreasing score (ties: lower index first).
// `boxes` holds n rows (x1, y1, x2, y2). A box is removed when its intersection over union with an
// already kept box is greater than `iou_threshold` (compared in double). The work stops once `limit`
// boxes are kept: the result is the first `limit` indices of the whole run, at a cost of
// O(n + examined x kept) instead of O(kept x n).
template <typename T>
std::vector<std::int64_t> nms(std::span<const T> boxes, std::span<const T> scores, double iou_threshold,
                              std::size_t limit = SIZE_MAX, const InterruptCheck& interrupted = {});

struct NmsOptions {
  double conf_thres = 0.25;
  double iou_thres = 0.6;
  bool merge = false;
  std::vector<std::int64_t> classes;  // empty: keep every class
  bool agnostic = false;
  std::size_t max_detections = 300;  // kept indices beyond this are dropped
  std::size_t merge_limit = 3000;    // merging runs only for 1 < boxes < merge_limit
  double class_offset = 4096.0;      // shift per class index, so classes never overlap
  InterruptCheck interrupted;        // polled while the work runs (empty: never)
};

// Detection rows (x1, y1, x2, y2, conf, cls) of one image, six values per row.
template <typename T>
using Detections = std::vector<T>;

// One entry per image: nothing when no candidate of the image passed the filters.
// Throws std::invalid_argument when a candidate passes but the prediction has no class columns, and
// Interrupted when `options.interrupted` asks to stop.
template <typename T>
std::vector<std::optional<Detections<T>>> non_max_suppression(std::span<const T> prediction,
                                                              std::size_t batch, std::size_t candidates,
                                                              std::size_t columns, const NmsOptions& options);

}  // namespace ostrel::native
