// UTF-8: the one validator of the code base, the one-sequence decoder that the
// JSON lexer and the display helpers build on, and display text for bytes that
// may not be UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillmere::utf8 {

// One sequence examined at the start of a text.
struct Sequence {
  // Bytes of the well-formed sequence (1 for ASCII), or 0 when it is ill-formed.
  uint8_t length;
  // For an ill-formed sequence, the offset of the first byte that cannot belong
  // to it: 0 for a byte that starts no sequence, otherwise the number of bytes
  // that do form a valid prefix (equal to the bytes available when the text ends
  // inside the sequence).
  uint8_t bad_at;
  uint32_t code_point;  // valid only when length != 0
};

// Decodes the sequence at p (p < end): shortest form only, no surrogates, nothing
// past U+10FFFF.
inline Sequence decode(const unsigned char* p, const unsigned char* end) {
  const unsigned char b0 = p[0];
  if (b0 < 0x80) return {1, 0, b0};
  uint8_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
  uint32_t cp;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2, cp = b0 & 0x1Fu;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3, cp = b0 & 0x0Fu;
    if (b0 == 0xE0) lo = 0xA0;  // overlong
    if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4, cp = b0 & 0x07u;
    if (b0 == 0xF0) lo = 0x90;  // overlong
    if (b0 == 0xF4) hi = 0x8F;  // past U+10FFFF
  } else {
    return {0, 0, 0};
  }
  for (uint8_t i = 1; i < len; ++i) {
    if (p + i >= end) return {0, i, 0};
    const unsigned char b = p[i];
    if (b < (i == 1 ? lo : 0x80) || b > (i == 1 ? hi : 0xBF)) return {0, i, 0};
    cp = (cp << 6) | (b & 0x3Fu);
  }
  return {len, 0, cp};
}

inline Sequence decode(std::string_view s, size_t i) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  return decode(p + i, p + s.size());
}

// True when `s` is well-formed UTF-8.
bool is_valid(std::string_view s);

// `bytes` as UTF-8 text for display: each ill-formed subsequence (the longest
// valid prefix of a sequence, or one byte) becomes one U+FFFD.
std::string to_display_text(std::string_view bytes);

// Appends the UTF-8 form of a code point (at most U+10FFFF, not a surrogate).
inline void append(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace quillmere::utf8
