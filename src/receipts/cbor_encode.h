// A minimal CBOR writer for the canonical receipt body: shortest heads, definite
// lengths, and floats in the narrowest width that converts back bit for bit.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "receipts/generic_value.h"

namespace quillmere::cbor {

enum Major : uint8_t {
  kUnsigned = 0,
  kNegative = 1,
  kBytes = 2,
  kText = 3,
  kArray = 4,
  kMap = 5,
  kTag = 6,
  kSimple = 7,
};

// IEEE half precision conversions. double_to_half rounds to nearest, ties to
// even, overflowing to infinity; NaNs keep their top payload bits and stay NaN.
uint16_t double_to_half(double d);
double half_to_double(uint16_t h);

// The float width the writer picks: 2 (half), 4 (single) or 8 (double) bytes.
int shortest_float_width(double d);

// True when `s` is well-formed UTF-8 (no overlongs, surrogates or code points
// past U+10FFFF).
bool is_valid_utf8(std::string_view s);

// A text key encoded once at compile time: head and bytes, ready to append.
struct EncodedKey {
  char data[40] = {};
  uint8_t size = 0;
  constexpr std::string_view view() const { return {data, size}; }
};

consteval EncodedKey key(std::string_view name) {
  EncodedKey k;
  if (name.size() < 24) {
    k.data[k.size++] = static_cast<char>(0x60 | name.size());
  } else {
    k.data[k.size++] = static_cast<char>(0x78);
    k.data[k.size++] = static_cast<char>(name.size());
  }
  for (char c : name) k.data[k.size++] = c;
  return k;
}

// Appends items to a caller-owned buffer. Text that is not valid UTF-8 is still
// written but remembered, since such a body is not well-formed CBOR.
class Writer {
 public:
  explicit Writer(std::vector<uint8_t>& out) : out_(out) {}

  void head(uint8_t major, uint64_t arg);
  void raw(std::string_view bytes) { out_.insert(out_.end(), bytes.begin(), bytes.end()); }
  void raw(const EncodedKey& k) { raw(k.view()); }
  void byte(uint8_t b) { out_.push_back(b); }

  void uint(uint64_t v) { head(kUnsigned, v); }
  void int64(int64_t v) {
    if (v >= 0) {
      head(kUnsigned, static_cast<uint64_t>(v));
    } else {
      head(kNegative, static_cast<uint64_t>(-(v + 1)));
    }
  }
  void integer(const CborInteger& i) { head(i.negative ? kNegative : kUnsigned, i.magnitude); }
  void text(std::string_view s);
  void bytes(std::span<const uint8_t> b);
  void array(size_t n) { head(kArray, n); }
  void map(size_t n) { head(kMap, n); }
  void tag(uint64_t t) { head(kTag, t); }
  void null() { out_.push_back(0xF6); }
  void boolean(bool b) { out_.push_back(b ? 0xF5 : 0xF4); }
  void float64(double d);

  bool text_ok() const { return text_ok_; }
  std::vector<uint8_t>& buffer() { return out_; }

 private:
  std::vector<uint8_t>& out_;
  bool text_ok_ = true;
};

}  // namespace quillmere::cbor
