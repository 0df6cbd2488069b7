#include "native/nms.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
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

}  // namespace
}  // namespace ostrel::native
