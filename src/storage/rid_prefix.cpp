// Rid prefixes: checking, reading from a person's text, the hyphenated form and the range.
#include "storage/rid_prefix.h"

namespace quillmere {

namespace {

bool is_lower_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

// Hyphens of the stored form come after these many hex digits.
bool hyphen_follows(size_t digits) {
  return digits == 8 || digits == 12 || digits == 16 || digits == 20;
}

}  // namespace

bool is_rid_prefix(std::string_view hex_prefix) {
  if (hex_prefix.empty() || hex_prefix.size() > kRidHexDigits) return false;
  for (const char c : hex_prefix) {
    if (!is_lower_hex(c)) return false;
  }
  return true;
}

std::expected<void, StorageError> check_rid_prefix(std::string_view hex_prefix) {
  if (is_rid_prefix(hex_prefix)) return {};
  return std::unexpected(
      StorageError::invalid_input("a rid prefix is 1 to 32 lowercase hex digits, without hyphens"));
}

std::expected<std::string, std::string> rid_prefix_from_text(std::string_view text) {
  // The stored form has a hyphen after the 8th digit; text without one there has none.
  const bool hyphenated = text.size() > 8 && text[8] == '-';
  std::string hex;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (hyphenated && (i == 8 || i == 13 || i == 18 || i == 23)) {
      if (c != '-')
        return std::unexpected("hyphens of a rid go after its 8th, 12th, 16th and 20th digit");
      continue;
    }
    const char lower = (c >= 'A' && c <= 'F') ? static_cast<char>(c - 'A' + 'a') : c;
    if (!is_lower_hex(lower)) {
      return std::unexpected(c == '-'
                                 ? "hyphens of a rid go after its 8th, 12th, 16th and 20th digit"
                                 : "a rid is made of hex digits and hyphens");
    }
    hex.push_back(lower);
  }
  if (hex.empty()) return std::unexpected("no hex digit given");
  if (hex.size() > kRidHexDigits) return std::unexpected("a rid has 32 hex digits");
  return hex;
}

std::string hyphenated_rid_prefix(std::string_view hex_prefix) {
  std::string out;
  out.reserve(hex_prefix.size() + 4);
  for (size_t i = 0; i < hex_prefix.size(); ++i) {
    if (hyphen_follows(i)) out.push_back('-');
    out.push_back(hex_prefix[i]);
  }
  return out;
}

RidRange rid_prefix_range(std::string_view hex_prefix) {
  RidRange range{hyphenated_rid_prefix(hex_prefix), {}};
  // The same start with its last digit one higher ('9' -> 'a', 'f' -> 'g', past every
  // hex digit): no carry is ever needed.
  range.upper = range.lower;
  char& last = range.upper.back();
  last = last == '9' ? 'a' : static_cast<char>(last + 1);
  return range;
}

}  // namespace quillmere
