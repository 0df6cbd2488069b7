// Greedy non-maximum suppression and the post-processing of YOLO-style detection output.
//
// The prediction is a row-major (batch, candidates, 5 + K) block: centre x, centre y, width, height,
// objectness, then K class scores. Every arithmetic step is done in the element type of the input,
// in the same order as the equivalent whole-tensor operations, so float32 results match a float32
// tensor implementation bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace ostrel::native {

// Indices of the boxes kept by greedy suppression, in decreasing score (ties: lower index first).
// `boxes` holds n rows (x1, y1, x2, y2). A box is removed when its intersection over union with an
// already kept box is greater than `iou_threshold` (compared in double).
template <typename T>
std::vector<std::int64_t> nms(std::span<const T> boxes, std::span<const T> scores, double iou_threshold);

struct NmsOptions {
  double conf_thres = 0.25;
  double iou_thres = 0.6;
  bool merge = false;
  std::vector<std::int64_t> classes;  // empty: keep every class
  bool agnostic = false;
  std::size_t max_detections = 300;  // kept indices beyond this are dropped
  std::size_t merge_limit = 3000;    // merging runs only for 1 < boxes < merge_limit
  double class_offset = 4096.0;      // shift per class index, so classes never overlap
};

// Detection rows (x1, y1, x2, y2, conf, cls) of one image, six values per row.
template <typename T>
using Detections = std::vector<T>;

// One entry per image: nothing when no candidate of the image passed the filters.
// Throws std::invalid_argument when a candidate passes but the prediction has no class columns.
template <typename T>
std::vector<std::optional<Detections<T>>> non_max_suppression(std::span<const T> prediction,
                                                              std::size_t batch, std::size_t candidates,
                                                              std::size_t columns, const NmsOptions& options);

}  // namespace ostrel::native
