// Canonical order of generic values: every map sorted by the bytes of its keys
// (stable, so equal sort keys keep their order), arrays kept in order, and the
// content of tags left exactly as held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "codec/cbor_encode.h"
#include "codec/generic_value.h"

namespace quillmere {

struct CanonicalError {
  // Conversion: the receipt cannot be turned into a CBOR item tree (nesting
  // beyond 256 levels, text that is not UTF-8). Encoding: the tree cannot be
  // written back.
  enum class Kind { Conversion, Encoding };
  Kind kind;
  std::string detail;
  friend bool operator==(const CanonicalError&, const CanonicalError&) = default;
};

// Arrays, maps and tags nested in one CBOR item beyond this count are refused.
inline constexpr size_t kMaxCborNesting = 256;

// The sort key of a map key: a text key's UTF-8 bytes (no head); any other key's
// CBOR encoding after canonicalisation. A key nested too deeply to encode falls
// back to the bytes of a descriptive text, so sorting still succeeds.
std::vector<uint8_t> format_key(const GenericValue& key);

// Canonicalises `value` in place: array elements in order, then each map's values
// before its entries are stable-sorted by format_key of their (untouched) keys.
// Refuses, without changing anything, a value nested beyond kMaxCborNesting.
std::expected<void, CanonicalError> canon_value(GenericValue& value);

// The number of nested arrays, maps and tags of `value` (0 for a scalar), or
// `limit` + 1 when it exceeds `limit`; never descends further than that.
size_t nesting_depth(const GenericValue& value, size_t limit);

namespace cbor {

// Encode `value` as held, or as canon_value would leave it, without changing it.
// Both refuse (return false, leaving partial output) when `value` holds more than
// `max_nesting` nested arrays, maps and tags counting itself.
bool encode_as_held(Writer& w, const GenericValue& value, size_t max_nesting);
bool encode_canonical(Writer& w, const GenericValue& value, size_t max_nesting);

}  // namespace cbor

}  // namespace quillmere
