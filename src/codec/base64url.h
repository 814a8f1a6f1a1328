// Base64url (RFC 4648, URL-safe alphabet) without padding: the text form of
// 32-byte values. Decoding refuses padding and non-canonical trailing bits.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere {

void append_base64url(std::string& out, std::span<const uint8_t> bytes);
std::string encode_base64url(std::span<const uint8_t> bytes);

// The bytes, or one of: "Invalid padding", "Invalid symbol {byte}, offset
// {index}.", "Invalid input length: {symbols}", "Invalid last symbol {byte},
// offset {index}.".
std::expected<std::vector<uint8_t>, std::string> decode_base64url(std::string_view text);

}  // namespace quillmere
