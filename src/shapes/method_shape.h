// The method shape hash: a commitment to a method's contract, from the hash of its code
// with optional parameters, or from its signature.
#pragma once

#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "codec/json_value.h"

namespace quillmere {

struct MethodShapeError {
  enum class Kind { InvalidHashFormat, InvalidInput };
  Kind kind;
  std::string text;

  std::string display() const {
    return (kind == Kind::InvalidHashFormat ? "Invalid hash format: " : "Invalid input: ") + text;
  }
  friend bool operator==(const MethodShapeError&, const MethodShapeError&) = default;
};

// `code_hash` is 64 hex digits (either case), optionally behind "sha256:"; the digits
// enter the descriptor as given. `params`, when present, is copied in unchanged.
std::expected<std::string, MethodShapeError> compute_method_shape_hash_from_code(
    std::string_view code_hash, const std::optional<JsonValue>& params);

// Fails only for an empty function name.
std::expected<std::string, MethodShapeError> compute_method_shape_hash_from_signature(
    std::string_view function_name, std::span<const std::string> input_types,
    std::string_view output_type);

}  // namespace quillmere
