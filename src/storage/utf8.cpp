// UTF-8 validation with an ASCII fast path: receipt files are almost all ASCII,
// so eight bytes are checked at a time until a non-ASCII byte shows up.
#include "storage/utf8.h"

#include <cstdint>
#include <cstring>

namespace quillmere {

bool is_valid_utf8(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const unsigned char* const end = p + bytes.size();
  while (p < end) {
    if (end - p >= 8) {
      uint64_t word;
      std::memcpy(&word, p, sizeof word);
      if ((word & 0x8080808080808080ULL) == 0) {
        p += 8;
        continue;
      }
    }
    const unsigned char c = *p;
    if (c < 0x80) {
      ++p;
      continue;
    }
    // Lead byte: sequence length and the allowed range of the first continuation
    // byte (which rules out overlong forms, surrogates and values past U+10FFFF).
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      if (c == 0xE0) lo = 0xA0;
      if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      if (c == 0xF0) lo = 0x90;
      if (c == 0xF4) hi = 0x8F;
    } else {
      return false;
    }
    if (static_cast<size_t>(end - p) < len) return false;
    if (p[1] < lo || p[1] > hi) return false;
    for (size_t i = 2; i < len; ++i) {
      if ((p[i] & 0xC0) != 0x80) return false;
    }
    p += len;
  }
  return true;
}

}  // namespace quillmere

namespace quillmere {

std::string to_display_text(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      out.push_back(static_cast<char>(lead));
      ++i;
      continue;
    }
    // Expected length and the allowed range of the second byte (which rules out
    // overlong forms, surrogates and code points past U+10FFFF).
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    }
    // Take the longest well-formed prefix; a complete sequence is copied, an
    // incomplete or invalid one is replaced as a whole.
    size_t taken = 1;
    while (length != 0 && taken < length && i + taken < bytes.size()) {
      const auto c = static_cast<unsigned char>(bytes[i + taken]);
      const unsigned char lo = taken == 1 ? low : 0x80;
      const unsigned char hi = taken == 1 ? high : 0xBF;
      if (c < lo || c > hi) break;
      ++taken;
    }
    if (length != 0 && taken == length) {
      out.append(bytes.substr(i, length));
    } else {
      out.append(kReplacement);
    }
    i += taken;
  }
  return out;
}

}  // namespace quillmere
