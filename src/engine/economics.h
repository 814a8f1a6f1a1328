// Overlap and reuse economics: the Jaccard overlap of two chunk identifier sets, the
// reuse rule (reuse iff J > C_id / (alpha * C_comp)) and the estimated saving
// (alpha * C_comp * J - C_id).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quillmere {

// A cost that may grow with the row count.
struct CostValue {
  enum class Kind { Constant, Linear };
  Kind kind = Kind::Constant;
  double value = 0.0;    // Constant
  double per_row = 0.0;  // Linear: per_row * rows + base
  double base = 0.0;

  static CostValue constant(double v) { return {Kind::Constant, v, 0.0, 0.0}; }
  static CostValue linear(double per_row, double base) {
    return {Kind::Linear, 0.0, per_row, base};
  }

  // Without a row count a linear cost is per_row * 0.0 + base.
  double evaluate(std::optional<uint64_t> row_count) const;
};

struct CostModel {
  CostValue c_id;
  CostValue c_comp;
  CostValue alpha;
};

enum class ReuseDecision { Reuse, Recompute };
std::string_view decision_text(ReuseDecision decision);  // "reuse" / "recompute"

struct ReuseOutcome {
  double overlap_j;  // after clamping into [0, 1]
  double alpha;
  double c_id;
  double c_comp;
  ReuseDecision decision;
};

// Duplicates count once; two empty inputs give 1.0.
double jaccard_similarity(std::span<const std::string> set1, std::span<const std::string> set2);

// Reuse iff the clamped J is strictly above C_id / (C_comp * alpha); a zero product makes
// the threshold +inf and a NaN on either side recomputes.
ReuseOutcome decide_reuse(double overlap_j, const CostModel& cost_model,
                          std::optional<uint64_t> row_count);

// clamped J * (C_comp * alpha) - C_id.
double economic_delta(double overlap_j, const CostModel& cost_model,
                      std::optional<uint64_t> row_count);

}  // namespace quillmere
