// Turning a parsed JSON document into a Receipt: every envelope step in order,
// and the payload and context records with their failure texts. A record
// failure carries its position in the compact text of that subtree (what a
// re-parse of the re-written payload or context would report).
#pragma once

#include <expected>
#include <limits>
#include <string>

#include "receipts/json_value.h"
#include "receipts/receipt.h"

namespace quillmere {

// A JSON number read into a 32-bit float field: out of the float range the
// nearest float is an infinity, as a cast would give.
inline float nearest_float(double d) {
  // Past the largest float, values below the midpoint to the next power of two still
  // round to it; from the midpoint on (a tie goes to the even neighbour) they overflow.
  constexpr double kOverflow = 0x1.ffffffp127;
  constexpr float kMax = std::numeric_limits<float>::max();
  if (d >= kOverflow) return std::numeric_limits<float>::infinity();
  if (d <= -kOverflow) return -std::numeric_limits<float>::infinity();
  if (d > kMax) return kMax;
  if (d < -kMax) return -kMax;
  return static_cast<float>(d);
}

// The receipt, or the detail text of the first failure.
std::expected<Receipt, std::string> deserialize_from_json_value(const JsonValue& doc);

// The same reading that takes strings and arrays out of `doc` instead of
// copying them. On failure `doc` is left partly emptied and the returned text
// may carry wrong positions: read the original document again with
// deserialize_from_json_value for the exact text.
std::expected<Receipt, std::string> deserialize_consuming(JsonValue& doc);

}  // namespace quillmere
