// Jaccard overlap, the reuse rule and the economic delta, with the clamp, the strict
// comparison, zero products and NaN.
#include "engine/economics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "receipts/payloads.h"  // its ReuseJustification lives beside the engine's outcome

namespace quillmere {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct JaccardCase {
  std::vector<std::string> a, b;
  double expected;
};

class Jaccard : public ::testing::TestWithParam<JaccardCase> {};

TEST_P(Jaccard, Value) {
  EXPECT_DOUBLE_EQ(jaccard_similarity(GetParam().a, GetParam().b), GetParam().expected);
  EXPECT_DOUBLE_EQ(jaccard_similarity(GetParam().b, GetParam().a), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Sets, Jaccard,
    ::testing::Values(JaccardCase{{}, {}, 1.0}, JaccardCase{{}, {"a"}, 0.0},
                      JaccardCase{{"a", "b"}, {"b", "a"}, 1.0},
                      JaccardCase{{"a", "a", "b"}, {"b", "c"}, 1.0 / 3.0},
                      JaccardCase{{"a", "A"}, {"a"}, 0.5},
                      JaccardCase{{"x", "y", "z", "w"}, {"x", "y", "z", "v", "u"}, 0.5},
                      JaccardCase{{""}, {""}, 1.0}));

CostModel constants(double c_id, double c_comp, double alpha) {
  return {CostValue::constant(c_id), CostValue::constant(c_comp), CostValue::constant(alpha)};
}

struct DecisionCase {
  double j;
  CostModel model;
  ReuseDecision decision;
  double delta;  // NaN: expect NaN
};

class Reuse : public ::testing::TestWithParam<DecisionCase> {};

TEST_P(Reuse, DecisionAndDelta) {
  const auto& c = GetParam();
  EXPECT_EQ(decide_reuse(c.j, c.model, std::nullopt).decision, c.decision) << c.j;
  const double delta = economic_delta(c.j, c.model, std::nullopt);
  if (std::isnan(c.delta)) {
    EXPECT_TRUE(std::isnan(delta));
  } else {
    EXPECT_DOUBLE_EQ(delta, c.delta);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Models, Reuse,
    ::testing::Values(
        // threshold 10 / (100 * 0.5) = 0.2, compared strictly
        DecisionCase{0.3, constants(10, 100, 0.5), ReuseDecision::Reuse, 5.0},
        DecisionCase{0.2, constants(10, 100, 0.5), ReuseDecision::Recompute, 0.0},
        DecisionCase{0.1, constants(10, 100, 0.5), ReuseDecision::Recompute, -5.0},
        DecisionCase{0.5, constants(10, 100, 0.5), ReuseDecision::Reuse, 15.0},
        // a zero product never reuses, and the delta is -c_id
        DecisionCase{1.0, constants(0, 0, 0.5), ReuseDecision::Recompute, 0.0},
        DecisionCase{1.0, constants(0, 100, 0), ReuseDecision::Recompute, 0.0},
        DecisionCase{1.0, constants(7, 100, -0.0), ReuseDecision::Recompute, -7.0},
        // clamping
        DecisionCase{1.5, constants(10, 100, 0.5), ReuseDecision::Reuse, 40.0},
        DecisionCase{-0.2, constants(1, 100, 0.5), ReuseDecision::Recompute, -1.0},
        // a negative c_id reuses for any J above the negative threshold
        DecisionCase{0.0, constants(-1, 100, 0.5), ReuseDecision::Reuse, 1.0},
        // NaN on either side recomputes
        DecisionCase{kNaN, constants(10, 100, 0.5), ReuseDecision::Recompute, kNaN},
        DecisionCase{0.9, constants(kNaN, 100, 0.5), ReuseDecision::Recompute, kNaN},
        DecisionCase{0.9, constants(10, kNaN, 0.5), ReuseDecision::Recompute, kNaN},
        // negative product: threshold 10 / -50 = -0.2, so any J reuses
        DecisionCase{0.0, constants(10, -100, 0.5), ReuseDecision::Reuse, -10.0},
        // infinite costs
        DecisionCase{0.5, constants(10, kInf, 0.5), ReuseDecision::Reuse, kInf},
        DecisionCase{1.0, constants(kInf, 100, 0.5), ReuseDecision::Recompute, -kInf}));

TEST(Reuse, JustificationCarriesClampedOverlapAndEvaluatedCosts) {
  const CostModel model{CostValue::constant(10), CostValue::linear(2, 10), CostValue::constant(1)};
  const ReuseOutcome with_rows = decide_reuse(1.7, model, 5);
  EXPECT_EQ(with_rows.overlap_j, 1.0);
  EXPECT_EQ(with_rows.c_comp, 20.0);
  EXPECT_EQ(with_rows.c_id, 10.0);
  EXPECT_EQ(with_rows.alpha, 1.0);
  EXPECT_EQ(with_rows.decision, ReuseDecision::Reuse);  // 1 > 10 / 20
  const ReuseOutcome without = decide_reuse(-3, model, std::nullopt);
  EXPECT_EQ(without.overlap_j, 0.0);
  EXPECT_EQ(without.c_comp, 10.0);
  EXPECT_EQ(without.decision, ReuseDecision::Recompute);
  EXPECT_EQ(decision_text(with_rows.decision), "reuse");
  EXPECT_EQ(decision_text(without.decision), "recompute");
}

TEST(Reuse, OutcomeFillsASpendPayloadJustification) {
  const CostModel model{CostValue::constant(10), CostValue::constant(100),
                        CostValue::constant(0.5)};
  const ReuseOutcome outcome = decide_reuse(0.3, model, std::nullopt);
  const ReuseJustification recorded{outcome.overlap_j,
                                    outcome.alpha,
                                    outcome.c_id,
                                    outcome.c_comp,
                                    std::string(decision_text(outcome.decision)),
                                    std::nullopt,
                                    std::nullopt};
  EXPECT_EQ(recorded, (ReuseJustification{0.3, 0.5, 10.0, 100.0, "reuse", {}, {}}));
}

TEST(CostValue, LinearUsesTheNearestDoubleOfTheRowCount) {
  const CostValue per_row = CostValue::linear(1, 0);
  EXPECT_EQ(per_row.evaluate(UINT64_MAX), 18446744073709551616.0);
  EXPECT_EQ(per_row.evaluate((uint64_t{1} << 53) + 1), 9007199254740992.0);
  // per_row * 0.0 + base even without rows, so an infinite rate gives NaN
  EXPECT_TRUE(std::isnan(CostValue::linear(kInf, 3).evaluate(std::nullopt)));
}

}  // namespace
}  // namespace quillmere
