// The text form of 32-byte values.
#include "receipts/field_values.h"

#include <algorithm>

#include "codec/base64url.h"

namespace quillmere {

std::expected<void, std::string> bytes32_from_text(std::string_view text, Bytes32& out) {
  auto bytes = decode_base64url(text);
  if (!bytes) return std::unexpected("Invalid base64url string: " + bytes.error());
  if (bytes->size() != out.size()) {
    return std::unexpected("Expected 32 bytes, got " + std::to_string(bytes->size()) + " bytes");
  }
  std::copy(bytes->begin(), bytes->end(), out.begin());
  return {};
}

}  // namespace quillmere
