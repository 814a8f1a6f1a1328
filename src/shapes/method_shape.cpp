// Method shape descriptors and their hashes.
#include "shapes/method_shape.h"

#include <algorithm>

#include "codec/commitments.h"

namespace quillmere {
namespace {

bool is_ascii_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

}  // namespace

std::expected<std::string, MethodShapeError> compute_method_shape_hash_from_code(
    std::string_view code_hash, const std::optional<JsonValue>& params) {
  constexpr std::string_view kPrefix = "sha256:";
  std::string_view digits = code_hash;
  if (digits.starts_with(kPrefix)) digits.remove_prefix(kPrefix.size());
  if (digits.size() != 64 || !std::all_of(digits.begin(), digits.end(), is_ascii_hex)) {
    return std::unexpected(MethodShapeError{MethodShapeError::Kind::InvalidHashFormat,
                                            "Invalid code hash format: " + std::string(code_hash)});
  }
  JsonObject descriptor;
  descriptor.insert("code_hash", std::string(kPrefix).append(digits));
  if (params) descriptor.insert("params", *params);
  return sha256_prefixed(jcs(JsonValue(std::move(descriptor))));
}

std::expected<std::string, MethodShapeError> compute_method_shape_hash_from_signature(
    std::string_view function_name, std::span<const std::string> input_types,
    std::string_view output_type) {
  if (function_name.empty()) {
    return std::unexpected(
        MethodShapeError{MethodShapeError::Kind::InvalidInput, "Function name cannot be empty"});
  }
  JsonArray types(input_types.begin(), input_types.end());
  JsonObject descriptor;
  descriptor.insert("function_name", std::string(function_name));
  descriptor.insert("input_types", std::move(types));
  descriptor.insert("output_type", std::string(output_type));
  return sha256_prefixed(jcs(JsonValue(std::move(descriptor))));
}

}  // namespace quillmere
