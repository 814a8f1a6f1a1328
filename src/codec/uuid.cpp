// UUID text parsing with a description of the first fault found.
#include "codec/uuid.h"

#include <array>
#include <cstdint>

namespace quillmere {

namespace {

constexpr std::string_view kUrnPrefix = "urn:uuid:";
constexpr std::array<size_t, 5> kGroupLengths = {8, 4, 4, 4, 12};

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The whole UTF-8 character starting at `i`, so the description shows what the
// caller wrote rather than a lone byte.
std::string_view char_at(std::string_view text, size_t i) {
  unsigned char c = static_cast<unsigned char>(text[i]);
  size_t len = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
  return text.substr(i, len);
}

std::string invalid_character(std::string_view whole, size_t index) {
  std::string out =
      "invalid character: expected an optional prefix of `urn:uuid:` followed by "
      "[0-9a-fA-F-], found `";
  out.append(char_at(whole, index));
  out.append("` at ");
  out.append(std::to_string(index + 1));
  return out;
}

// Decodes `digits` (exactly 32 hex digits) into the identifier.
std::expected<Uuid, std::string> decode_simple(std::string_view whole, size_t start) {
  Uuid id{};
  for (size_t i = 0; i < 32; ++i) {
    int v = hex_value(whole[start + i]);
    if (v < 0) return std::unexpected(invalid_character(whole, start + i));
    id[i / 2] = static_cast<uint8_t>(id[i / 2] | (i % 2 == 0 ? v << 4 : v));
  }
  return id;
}

// The 36-character hyphenated form found at `start` in `whole`.
std::expected<Uuid, std::string> decode_hyphenated(std::string_view whole, size_t start) {
  std::string_view body = whole.substr(start, 36);
  for (size_t i = 0; i < body.size(); ++i) {
    if (body[i] != '-' && hex_value(body[i]) < 0)
      return std::unexpected(invalid_character(whole, start + i));
  }
  // Every character is a hex digit or a hyphen; check the grouping.
  size_t groups = 1;
  for (char c : body) groups += c == '-' ? 1 : 0;
  if (groups != 5) {
    return std::unexpected("invalid group count: expected 5, found " + std::to_string(groups));
  }
  Uuid id{};
  size_t pos = 0;
  size_t nibble = 0;
  for (size_t g = 0; g < 5; ++g) {
    size_t len = 0;
    while (pos + len < body.size() && body[pos + len] != '-') ++len;
    if (len != kGroupLengths[g]) {
      return std::unexpected("invalid group length in group " + std::to_string(g) + ": expected " +
                             std::to_string(kGroupLengths[g]) + ", found " + std::to_string(len));
    }
    for (size_t i = 0; i < len; ++i, ++nibble) {
      int v = hex_value(body[pos + i]);
      id[nibble / 2] = static_cast<uint8_t>(id[nibble / 2] | (nibble % 2 == 0 ? v << 4 : v));
    }
    pos += len + 1;
  }
  return id;
}

constexpr std::array<int8_t, 256> make_hex_table() {
  std::array<int8_t, 256> t{};
  t.fill(-1);
  for (int i = 0; i < 10; ++i) t['0' + i] = static_cast<int8_t>(i);
  for (int i = 0; i < 6; ++i) {
    t['a' + i] = static_cast<int8_t>(10 + i);
    t['A' + i] = static_cast<int8_t>(10 + i);
  }
  return t;
}
constexpr std::array<int8_t, 256> kHexTable = make_hex_table();

// The common case, a well-formed hyphenated text, without building any text.
bool decode_hyphenated_fast(std::string_view body, Uuid& id) {
  if (body[8] != '-' || body[13] != '-' || body[18] != '-' || body[23] != '-') return false;
  static constexpr std::array<uint8_t, 16> kPos = {0,  2,  4,  6,  9,  11, 14, 16,
                                                   19, 21, 24, 26, 28, 30, 32, 34};
  int bad = 0;
  for (size_t i = 0; i < 16; ++i) {
    int hi = kHexTable[static_cast<unsigned char>(body[kPos[i]])];
    int lo = kHexTable[static_cast<unsigned char>(body[kPos[i] + 1])];
    bad |= hi | lo;
    id[i] = static_cast<uint8_t>(((hi & 0xF) << 4) | (lo & 0xF));
  }
  return bad >= 0;
}

}  // namespace

std::expected<Uuid, std::string> parse_uuid_described(std::string_view text) {
  Uuid id;
  if (text.size() == 36 && decode_hyphenated_fast(text, id)) return id;
  switch (text.size()) {
    case 32:
      return decode_simple(text, 0);
    case 36:
      return decode_hyphenated(text, 0);
    case 38:
      if (text.front() != '{') return std::unexpected(invalid_character(text, 0));
      if (text.back() != '}') return std::unexpected(invalid_character(text, 37));
      return decode_hyphenated(text, 1);
    case 45:
      for (size_t i = 0; i < kUrnPrefix.size(); ++i) {
        if (text[i] != kUrnPrefix[i]) return std::unexpected(invalid_character(text, i));
      }
      return decode_hyphenated(text, kUrnPrefix.size());
    default:
      return std::unexpected("invalid length: expected length 32 for simple format, found " +
                             std::to_string(text.size()));
  }
}

std::optional<Uuid> parse_uuid(std::string_view text) {
  auto id = parse_uuid_described(text);
  if (!id) return std::nullopt;
  return *id;
}

}  // namespace quillmere
