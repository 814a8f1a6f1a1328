// Jaccard overlap, the reuse decision and the economic delta.
#include "engine/economics.h"

#include <cmath>
#include <limits>
#include <unordered_set>

namespace quillmere {
namespace {

// NaN stays NaN (both comparisons are false).
double clamp_overlap(double j) {
  if (j < 0.0) return 0.0;
  if (j > 1.0) return 1.0;
  return j;
}

struct Costs {
  double c_id;
  double c_comp;
  double alpha;
};

Costs evaluate(const CostModel& model, std::optional<uint64_t> row_count) {
  return {model.c_id.evaluate(row_count), model.c_comp.evaluate(row_count),
          model.alpha.evaluate(row_count)};
}

}  // namespace

double CostValue::evaluate(std::optional<uint64_t> row_count) const {
  if (kind == Kind::Constant) return value;
  const double rows = row_count ? static_cast<double>(*row_count) : 0.0;
  return per_row * rows + base;
}

std::string_view decision_text(ReuseDecision decision) {
  return decision == ReuseDecision::Reuse ? "reuse" : "recompute";
}

double jaccard_similarity(std::span<const std::string> set1, std::span<const std::string> set2) {
  std::unordered_set<std::string_view> a(set1.begin(), set1.end());
  std::unordered_set<std::string_view> b(set2.begin(), set2.end());
  if (a.empty() && b.empty()) return 1.0;
  const auto& smaller = a.size() <= b.size() ? a : b;
  const auto& larger = a.size() <= b.size() ? b : a;
  size_t shared = 0;
  for (std::string_view id : smaller) shared += larger.count(id);
  const size_t total = a.size() + b.size() - shared;
  return static_cast<double>(shared) / static_cast<double>(total);
}

ReuseOutcome decide_reuse(double overlap_j, const CostModel& cost_model,
                          std::optional<uint64_t> row_count) {
  const Costs costs = evaluate(cost_model, row_count);
  const double j = clamp_overlap(overlap_j);
  const double product = costs.c_comp * costs.alpha;
  const double threshold =
      product == 0.0 ? std::numeric_limits<double>::infinity() : costs.c_id / product;
  const ReuseDecision decision = j > threshold ? ReuseDecision::Reuse : ReuseDecision::Recompute;
  return ReuseOutcome{j, costs.alpha, costs.c_id, costs.c_comp, decision};
}

double economic_delta(double overlap_j, const CostModel& cost_model,
                      std::optional<uint64_t> row_count) {
  const Costs costs = evaluate(cost_model, row_count);
  return clamp_overlap(overlap_j) * (costs.c_comp * costs.alpha) - costs.c_id;
}

}  // namespace quillmere
