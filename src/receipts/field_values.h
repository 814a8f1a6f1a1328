// What a record field accepts from JSON, decided once for both readers: the
// general reader words each refusal, the one-pass reader declines on any.
#pragma once

#include <cstdint>
#include <expected>
#include <limits>
#include <string>
#include <string_view>

#include "codec/json_text.h"
#include "codec/json_value.h"
#include "receipts/payloads.h"

namespace quillmere {

// The number types of fields, by the names that failure texts give them.
template <typename T>
inline constexpr std::string_view kNumberName{};
template <>
inline constexpr std::string_view kNumberName<uint64_t> = "u64";
template <>
inline constexpr std::string_view kNumberName<int64_t> = "i64";
template <>
inline constexpr std::string_view kNumberName<uint8_t> = "u8";
template <>
inline constexpr std::string_view kNumberName<double> = "f64";
template <>
inline constexpr std::string_view kNumberName<float> = "f32";

template <typename T>
concept NumberField = !kNumberName<T>.empty();

enum class NumberFit {
  kTaken,
  kWrongType,   // not a number, or a number of a form the field does not take
  kOutOfRange,  // an integer outside the field's range
};

// `v` read into a number field. Integer fields take integers within their range
// only; float fields take any number (a float32 one the nearest float).
template <NumberField T>
NumberFit number_as(const JsonValue& v, T& out) {
  if constexpr (std::is_floating_point_v<T>) {
    double d = 0.0;
    if (v.is_f64()) {
      d = v.as_f64();
    } else if (v.is_u64()) {
      d = static_cast<double>(v.as_u64());
    } else if (v.is_i64()) {
      d = static_cast<double>(v.as_i64());
    } else {
      return NumberFit::kWrongType;
    }
    if constexpr (std::is_same_v<T, float>) {
      out = nearest_float(d);
    } else {
      out = d;
    }
    return NumberFit::kTaken;
  } else {
    if (v.is_u64()) {
      if (v.as_u64() > static_cast<uint64_t>(std::numeric_limits<T>::max())) {
        return NumberFit::kOutOfRange;
      }
      out = static_cast<T>(v.as_u64());
      return NumberFit::kTaken;
    }
    if (v.is_i64()) {
      if constexpr (std::is_signed_v<T>) {
        out = v.as_i64();
        return NumberFit::kTaken;
      }
      return NumberFit::kOutOfRange;
    }
    return NumberFit::kWrongType;
  }
}

// A 32-byte value given as text: 43 characters of base64url without padding.
// The failure text otherwise ("Invalid base64url string: ..." or "Expected 32
// bytes, got N bytes").
std::expected<void, std::string> bytes32_from_text(std::string_view text, Bytes32& out);

// A 32-byte value given as an array holds exactly this many byte values (u8).
inline constexpr size_t kBytes32Length = std::tuple_size_v<Bytes32>;

}  // namespace quillmere
