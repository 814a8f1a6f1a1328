// A minimal CBOR writer for the canonical receipt body: shortest heads, definite
// lengths, and floats in the narrowest width that converts back bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "base/utf8.h"
#include "codec/generic_value.h"

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

// A growable byte buffer that appends without zero-filling first: the output of the
// hot encoding paths, reused across calls.
class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  const uint8_t* data() const { return data_.get(); }
  size_t size() const { return size_; }
  size_t capacity() const { return capacity_; }
  void clear() { size_ = 0; }
  // Empties the buffer and frees its storage.
  void release();

  // Room for `n` more bytes at the end, counted as written; the caller fills them.
  uint8_t* extend(size_t n) {
    if (capacity_ - size_ < n) grow(n);
    uint8_t* p = data_.get() + size_;
    size_ += n;
    return p;
  }

 private:
  void grow(size_t n);

  std::unique_ptr<uint8_t[]> data_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// Appends items to a caller-owned vector or ByteBuffer. Text that is not valid UTF-8 is
// still written but remembered, since such a body is not well-formed CBOR.
class Writer {
 public:
  explicit Writer(std::vector<uint8_t>& out) : vec_(&out) {}
  explicit Writer(ByteBuffer& out) : buf_(&out) {}

  // The small writers are forced inline: the body writer calls them a hundred times per
  // receipt, and the compiler gives up inlining in its large functions.
  [[gnu::always_inline]] void head(uint8_t major, uint64_t arg) {
    if (arg < 24) {
      byte(static_cast<uint8_t>((major << 5) | arg));
    } else if (arg <= 0xFF) {  // every 71-character hash text takes this path
      const uint8_t two[2] = {static_cast<uint8_t>((major << 5) | 24), static_cast<uint8_t>(arg)};
      append(two, 2);
    } else {
      long_head(major, arg);
    }
  }
  [[gnu::always_inline]] void raw(std::string_view bytes) { append(bytes.data(), bytes.size()); }
  // Inline, so that a key known at compile time is copied as a constant-size block.
  [[gnu::always_inline]] void raw(const EncodedKey& k) { append(k.data, k.size); }
  [[gnu::always_inline]] void byte(uint8_t b) {
    if (buf_ != nullptr) [[likely]] {
      *buf_->extend(1) = b;
    } else {
      vec_->push_back(b);
    }
  }

  void uint(uint64_t v) { head(kUnsigned, v); }
  void int64(int64_t v) {
    if (v >= 0) {
      head(kUnsigned, static_cast<uint64_t>(v));
    } else {
      head(kNegative, static_cast<uint64_t>(-(v + 1)));
    }
  }
  void integer(const CborInteger& i) { head(i.negative ? kNegative : kUnsigned, i.magnitude); }
  [[gnu::always_inline]] void text(std::string_view s) {
    if (!utf8::is_valid(s)) text_ok_ = false;
    if (buf_ != nullptr && s.size() <= 0xFF) [[likely]] {
      // Head and content in one step.
      const size_t head_size = s.size() < 24 ? 1 : 2;
      uint8_t* p = buf_->extend(head_size + s.size());
      if (head_size == 1) {
        p[0] = static_cast<uint8_t>((kText << 5) | s.size());
      } else {
        p[0] = (kText << 5) | 24;
        p[1] = static_cast<uint8_t>(s.size());
      }
      if (!s.empty()) std::memcpy(p + head_size, s.data(), s.size());
      return;
    }
    head(kText, s.size());
    raw(s);
  }
  void bytes(std::span<const uint8_t> b) {
    head(kBytes, b.size());
    append(b.data(), b.size());
  }
  void array(size_t n) { head(kArray, n); }
  void map(size_t n) { head(kMap, n); }
  void tag(uint64_t t) { head(kTag, t); }
  void null() { byte(0xF6); }
  void boolean(bool b) { byte(b ? 0xF5 : 0xF4); }
  void float64(double d);

  bool text_ok() const { return text_ok_; }

 private:
  void long_head(uint8_t major, uint64_t arg);
  [[gnu::always_inline]] void append(const void* data, size_t n) {
    if (buf_ != nullptr) [[likely]] {
      if (n != 0) std::memcpy(buf_->extend(n), data, n);
    } else {
      const auto* p = static_cast<const uint8_t*>(data);
      vec_->insert(vec_->end(), p, p + n);
    }
  }

  // Exactly one of the two is set.
  std::vector<uint8_t>* vec_ = nullptr;
  ByteBuffer* buf_ = nullptr;
  bool text_ok_ = true;
};

}  // namespace quillmere::cbor
