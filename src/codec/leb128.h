// Unsigned LEB128 numbers (seven bits a byte, low bits first) and a cursor over bytes
// that reads them back, shortest form only, beside fixed-size fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>

namespace quillmere {

inline void append_leb128(std::string& out, uint64_t value) {
  while (value >= 0x80) {
    out.push_back(static_cast<char>((value & 0x7f) | 0x80));
    value >>= 7;
  }
  out.push_back(static_cast<char>(value));
}

class ByteCursor {
 public:
  explicit ByteCursor(std::span<const uint8_t> data) : data_(data) {}

  size_t left() const { return data_.size() - pos_; }
  size_t pos() const { return pos_; }

  // False when the bytes end first, the value needs more than 64 bits, or it is not
  // written in its shortest form (so that every value has one encoding).
  bool leb128(uint64_t& out) {
    out = 0;
    for (unsigned shift = 0; shift < 64; shift += 7) {
      if (pos_ >= data_.size()) return false;
      const uint8_t byte = data_[pos_++];
      // The tenth byte may only hold the top bit of a 64-bit value.
      if (shift == 63 && byte > 1) return false;
      out |= uint64_t{byte & 0x7fu} << shift;
      if ((byte & 0x80) == 0) return byte != 0 || shift == 0;
    }
    return false;
  }
  bool take(void* out, size_t n) {
    if (left() < n) return false;
    std::memcpy(out, data_.data() + pos_, n);
    pos_ += n;
    return true;
  }

 private:
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
};

}  // namespace quillmere
