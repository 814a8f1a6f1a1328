// The lexical layer of JSON reading, shared by the tree reader and the direct
// receipt reader so that both accept exactly the same strings, numbers and
// literals. A failure records the offending byte and a description; line and
// column are worked out only when an error is reported.
#pragma once

#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <system_error>

#include "base/utf8.h"
#include "codec/json_reader.h"
#include "codec/json_value.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillmere::json_lex {

constexpr bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

constexpr bool is_plain_string_byte(unsigned char c) {
  return c >= 0x20 && c < 0x80 && c != '"' && c != '\\';
}

inline int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Whether a number literal whose conversion went out of range is huge (true)
// or tiny (false): the sign of its decimal magnitude decides, and an
// out-of-range result is hundreds of orders of magnitude away from 1.
inline bool literal_overflows(std::string_view lit) {
  size_t i = 0;
  if (i < lit.size() && lit[i] == '-') ++i;
  int64_t magnitude = 0;
  bool seen_nonzero = false;
  for (; i < lit.size() && is_digit(lit[i]); ++i) {
    if (lit[i] != '0') seen_nonzero = true;
    if (seen_nonzero) ++magnitude;
  }
  if (i < lit.size() && lit[i] == '.') {
    for (++i; i < lit.size() && is_digit(lit[i]); ++i) {
      if (seen_nonzero) continue;
      if (lit[i] != '0') {
        seen_nonzero = true;
      } else {
        --magnitude;
      }
    }
  }
  int64_t exponent = 0;
  if (i < lit.size() && (lit[i] == 'e' || lit[i] == 'E')) {
    ++i;
    bool negative = false;
    if (i < lit.size() && (lit[i] == '+' || lit[i] == '-')) negative = lit[i++] == '-';
    for (; i < lit.size(); ++i) {
      if (exponent < 1'000'000'000) exponent = exponent * 10 + (lit[i] - '0');
    }
    if (negative) exponent = -exponent;
  }
  return magnitude + exponent > 0;
}

class Cursor {
 public:
  explicit Cursor(std::string_view text)
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}

  bool fail(const char* at, const char* description) {
    error_at_ = at;
    error_ = description;
    return false;
  }

  JsonParseError error() const {
    size_t line = 1;
    const char* line_start = begin_;
    for (const char* q = begin_; q < error_at_; ++q) {
      if (*q == '\n') {
        ++line;
        line_start = q + 1;
      }
    }
    return JsonParseError{error_, line, static_cast<size_t>(error_at_ - line_start) + 1};
  }

  void skip_ws() {
    // Compact text has none: one comparison rules out the rest.
    while (p_ < end_ && static_cast<unsigned char>(*p_) <= ' ' &&
           (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) {
      ++p_;
    }
  }

  bool parse_literal(std::string_view word) {
    for (char c : word) {
      if (p_ == end_) return fail(end_, "EOF while parsing a value");
      if (*p_ != c) return fail(p_, "expected ident");
      ++p_;
    }
    return true;
  }

  // A number in its kept form: u64, negative i64, or f64 (fractions,
  // exponents, "-0" and integers past 64 bits). `p_` is at '-' or a digit.
  bool parse_number(JsonValue& out) {
    const char* start = p_;
    bool negative = false;
    if (*p_ == '-') {
      negative = true;
      ++p_;
      if (p_ == end_) return fail(end_, "EOF while parsing a value");
    }
    uint64_t magnitude = 0;
    bool fits = true;
    if (*p_ == '0') {
      ++p_;
      if (p_ < end_ && is_digit(*p_)) return fail(p_, "invalid number");
    } else if (is_digit(*p_)) {
      for (; p_ < end_ && is_digit(*p_); ++p_) {
        auto digit = static_cast<uint64_t>(*p_ - '0');
        if (magnitude > (std::numeric_limits<uint64_t>::max() - digit) / 10) fits = false;
        magnitude = magnitude * 10 + digit;
      }
    } else {
      return fail(p_, "invalid number");
    }
    bool is_float = false;
    if (p_ < end_ && *p_ == '.') {
      is_float = true;
      ++p_;
      if (!digits()) return false;
    }
    if (p_ < end_ && (*p_ == 'e' || *p_ == 'E')) {
      is_float = true;
      ++p_;
      if (p_ < end_ && (*p_ == '+' || *p_ == '-')) ++p_;
      if (!digits()) return false;
    }
    if (!is_float && fits) {
      if (!negative) {
        out.v = magnitude;
        return true;
      }
      // "-0" is not a negative integer: it stays the float -0.0.
      if (magnitude != 0 && magnitude <= (uint64_t{1} << 63)) {
        out.v = static_cast<int64_t>(0 - magnitude);
        return true;
      }
    }
    double d = 0.0;
    auto res = std::from_chars(start, p_, d);
    if (res.ec == std::errc::result_out_of_range) {
      if (literal_overflows(std::string_view(start, static_cast<size_t>(p_ - start)))) {
        return fail(start, "number out of range");
      }
      d = negative ? -0.0 : 0.0;
    } else if (res.ec != std::errc() || res.ptr != p_) {
      return fail(start, "invalid number");
    }
    out.v = d;
    return true;
  }

  // `p_` is just after the opening quote. A string without escapes comes back
  // as a view into the text; one with escapes is decoded into `scratch`, which
  // the view then points into.
  bool parse_string(std::string_view& out, std::string& scratch) {
    const char* segment = p_;
    bool decoded = false;
    for (;;) {
      skip_plain_string_bytes();
      if (p_ == end_) return fail(end_, "EOF while parsing a string");
      auto c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        if (decoded) {
          scratch.append(segment, p_);
          out = scratch;
        } else {
          out = std::string_view(segment, static_cast<size_t>(p_ - segment));
        }
        ++p_;
        return true;
      }
      if (c == '\\') {
        if (!decoded) scratch.clear();
        decoded = true;
        scratch.append(segment, p_);
        if (!parse_escape(scratch)) return false;
        segment = p_;
      } else if (c < 0x20) {
        return fail(p_, "control character (\\u0000-\\u001F) found while parsing a string");
      } else if (!skip_utf8_sequence()) {
        return false;
      }
    }
  }

 protected:
  // The text, and the position reached in it; readers built on the cursor move
  // `p_` themselves.
  const char* begin_;
  const char* p_;
  const char* end_;

 private:
  // Steps over bytes that need no attention inside a string: everything but a
  // quote, a backslash, a control character or a non-ASCII byte. Works on a
  // local pointer so that the loop keeps it in a register.
  void skip_plain_string_bytes() {
    const char* p = p_;
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    // Signed bytes: below 0x20 are the control characters and every non-ASCII byte.
    const __m128i space = _mm_set1_epi8(0x20);
    while (end_ - p >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i special =
          _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)),
                       _mm_cmplt_epi8(v, space));
      const int mask = _mm_movemask_epi8(special);
      if (mask != 0) {
        p_ = p + __builtin_ctz(static_cast<unsigned>(mask));
        return;
      }
      p += 16;
    }
#endif
    while (p < end_ && is_plain_string_byte(static_cast<unsigned char>(*p))) ++p;
    p_ = p;
  }

  // One or more digits (after a point or an exponent mark).
  bool digits() {
    if (p_ == end_) return fail(end_, "EOF while parsing a value");
    if (!is_digit(*p_)) return fail(p_, "invalid number");
    while (p_ < end_ && is_digit(*p_)) ++p_;
    return true;
  }

  // Validates one multi-byte UTF-8 sequence at `p_` and steps over it.
  bool skip_utf8_sequence() {
    const auto* p = reinterpret_cast<const unsigned char*>(p_);
    const utf8::Sequence seq = utf8::decode(p, reinterpret_cast<const unsigned char*>(end_));
    if (seq.length == 0) {
      if (p_ + seq.bad_at == end_) return fail(end_, "EOF while parsing a string");
      return fail(p_ + seq.bad_at, "invalid unicode code point");
    }
    p_ += seq.length;
    return true;
  }

  // `p_` is at the backslash.
  bool parse_escape(std::string& out) {
    ++p_;
    if (p_ == end_) return fail(end_, "EOF while parsing a string");
    char c = *p_++;
    switch (c) {
      case '"':
        out.push_back('"');
        return true;
      case '\\':
        out.push_back('\\');
        return true;
      case '/':
        out.push_back('/');
        return true;
      case 'b':
        out.push_back('\b');
        return true;
      case 'f':
        out.push_back('\f');
        return true;
      case 'n':
        out.push_back('\n');
        return true;
      case 'r':
        out.push_back('\r');
        return true;
      case 't':
        out.push_back('\t');
        return true;
      case 'u':
        break;
      default:
        return fail(p_ - 1, "invalid escape");
    }
    uint32_t cp;
    if (!hex4(cp)) return false;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return fail(p_ - 1, "invalid unicode code point");
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      if (p_ == end_) return fail(end_, "EOF while parsing a string");
      if (p_[0] != '\\') return fail(p_, "invalid unicode code point");
      if (p_ + 1 == end_) return fail(end_, "EOF while parsing a string");
      if (p_[1] != 'u') return fail(p_ + 1, "invalid unicode code point");
      p_ += 2;
      uint32_t low;
      if (!hex4(low)) return false;
      if (low < 0xDC00 || low > 0xDFFF) return fail(p_ - 1, "invalid unicode code point");
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    utf8::append(out, cp);
    return true;
  }

  bool hex4(uint32_t& value) {
    value = 0;
    for (int i = 0; i < 4; ++i) {
      if (p_ == end_) return fail(end_, "EOF while parsing a string");
      int d = hex_digit(*p_);
      if (d < 0) return fail(p_, "invalid escape");
      value = value * 16 + static_cast<uint32_t>(d);
      ++p_;
    }
    return true;
  }

  const char* error_at_ = nullptr;
  const char* error_ = "";
};

}  // namespace quillmere::json_lex
