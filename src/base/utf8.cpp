// UTF-8 validation with ASCII fast paths: hash texts, identifiers, timestamps and
// receipt files are almost all ASCII.
#include "base/utf8.h"

#include <cstring>

namespace quillmere::utf8 {

namespace {

// True when no byte of `s` has its top bit set. No early exit, so the loop vectorises.
bool all_ascii(std::string_view s) {
  uint64_t seen = 0;
  size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    uint64_t word;
    std::memcpy(&word, s.data() + i, 8);
    seen |= word;
  }
  for (; i < s.size(); ++i) seen |= static_cast<unsigned char>(s[i]);
  return (seen & 0x8080808080808080ULL) == 0;
}

}  // namespace

bool is_valid(std::string_view s) {
  if (all_ascii(s)) return true;
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const unsigned char* const end = p + s.size();
  while (p < end) {
    // ASCII runs are the common case: check eight bytes at a time.
    while (end - p >= 8) {
      uint64_t word;
      std::memcpy(&word, p, 8);
      if ((word & 0x8080808080808080ULL) != 0) break;
      p += 8;
    }
    if (p == end) break;
    if (*p < 0x80) {
      ++p;
      continue;
    }
    const Sequence seq = decode(p, end);
    if (seq.length == 0) return false;
    p += seq.length;
  }
  return true;
}

std::string to_display_text(std::string_view bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  size_t i = 0;
  while (i < bytes.size()) {
    const Sequence seq = decode(bytes, i);
    if (seq.length != 0) {
      out.append(bytes.substr(i, seq.length));
      i += seq.length;
    } else {
      out.append(kReplacement);
      i += seq.bad_at == 0 ? 1 : seq.bad_at;
    }
  }
  return out;
}

}  // namespace quillmere::utf8
