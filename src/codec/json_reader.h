// The JSON reader: RFC 8259 text into a JsonValue in one pass, with the
// number forms kept (u64 / negative i64 / f64), objects sorted by key bytes
// (a repeated key keeps its last value) and at most 127 nested levels.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "codec/json_value.h"

namespace quillmere {

inline constexpr size_t kJsonMaxDepth = 127;

struct JsonParseError {
  std::string description;  // e.g. "expected value"
  size_t line = 0;          // 1-based
  size_t column = 0;        // 1-based column of the offending byte

  // description + " at line L column C"
  std::string display() const;
  friend bool operator==(const JsonParseError&, const JsonParseError&) = default;
};

// Parses one document; only whitespace (space, tab, LF, CR) may follow it.
std::expected<JsonValue, JsonParseError> parse_json(std::string_view text);

// A document read from the start of a text, and what follows it.
struct LeadingDocument {
  JsonValue value;
  // "trailing characters" at the first byte after the document that is not
  // whitespace; empty when there is none.
  std::optional<JsonParseError> trailing;
};

// Parses the document at the start of `text`, for a caller that converts the
// document before it judges what follows (a syntax error inside the document
// still fails here).
std::expected<LeadingDocument, JsonParseError> parse_leading_json(std::string_view text);

}  // namespace quillmere
