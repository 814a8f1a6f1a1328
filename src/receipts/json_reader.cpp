// One-pass recursive-descent JSON reader. Recursion is bounded by the nesting
// cap; strings without escapes are copied in one piece after a word-at-a-time
// scan; errors record the offending byte and are turned into line and column
// only when they happen.
#include "receipts/json_reader.h"

#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <system_error>
#include <utility>

namespace quillmere {

std::string JsonParseError::message() const {
  return description + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

namespace {

constexpr uint64_t kOnes = 0x0101010101010101ULL;
constexpr uint64_t kHighs = 0x8080808080808080ULL;

constexpr uint64_t has_zero_byte(uint64_t v) {
  return (v - kOnes) & ~v & kHighs;
}

// True when any of the eight bytes needs attention inside a string: a quote, a
// backslash, a control character or a non-ASCII byte.
constexpr bool has_string_special(uint64_t w) {
  return ((w & kHighs) | has_zero_byte(w ^ (kOnes * '"')) | has_zero_byte(w ^ (kOnes * '\\')) |
          ((w - kOnes * 0x20) & ~w & kHighs)) != 0;
}

constexpr bool is_plain_string_byte(unsigned char c) {
  return c >= 0x20 && c < 0x80 && c != '"' && c != '\\';
}

constexpr bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::string& out, uint32_t cp) {
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

// Whether a number literal whose conversion went out of range is huge (true)
// or tiny (false): the sign of its decimal magnitude decides, and an
// out-of-range result is hundreds of orders of magnitude away from 1.
bool literal_overflows(std::string_view lit) {
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

// Sorts by key bytes; of repeated keys the last one stays. Receipts are
// written in declaration order, so nearly every object needs sorting; objects
// are small, so the order is found on indices first and each member is then
// moved once.
void sort_members(std::vector<JsonMember>& members) {
  size_t n = members.size();
  bool sorted = true;
  for (size_t i = 1; i < n && sorted; ++i) {
    sorted = std::string_view(members[i - 1].key) < std::string_view(members[i].key);
  }
  if (sorted) return;
  if (n > 64) {
    members = JsonObject::from_unsorted(std::move(members)).members;
    return;
  }
  std::array<uint8_t, 64> order;
  for (size_t i = 0; i < n; ++i) {
    auto idx = static_cast<uint8_t>(i);
    std::string_view key = members[i].key;
    size_t j = i;
    // Stable: an equal key goes after the earlier one.
    while (j > 0 && key < std::string_view(members[order[j - 1]].key)) {
      order[j] = order[j - 1];
      --j;
    }
    order[j] = idx;
  }
  std::vector<JsonMember> out;
  out.reserve(n);
  for (size_t k = 0; k < n; ++k) {
    JsonMember& m = members[order[k]];
    if (!out.empty() && out.back().key == m.key) {
      out.back().value = std::move(m.value);
    } else {
      out.push_back(std::move(m));
    }
  }
  members = std::move(out);
}

class Parser {
 public:
  explicit Parser(std::string_view text)
      : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}

  std::expected<JsonValue, JsonParseError> run() {
    JsonValue root;
    if (parse_value(root)) {
      skip_ws();
      if (p_ == end_) return root;
      fail(p_, "trailing characters");
    }
    return std::unexpected(make_error());
  }

 private:
  bool fail(const char* at, const char* description) {
    error_at_ = at;
    error_ = description;
    return false;
  }

  JsonParseError make_error() const {
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
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }

  bool parse_value(JsonValue& out) {
    skip_ws();
    if (p_ == end_) return fail(end_, "EOF while parsing a value");
    switch (*p_) {
      case '"':
        ++p_;
        return parse_string(out.v.emplace<std::string>());
      case '{':
        ++p_;
        return parse_object(out);
      case '[':
        ++p_;
        return parse_array(out);
      case 't':
        out.v = true;
        return parse_literal("true");
      case 'f':
        out.v = false;
        return parse_literal("false");
      case 'n':
        out.v = nullptr;
        return parse_literal("null");
      default:
        if (*p_ == '-' || is_digit(*p_)) return parse_number(out);
        return fail(p_, "expected value");
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

  // One or more digits (after a point or an exponent mark).
  bool digits() {
    if (p_ == end_) return fail(end_, "EOF while parsing a value");
    if (!is_digit(*p_)) return fail(p_, "invalid number");
    while (p_ < end_ && is_digit(*p_)) ++p_;
    return true;
  }

  // `p_` is just after the opening quote.
  bool parse_string(std::string& out) {
    const char* segment = p_;
    for (;;) {
      while (end_ - p_ >= 8) {
        uint64_t word;
        std::memcpy(&word, p_, 8);
        if (has_string_special(word)) break;
        p_ += 8;
      }
      while (p_ < end_ && is_plain_string_byte(static_cast<unsigned char>(*p_))) ++p_;
      if (p_ == end_) return fail(end_, "EOF while parsing a string");
      auto c = static_cast<unsigned char>(*p_);
      if (c == '"') {
        out.append(segment, p_);
        ++p_;
        return true;
      }
      if (c == '\\') {
        out.append(segment, p_);
        if (!parse_escape(out)) return false;
        segment = p_;
      } else if (c < 0x20) {
        return fail(p_, "control character (\\u0000-\\u001F) found while parsing a string");
      } else if (!skip_utf8_sequence()) {
        return false;
      }
    }
  }

  // Validates one multi-byte UTF-8 sequence at `p_` (shortest form, no
  // surrogates, at most U+10FFFF) and steps over it.
  bool skip_utf8_sequence() {
    auto b0 = static_cast<unsigned char>(p_[0]);
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      len = 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      len = 3;
      if (b0 == 0xE0) lo = 0xA0;
      if (b0 == 0xED) hi = 0x9F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      len = 4;
      if (b0 == 0xF0) lo = 0x90;
      if (b0 == 0xF4) hi = 0x8F;
    } else {
      return fail(p_, "invalid unicode code point");
    }
    for (size_t i = 1; i < len; ++i) {
      if (p_ + i >= end_) return fail(end_, "EOF while parsing a string");
      auto b = static_cast<unsigned char>(p_[i]);
      if (b < (i == 1 ? lo : 0x80) || b > (i == 1 ? hi : 0xBF)) {
        return fail(p_ + i, "invalid unicode code point");
      }
    }
    p_ += len;
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
    append_utf8(out, cp);
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

  // `p_` is just after the opening bracket.
  bool parse_array(JsonValue& out) {
    if (++depth_ > kJsonMaxDepth) return fail(p_ - 1, "recursion limit exceeded");
    auto& items = out.v.emplace<JsonArray>();
    skip_ws();
    if (p_ == end_) return fail(end_, "EOF while parsing a list");
    if (*p_ == ']') {
      ++p_;
      --depth_;
      return true;
    }
    for (;;) {
      if (!parse_value(items.emplace_back())) return false;
      skip_ws();
      if (p_ == end_) return fail(end_, "EOF while parsing a list");
      if (*p_ == ',') {
        ++p_;
        skip_ws();
        if (p_ < end_ && *p_ == ']') return fail(p_, "trailing comma");
        continue;
      }
      if (*p_ == ']') break;
      return fail(p_, "expected `,` or `]`");
    }
    ++p_;
    --depth_;
    return true;
  }

  // `p_` is just after the opening brace.
  bool parse_object(JsonValue& out) {
    if (++depth_ > kJsonMaxDepth) return fail(p_ - 1, "recursion limit exceeded");
    std::vector<JsonMember> members;
    skip_ws();
    if (p_ == end_) return fail(end_, "EOF while parsing an object");
    if (*p_ != '}') {
      members.reserve(8);
      for (;;) {
        if (*p_ != '"') return fail(p_, "key must be a string");
        ++p_;
        JsonMember& member = members.emplace_back();
        if (!parse_string(member.key)) return false;
        skip_ws();
        if (p_ == end_) return fail(end_, "EOF while parsing an object");
        if (*p_ != ':') return fail(p_, "expected `:`");
        ++p_;
        if (!parse_value(member.value)) return false;
        skip_ws();
        if (p_ == end_) return fail(end_, "EOF while parsing an object");
        if (*p_ == ',') {
          ++p_;
          skip_ws();
          if (p_ == end_) return fail(end_, "EOF while parsing an object");
          if (*p_ == '}') return fail(p_, "trailing comma");
          continue;
        }
        if (*p_ == '}') break;
        return fail(p_, "expected `,` or `}`");
      }
    }
    ++p_;
    --depth_;
    sort_members(members);
    out.v.emplace<JsonObject>().members = std::move(members);
    return true;
  }

  const char* begin_;
  const char* p_;
  const char* end_;
  size_t depth_ = 0;
  const char* error_at_ = nullptr;
  const char* error_ = "";
};

}  // namespace

std::expected<JsonValue, JsonParseError> parse_json(std::string_view text) {
  return Parser(text).run();
}

}  // namespace quillmere
