// Reading a receipt identifier from text. Four forms are accepted: 32 hex
// digits, hyphenated 8-4-4-4-12, the hyphenated form in braces, and
// "urn:uuid:" + hyphenated; hex digits in either case.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere {

// A receipt identifier: the 16 bytes of a UUID.
using Uuid = std::array<uint8_t, 16>;

// The identifier, or a description of why the text is not one.
std::expected<Uuid, std::string> parse_uuid_described(std::string_view text);

// The identifier, or nothing when the text is not one of the four forms.
std::optional<Uuid> parse_uuid(std::string_view text);

}  // namespace quillmere
