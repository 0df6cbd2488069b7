#include "native/nms.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

namespace ostrel::native {

namespace {

// A prediction row: centre x, centre y, width, height, objectness, then one score per class.
constexpr std::size_t kObjectnessColumn = 4;
constexpr std::size_t kFirstClassColumn = 5;
// A detection row: the corners x1, y1, x2, y2, the confidence and the class index.
constexpr std::size_t kDetectionValues = 6;
constexpr std::size_t kConfidenceValue = 4;
constexpr std::size_t kClassValue = 5;
// The corners of a box alone.
constexpr std::size_t kCornerValues = 4;
// A box kept by the suppression: its corners, then its area.
constexpr std::size_t kKeptBoxValues = 5;
constexpr std::size_t kKeptAreaValue = 4;

// Intersection over union in the order of the whole-tensor formula: inter / (area1 + area2 - inter).
template <typename T>
inline T iou(const T* a, T area_a, const T* b, T area_b) {
  const T w = std::max(T(0), std::min(a[2], b[2]) - std::max(a[0], b[0]));
  const T h = std::max(T(0), std::min(a[3], b[3]) - std::max(a[1], b[1]));
  const T inter = w * h;
  return inter / (area_a + area_b - inter);
}

template <typename T>
inline T area(const T* b) {
  return (b[2] - b[0]) * (b[3] - b[1]);
}

}  // namespace

template <typename T>
std::vector<std::int64_t> nms(std::span<const T> boxes, std::span<const T> scores, double iou_threshold,
                              std::size_t limit, const InterruptCheck& interrupted) {
  const std::size_t n = scores.size();
  if (boxes.size() != n * kCornerValues)
    throw std::invalid_argument("nms: boxes must hold four values per score");
  auto check = [&] {
    if (interrupted && interrupted()) throw Interrupted();
  };
  // Boxes are examined best first, a block at a time: each block is selected from the rest and sorted
  // only when the boxes before it did not reach the limit, so a run that stops early orders little.
  // A box is kept when no kept box (all of them better) overlaps it above the threshold, which is the
  // greedy rule of removing, for each kept box in turn, the worse boxes it overlaps.
  struct Key {
    T score;
    std::int64_t index;
  };
  std::vector<Key> keys(n);
  for (std::size_t i = 0; i < n; ++i) keys[i] = {scores[i], static_cast<std::int64_t>(i)};
  // Scores that are not numbers come last, so the order stays a strict one; ties by index.
  auto better = [](const Key& a, const Key& b) {
    const bool na = std::isnan(a.score), nb = std::isnan(b.score);
    if (na != nb) return nb;
    if (!na && a.score != b.score) return a.score > b.score;
    return a.index < b.index;
  };
  // With a negative threshold even boxes that do not meet are removed: their overlap must be computed.
  const bool disjoint_never_removes = iou_threshold >= 0;

  std::vector<std::int64_t> keep;
  std::vector<T> kept_boxes;  // kKeptBoxValues per kept box
  std::size_t block = std::max<std::size_t>(1024, std::min(limit, n / 2 + 1) * 4);
  for (std::size_t lo = 0; lo < n && keep.size() < limit;) {
    check();
    const std::size_t hi = lo + std::min(block, n - lo);
    if (hi < n) std::nth_element(keys.begin() + lo, keys.begin() + hi, keys.end(), better);
    check();
    std::sort(keys.begin() + lo, keys.begin() + hi, better);
    for (std::size_t o = lo; o < hi && keep.size() < limit; ++o) {
      if (((o - lo) & 4095) == 4095) check();
      const std::int64_t j = keys[o].index;
      const T* bj = &boxes[j * kCornerValues];
      const T area_j = area(bj);
      bool removed = false;
      for (std::size_t k = 0; k < keep.size() && !removed; ++k) {
        // The kept box first, as the pairwise formula has it: min and max differ on NaN operands.
        const T* bi = &kept_boxes[k * kKeptBoxValues];
        const T w = std::max(T(0), std::min(bi[2], bj[2]) - std::max(bi[0], bj[0]));
        const T h = std::max(T(0), std::min(bi[3], bj[3]) - std::max(bi[1], bj[1]));
        const T inter = w * h;
        if (inter == T(0) && disjoint_never_removes) continue;  // 0, -0 or NaN: never above
        const T ovr = inter / (bi[kKeptAreaValue] + area_j - inter);
        removed = static_cast<double>(ovr) > iou_threshold;
      }
      if (removed) continue;
      keep.push_back(j);
      kept_boxes.insert(kept_boxes.end(), {bj[0], bj[1], bj[2], bj[3], area_j});
    }
    lo = hi;
    block = std::min<std::size_t>(block * 2, 1 << 20);
  }
  return keep;
}

namespace {

// Appends to `detections` one row per class of each candidate whose objectness and score (class score
// times objectness) pass the threshold, candidates in order, classes in order. Returns whether any
// candidate's objectness passed.
template <typename T>
bool collect_detections(const T* rows, std::size_t candidates, std::size_t columns, const NmsOptions& options,
                        std::vector<T>& detections) {
  const std::size_t num_classes = columns > kFirstClassColumn ? columns - kFirstClassColumn : 0;
  const bool multi_label = num_classes > 1;
  const T conf = static_cast<T>(options.conf_thres);
  bool any_candidate = false;
  for (std::size_t r = 0; r < candidates; ++r) {
    if (options.interrupted && (r & 4095) == 4095 && options.interrupted()) throw Interrupted();
    const T* row = rows + r * columns;
    const T objectness = row[kObjectnessColumn];
    if (!(objectness > conf)) continue;
    any_candidate = true;
    if (num_classes == 0)
      throw std::invalid_argument(
          "non_max_suppression: the prediction has no class columns (5 columns per row)");
    const T half_w = row[2] / T(2), half_h = row[3] / T(2);
    const T box[kCornerValues] = {row[0] - half_w, row[1] - half_h, row[0] + half_w, row[1] + half_h};
    const std::size_t scored = multi_label ? num_classes : 1;
    for (std::size_t c = 0; c < scored; ++c) {
      const T score = row[kFirstClassColumn + c] * objectness;
      if (score > conf)
        detections.insert(detections.end(), {box[0], box[1], box[2], box[3], score, static_cast<T>(c)});
    }
  }
  return any_candidate;
}

// Drops, in place and in order, the detection rows whose class is not one of `classes`.
template <typename T>
void keep_classes(std::vector<T>& detections, const std::vector<std::int64_t>& classes) {
  std::size_t out = 0;
  for (std::size_t r = 0; r < detections.size() / kDetectionValues; ++r) {
    const T cls = detections[r * kDetectionValues + kClassValue];
    const bool wanted =
        std::any_of(classes.begin(), classes.end(), [&](std::int64_t c) { return cls == static_cast<T>(c); });
    if (!wanted) continue;
    if (out != r)
      std::copy_n(&detections[r * kDetectionValues], kDetectionValues, &detections[out * kDetectionValues]);
    ++out;
  }
  detections.resize(out * kDetectionValues);
}

// The corners of each detection moved by its class index times `offset_per_class`, so boxes of
// different classes never overlap, and the confidences apart.
template <typename T>
void shift_by_class(const std::vector<T>& detections, T offset_per_class, std::vector<T>& shifted,
                    std::vector<T>& scores) {
  const std::size_t n = detections.size() / kDetectionValues;
  shifted.resize(n * kCornerValues);
  scores.resize(n);
  for (std::size_t r = 0; r < n; ++r) {
    const T* row = &detections[r * kDetectionValues];
    const T offset = row[kClassValue] * offset_per_class;
    for (std::size_t k = 0; k < kCornerValues; ++k) shifted[r * kCornerValues + k] = row[k] + offset;
    scores[r] = row[kConfidenceValue];
  }
}

// Each kept box becomes the score-weighted mean of the boxes that overlap it (itself included); a kept
// box that overlaps no other box is dropped from `keep`.
template <typename T>
void merge_overlapping(std::vector<T>& detections, const std::vector<T>& shifted,
                       const std::vector<T>& scores, T iou_thres, std::vector<std::int64_t>& keep) {
  const std::size_t n = scores.size();
  std::vector<T> areas(n);
  for (std::size_t r = 0; r < n; ++r) areas[r] = area(&shifted[r * kCornerValues]);
  std::vector<T> merged(keep.size() * kCornerValues);
  std::vector<char> redundant(keep.size(), 0);
  for (std::size_t k = 0; k < keep.size(); ++k) {
    const T* kb = &shifted[keep[k] * kCornerValues];
    double sums[kCornerValues] = {0, 0, 0, 0};
    T weight_sum = 0;
    std::size_t count = 0;
    for (std::size_t j = 0; j < n; ++j) {
      if (!(iou(kb, areas[keep[k]], &shifted[j * kCornerValues], areas[j]) > iou_thres)) continue;
      ++count;
      const T w = scores[j];
      weight_sum += w;
      for (std::size_t c = 0; c < kCornerValues; ++c)
        sums[c] += static_cast<double>(w) * static_cast<double>(detections[j * kDetectionValues + c]);
    }
    for (std::size_t c = 0; c < kCornerValues; ++c)
      merged[k * kCornerValues + c] = static_cast<T>(sums[c]) / weight_sum;
    redundant[k] = count > 1;
  }
  for (std::size_t k = 0; k < keep.size(); ++k)
    std::copy_n(&merged[k * kCornerValues], kCornerValues, &detections[keep[k] * kDetectionValues]);
  std::vector<std::int64_t> kept;
  for (std::size_t k = 0; k < keep.size(); ++k)
    if (redundant[k]) kept.push_back(keep[k]);
  keep.swap(kept);
}

template <typename T>
Detections<T> gather(const std::vector<T>& detections, const std::vector<std::int64_t>& keep) {
  Detections<T> result;
  result.reserve(keep.size() * kDetectionValues);
  for (std::int64_t r : keep) {
    const T* row = &detections[r * kDetectionValues];
    result.insert(result.end(), row, row + kDetectionValues);
  }
  return result;
}

}  // namespace

template <typename T>
std::vector<std::optional<Detections<T>>> non_max_suppression(std::span<const T> prediction,
                                                              std::size_t batch, std::size_t candidates,
                                                              std::size_t columns,
                                                              const NmsOptions& options) {
  if (prediction.size() != batch * candidates * columns)
    throw std::invalid_argument("non_max_suppression: the data does not match its shape");
  if (columns < kFirstClassColumn && batch * candidates > 0)
    throw std::invalid_argument("non_max_suppression: a prediction row needs at least 5 columns, got " +
                                std::to_string(columns));
  const T offset_per_class = options.agnostic ? T(0) : static_cast<T>(options.class_offset);

  std::vector<std::optional<Detections<T>>> output(batch);
  std::vector<T> detections, shifted, scores;
  for (std::size_t image = 0; image < batch; ++image) {
    detections.clear();
    if (!collect_detections(prediction.data() + image * candidates * columns, candidates, columns, options,
                            detections))
      continue;
    if (!options.classes.empty()) keep_classes(detections, options.classes);
    const std::size_t n = detections.size() / kDetectionValues;
    if (n == 0) continue;
    shift_by_class(detections, offset_per_class, shifted, scores);
    std::vector<std::int64_t> keep =
        nms<T>(shifted, scores, options.iou_thres, options.max_detections, options.interrupted);
    if (options.merge && n > 1 && n < options.merge_limit)
      merge_overlapping(detections, shifted, scores, static_cast<T>(options.iou_thres), keep);
    output[image] = gather(detections, keep);
  }
  return output;
}

template std::vector<std::int64_t> nms<float>(std::span<const float>, std::span<const float>, double,
                                             std::size_t, const InterruptCheck&);
template std::vector<std::int64_t> nms<double>(std::span<const double>, std::span<const double>, double,
                                               std::size_t, const InterruptCheck&);
template std::vector<std::optional<Detections<float>>> non_max_suppression<float>(std::span<const float>,
                                                                                  std::size_t, std::size_t,
                                                                                  std::size_t,
                                                                                  const NmsOptions&);
template std::vector<std::optional<Detections<double>>> non_max_suppression<double>(std::span<const double>,
                                                                                    std::size_t, std::size_t,
                                                                                    std::size_t,
                                                                                    const NmsOptions&);

}  // namespace ostrel::native
