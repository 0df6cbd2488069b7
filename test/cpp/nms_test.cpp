#include "native/nms.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

namespace ostrel::native {
namespace {

using Row = std::vector<float>;

// A prediction of one image from candidate rows (cx, cy, w, h, obj, class scores...).
std::vector<float> flatten(const std::vector<Row>& rows) {
  std::vector<float> out;
  for (const auto& r : rows) out.insert(out.end(), r.begin(), r.end());
  return out;
}

std::optional<Detections<float>> run_one(const std::vector<Row>& rows, const NmsOptions& options = {}) {
  const auto data = flatten(rows);
  auto out = non_max_suppression<float>(data, 1, rows.size(), rows.empty() ? 7 : rows[0].size(), options);
  return out.at(0);
}

TEST(NmsKernelTest, KeepsInDecreasingScoreAndSuppressesOnlyAboveThreshold) {
  // Box 1 overlaps box 0 with IoU 1/7 (0.142857...); box 2 is far away.
  const std::vector<float> boxes = {0, 0, 2, 2, 1, 1, 3, 3, 10, 10, 12, 12};
  const std::vector<float> scores = {0.5f, 0.9f, 0.7f};
  EXPECT_EQ(nms<float>(boxes, scores, 0.5), (std::vector<std::int64_t>{1, 2, 0}));
  EXPECT_EQ(nms<float>(boxes, scores, 0.1), (std::vector<std::int64_t>{1, 2}));
  // Equal IoU and threshold: strictly greater is needed to suppress.
  const std::vector<float> same = {0, 0, 2, 2, 0, 0, 2, 2};
  EXPECT_EQ(nms<float>(same, std::vector<float>{0.3f, 0.3f}, 1.0), (std::vector<std::int64_t>{0, 1}));
  EXPECT_EQ(nms<float>(same, std::vector<float>{0.3f, 0.3f}, 0.99), (std::vector<std::int64_t>{0}));
  EXPECT_TRUE(nms<float>({}, {}, 0.5).empty());
  const std::vector<float> apart = {0, 0, 1, 1, 5, 5, 6, 6, 9, 9, 10, 10};
  EXPECT_EQ(nms<float>(apart, std::vector<float>{NAN, 0.1f, NAN}, 0.5), (std::vector<std::int64_t>{1, 0, 2}));
  EXPECT_THROW(nms<float>(boxes, std::vector<float>{1.0f}, 0.5), std::invalid_argument);
}

TEST(NmsKernelTest, ZeroAreaBoxesNeverSuppress) {
  // 0 / 0 is not a number, and no comparison with it is true.
  const std::vector<float> boxes = {1, 1, 1, 1, 1, 1, 1, 1};
  EXPECT_EQ(nms<float>(boxes, std::vector<float>{0.9f, 0.8f}, 0.5), (std::vector<std::int64_t>{0, 1}));
}

TEST(NonMaxSuppressionTest, ThresholdsAreStrictAndEmptyImagesGetNothing) {
  // Objectness exactly at the threshold is dropped; so is a combined score at the threshold.
  EXPECT_FALSE(run_one({{10, 10, 4, 4, 0.25f, 1.0f, 0.0f}}).has_value());
  EXPECT_FALSE(run_one({{10, 10, 4, 4, 0.5f, 0.5f, 0.0f}}).has_value());  // 0.5 * 0.5 = 0.25
  EXPECT_FALSE(run_one({}).has_value());
}

TEST(NonMaxSuppressionTest, MultiLabelRowsAndSingleClassPath) {
  const auto two = run_one({{10, 20, 4, 6, 1.0f, 0.9f, 0.0f, 0.5f}});
  ASSERT_TRUE(two.has_value());
  EXPECT_EQ(*two, (Detections<float>{8, 17, 12, 23, 0.9f, 0, 8, 17, 12, 23, 0.5f, 2}));

  const auto one = run_one({{10, 20, 4, 6, 0.8f, 0.5f}});
  ASSERT_TRUE(one.has_value());
  EXPECT_EQ(*one, (Detections<float>{8, 17, 12, 23, 0.8f * 0.5f, 0}));

  EXPECT_THROW(run_one({{10, 20, 4, 6, 0.8f}}), std::invalid_argument);
}

TEST(NonMaxSuppressionTest, ClassOffsetAgnosticAndClassFilter) {
  const std::vector<Row> rows = {{10, 10, 4, 4, 1.0f, 0.9f, 0.0f}, {10, 10, 4, 4, 1.0f, 0.0f, 0.8f}};
  EXPECT_EQ(run_one(rows)->size(), 12u);
  NmsOptions agnostic;
  agnostic.agnostic = true;
  EXPECT_EQ(*run_one(rows, agnostic), (Detections<float>{8, 8, 12, 12, 0.9f, 0}));
  NmsOptions only_one;
  only_one.classes = {1};
  EXPECT_EQ(*run_one(rows, only_one), (Detections<float>{8, 8, 12, 12, 0.8f, 1}));
  NmsOptions missing;
  missing.classes = {5};
  EXPECT_FALSE(run_one(rows, missing).has_value());
}

TEST(NonMaxSuppressionTest, AtMostMaxDetections) {
  std::vector<Row> rows;
  for (int i = 0; i < 400; ++i)
    rows.push_back({float(10 * (i % 20)), float(10 * (i / 20)), 4, 4, 1.0f, 0.5f + i * 0.001f, 0.0f});
  EXPECT_EQ(run_one(rows)->size(), 300u * 6);
  NmsOptions wide;
  wide.max_detections = 400;
  EXPECT_EQ(run_one(rows, wide)->size(), 400u * 6);
}

TEST(NonMaxSuppressionTest, MergeAveragesOverlapsAndDropsIsolatedBoxes) {
  NmsOptions merge;
  merge.merge = true;
  // Two overlapping boxes (IoU 0.6 > 0.5) and an isolated one.
  merge.iou_thres = 0.5;
  const std::vector<Row> rows = {{5, 5, 10, 10, 1.0f, 0.75f, 0.0f},
                                 {6, 5, 10, 10, 1.0f, 0.25f + 0.01f, 0.0f},
                                 {100, 100, 10, 10, 1.0f, 0.9f, 0.0f}};
  const auto out = run_one(rows, merge);
  ASSERT_TRUE(out.has_value());
  ASSERT_EQ(out->size(), 6u);
  const float w0 = 0.75f, w1 = 0.26f;
  EXPECT_NEAR((*out)[0], (0 * w0 + 1 * w1) / (w0 + w1), 1e-5);
  EXPECT_NEAR((*out)[2], (10 * w0 + 11 * w1) / (w0 + w1), 1e-5);
  EXPECT_FLOAT_EQ((*out)[4], 0.75f);

  // A single box left before the suppression is never merged, so it stays.
  EXPECT_EQ(run_one({rows[2]}, merge)->size(), 6u);
  // Only isolated boxes: an empty result, not nothing.
  const auto isolated = run_one({rows[0], rows[2]}, merge);
  ASSERT_TRUE(isolated.has_value());
  EXPECT_TRUE(isolated->empty());
  // At the merge limit nothing is merged either.
  merge.merge_limit = 2;
  EXPECT_EQ(run_one({rows[0], rows[2]}, merge)->size(), 12u);
}

TEST(NonMaxSuppressionTest, ImagesAreIndependentAndFloat64Works) {
  const std::vector<double> data = {10, 10, 4, 4, 0.1, 0.9, 0.0,  // image 0: below the threshold
                                    10, 10, 4, 4, 0.9, 0.0, 0.9};
  const auto out = non_max_suppression<double>(data, 2, 1, 7, {});
  ASSERT_EQ(out.size(), 2u);
  EXPECT_FALSE(out[0].has_value());
  ASSERT_TRUE(out[1].has_value());
  EXPECT_EQ((*out[1])[5], 1.0);
  EXPECT_THROW(non_max_suppression<double>(data, 3, 1, 7, {}), std::invalid_argument);
}

// The greedy rule written the plain way: sort everything, then let each kept box remove the worse ones.
std::vector<std::int64_t> full_greedy(const std::vector<float>& boxes, const std::vector<float>& scores,
                                      double thr) {
  std::vector<std::int64_t> order(scores.size());
  std::iota(order.begin(), order.end(), 0);
  std::stable_sort(order.begin(), order.end(), [&](std::int64_t a, std::int64_t b) {
    if (std::isnan(scores[b])) return !std::isnan(scores[a]);
    return scores[a] > scores[b];
  });
  std::vector<char> removed(scores.size(), 0);
  std::vector<std::int64_t> keep;
  for (std::size_t oi = 0; oi < order.size(); ++oi) {
    const auto i = order[oi];
    if (removed[i]) continue;
    keep.push_back(i);
    const float* a = &boxes[i * 4];
    for (std::size_t oj = oi + 1; oj < order.size(); ++oj) {
      const float* b = &boxes[order[oj] * 4];
      const float w = std::max(0.0f, std::min(a[2], b[2]) - std::max(a[0], b[0]));
      const float h = std::max(0.0f, std::min(a[3], b[3]) - std::max(a[1], b[1]));
      const float inter = w * h;
      const float area_a = (a[2] - a[0]) * (a[3] - a[1]), area_b = (b[2] - b[0]) * (b[3] - b[1]);
      if (static_cast<double>(inter / (area_a + area_b - inter)) > thr) removed[order[oj]] = 1;
    }
  }
  return keep;
}

TEST(NmsKernelTest, StoppingAtTheLimitKeepsThePrefixOfTheWholeRun) {
  std::mt19937 gen(3);
  std::uniform_real_distribution<float> pos(0, 200), size(1, 40), score(0, 1);
  std::uniform_int_distribution<int> coarse(0, 20);  // many ties
  for (int round = 0; round < 6; ++round) {
    const std::size_t n = 2000;
    std::vector<float> boxes, scores;
    for (std::size_t i = 0; i < n; ++i) {
      const float x = pos(gen), y = pos(gen);
      boxes.insert(boxes.end(), {x, y, x + size(gen), y + size(gen)});
      scores.push_back(round % 2 ? coarse(gen) / 20.0f : score(gen));
    }
    if (round == 5) scores[7] = scores[99] = NAN;
    const auto whole = full_greedy(boxes, scores, 0.45);
    ASSERT_GT(whole.size(), 300u);
    EXPECT_EQ(nms<float>(boxes, scores, 0.45), whole);
    for (std::size_t limit : {std::size_t(0), std::size_t(1), std::size_t(300), whole.size() + 5}) {
      auto prefix = std::vector<std::int64_t>(whole.begin(), whole.begin() + std::min(limit, whole.size()));
      EXPECT_EQ(nms<float>(boxes, scores, 0.45, limit), prefix) << limit;
    }
  }
}

TEST(NmsKernelTest, AnInterruptStopsTheWork) {
  std::vector<float> boxes, scores;
  for (int i = 0; i < 50000; ++i) {
    boxes.insert(boxes.end(), {float(i % 100) * 3, float(i / 100) * 3, float(i % 100) * 3 + 2,
                               float(i / 100) * 3 + 2});
    scores.push_back(float(i % 977));
  }
  int polls = 0;
  EXPECT_THROW(nms<float>(boxes, scores, 0.5, SIZE_MAX, [&] { return ++polls == 3; }), Interrupted);
  EXPECT_EQ(polls, 3);
  NmsOptions options;
  options.interrupted = [] { return true; };
  std::vector<float> pred(10000 * 6, 0.9f);
  EXPECT_THROW(non_max_suppression<float>(pred, 1, 10000, 6, options), Interrupted);
}

}  // namespace
}  // namespace ostrel::native
