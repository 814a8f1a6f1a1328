// Commitment primitives: the hash string of bytes, and the canonical JSON text
// of a JSON value (compact, keys in UTF-8 byte order, fixed number forms).
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "codec/json_value.h"

namespace quillmere {

// "sha256:" + 64 lowercase hex digits of SHA-256(data).
std::string sha256_prefixed(std::string_view data);
inline std::string sha256_prefixed(std::span<const uint8_t> data) {
  return sha256_prefixed(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
}

// A deep copy with every object's keys in canonical order.
JsonValue sort(const JsonValue& value);

// The canonical text of a JSON value.
std::string jcs(const JsonValue& value);

}  // namespace quillmere
