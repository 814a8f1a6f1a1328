// CBOR item heads, strings and shortest-width floats.
#include "codec/cbor_encode.h"

#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

namespace quillmere::cbor {

namespace {

constexpr uint64_t kF64SignMask = 0x8000000000000000ULL;
constexpr uint64_t kF64ExpMask = 0x7FF0000000000000ULL;
constexpr uint64_t kF64ManMask = 0x000FFFFFFFFFFFFFULL;
constexpr uint64_t kF64QuietBit = 0x0008000000000000ULL;

// Shifts `sig` right by `shift` (1..63) rounding to nearest, ties to even.
uint64_t shift_round_even(uint64_t sig, unsigned shift) {
  uint64_t kept = sig >> shift;
  uint64_t rest = sig & ((uint64_t{1} << shift) - 1);
  uint64_t half = uint64_t{1} << (shift - 1);
  if (rest > half || (rest == half && (kept & 1) != 0)) ++kept;
  return kept;
}

// A NaN survives a trip through single precision only when it is quiet and its
// payload fits the 23 stored mantissa bits.
bool nan_fits_single(uint64_t bits, uint32_t* out) {
  if ((bits & kF64QuietBit) == 0 || (bits & ((uint64_t{1} << 29) - 1)) != 0) return false;
  uint32_t sign = static_cast<uint32_t>((bits & kF64SignMask) >> 32);
  *out = sign | 0x7F800000U | static_cast<uint32_t>((bits & kF64ManMask) >> 29);
  return true;
}

}  // namespace

uint16_t double_to_half(double d) {
  uint64_t bits = std::bit_cast<uint64_t>(d);
  auto sign = static_cast<uint16_t>((bits & kF64SignMask) >> 48);
  auto exp = static_cast<int>((bits & kF64ExpMask) >> 52);
  uint64_t man = bits & kF64ManMask;

  if (exp == 0x7FF) {
    if (man == 0) return static_cast<uint16_t>(sign | 0x7C00);
    return static_cast<uint16_t>(sign | 0x7C00 | 0x0200 | (man >> 42));
  }
  // Double subnormals (and zero) are far below half's smallest subnormal.
  if (exp == 0) return sign;
  int e = exp - 1023;
  if (e > 15) return static_cast<uint16_t>(sign | 0x7C00);
  if (e >= -14) {
    // Normal half; a rounding carry may step into the next binade or infinity.
    uint64_t m = shift_round_even(man, 42);
    uint64_t h = (static_cast<uint64_t>(e + 15) << 10) + m;
    return static_cast<uint16_t>(sign | h);
  }
  // Subnormal half: value / 2^-24 from the full 53-bit significand.
  uint64_t sig = man | (uint64_t{1} << 52);
  unsigned shift = static_cast<unsigned>(28 - e);  // 52 - 24 - e, above 42 here
  if (shift >= 64) return sign;
  return static_cast<uint16_t>(sign | shift_round_even(sig, shift));
}

double half_to_double(uint16_t h) {
  uint64_t sign = static_cast<uint64_t>(h & 0x8000) << 48;
  unsigned exp = (h >> 10) & 0x1F;
  uint64_t man = h & 0x3FF;
  uint64_t bits;
  if (exp == 0x1F) {
    bits = man == 0 ? sign | kF64ExpMask : sign | kF64ExpMask | kF64QuietBit | (man << 42);
  } else if (exp == 0) {
    if (man == 0) {
      bits = sign;
    } else {
      // man * 2^-24 with the leading bit at position p becomes 2^(p-24) * 1.f
      int p = static_cast<int>(std::bit_width(man)) - 1;
      uint64_t frac = (man & ~(uint64_t{1} << p)) << (52 - p);
      bits = sign | (static_cast<uint64_t>(p - 24 + 1023) << 52) | frac;
    }
  } else {
    bits = sign | (static_cast<uint64_t>(exp - 15 + 1023) << 52) | (man << 42);
  }
  return std::bit_cast<double>(bits);
}

int shortest_float_width(double d) {
  uint64_t bits = std::bit_cast<uint64_t>(d);
  if (std::bit_cast<uint64_t>(half_to_double(double_to_half(d))) == bits) return 2;
  if (d != d) {
    uint32_t ignored;
    return nan_fits_single(bits, &ignored) ? 4 : 8;
  }
  if (d >= -std::numeric_limits<float>::max() && d <= std::numeric_limits<float>::max()) {
    auto f = static_cast<float>(d);
    if (std::bit_cast<uint64_t>(static_cast<double>(f)) == bits) return 4;
  }
  return 8;
}

void ByteBuffer::release() {
  data_.reset();
  size_ = 0;
  capacity_ = 0;
}

void ByteBuffer::grow(size_t n) {
  size_t capacity = capacity_ < 256 ? 256 : capacity_;
  while (capacity - size_ < n) {
    if (capacity > std::numeric_limits<size_t>::max() / 2) throw std::bad_alloc();
    capacity *= 2;
  }
  auto data = std::make_unique_for_overwrite<uint8_t[]>(capacity);
  if (size_ != 0) std::memcpy(data.get(), data_.get(), size_);
  data_ = std::move(data);
  capacity_ = capacity;
}

void Writer::long_head(uint8_t major, uint64_t arg) {
  uint8_t buf[9];
  const auto m = static_cast<uint8_t>(major << 5);
  size_t n;
  if (arg <= 0xFF) {
    buf[0] = m | 24;
    n = 2;
  } else if (arg <= 0xFFFF) {
    buf[0] = m | 25;
    n = 3;
  } else if (arg <= 0xFFFFFFFF) {
    buf[0] = m | 26;
    n = 5;
  } else {
    buf[0] = m | 27;
    n = 9;
  }
  for (size_t i = 1; i < n; ++i) buf[i] = static_cast<uint8_t>(arg >> (8 * (n - 1 - i)));
  append(buf, n);
}

void Writer::float64(double d) {
  uint64_t bits = std::bit_cast<uint64_t>(d);
  uint8_t buf[9];
  size_t n;
  switch (shortest_float_width(d)) {
    case 2: {
      uint16_t h = double_to_half(d);
      buf[0] = 0xF9;
      buf[1] = static_cast<uint8_t>(h >> 8);
      buf[2] = static_cast<uint8_t>(h);
      n = 3;
      break;
    }
    case 4: {
      uint32_t f = 0;
      if (d != d) {
        nan_fits_single(bits, &f);
      } else {
        f = std::bit_cast<uint32_t>(static_cast<float>(d));
      }
      buf[0] = 0xFA;
      for (size_t i = 0; i < 4; ++i) buf[1 + i] = static_cast<uint8_t>(f >> (24 - 8 * i));
      n = 5;
      break;
    }
    default:
      buf[0] = 0xFB;
      for (size_t i = 0; i < 8; ++i) buf[1 + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
      n = 9;
  }
  append(buf, n);
}

}  // namespace quillmere::cbor
