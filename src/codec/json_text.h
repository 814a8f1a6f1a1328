// Text forms shared by every JSON writer of the system: string escapes, the
// float64 / float32 number layouts, and compact writing of a JSON value (keys
// already sorted, so this is also the canonical `jcs` text).
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "codec/json_value.h"

namespace quillmere {

// The shortest round-trip decimal digits d1..dn of a finite non-negative value
// (no trailing zeros; "0" for zero) and kk, so that value = 0.d1...dn * 10^kk.
struct DecimalDigits {
  char digits[24];
  int n = 0;
  int kk = 0;
  std::string_view view() const { return {digits, static_cast<size_t>(n)}; }
};
DecimalDigits shortest_digits(double v);
DecimalDigits shortest_digits(float v);

// Appends `s` between double quotes with the writer's escapes.
void append_json_string(std::string& out, std::string_view s);

void append_u64(std::string& out, uint64_t v);
void append_i64(std::string& out, int64_t v);

// Shortest round-trip digits laid out by the number rules; null if not finite.
void append_f64(std::string& out, double v);
// The same for a 32-bit float (13 / -6 thresholds, shortest digits of the float),
// with more digits for the few floats whose shortest text nearest_float would not
// give back after the reader has turned it into a double.
void append_f32(std::string& out, float v);

// A double in plain decimal: shortest round-trip digits, never an exponent, no
// fraction for whole numbers (12.0 is "12"); "NaN", "inf", "-inf" otherwise.
std::string plain_decimal(double d);

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

// Compact JSON text: no whitespace, members in the object's (sorted) order.
void append_json(std::string& out, const JsonValue& v);
std::string to_json_text(const JsonValue& v);

}  // namespace quillmere
