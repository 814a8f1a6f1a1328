// The 48-byte window hash of content-defined chunking, and the scan that finds the
// first window whose hash is a multiple of the average chunk size.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace quillmere::cdc {

inline constexpr size_t kWindow = 48;

constexpr uint64_t pow31(unsigned e) {
  uint64_t r = 1;
  for (unsigned k = 0; k < e; ++k) r *= 31;
  return r;
}

// The weight of the byte that leaves the window when it slides by one position.
inline constexpr uint64_t kOutgoingWeight = pow31(kWindow);

// Sum of p[k] * 31^(47-k), k = 0..47, wrapping modulo 2^64 (Horner form).
inline uint64_t window_hash(const uint8_t* p) {
  uint64_t h = 0;
  for (size_t k = 0; k < kWindow; ++k) h = h * 31 + p[k];
  return h;
}

// The window hash one position further on: drop `out`, take in `in`.
inline uint64_t roll(uint64_t h, uint8_t out, uint8_t in) {
  return h * 31 + in - out * kOutgoingWeight;
}

// Tests h % divisor == 0 without a division, exact for every 64-bit h: with
// divisor = odd * 2^shift, h is a multiple iff rotr(h * odd^-1, shift) <= (2^64-1) / divisor.
class MultipleTest {
 public:
  explicit MultipleTest(uint64_t divisor)
      : shift_(std::countr_zero(divisor)),
        inverse_(inverse_of(divisor >> shift_)),
        limit_(UINT64_MAX / divisor) {}

  bool operator()(uint64_t h) const { return std::rotr(h * inverse_, shift_) <= limit_; }

 private:
  static uint64_t inverse_of(uint64_t odd) {
    uint64_t x = odd;  // correct to 3 bits; each Newton step doubles that
    for (int k = 0; k < 5; ++k) x *= 2 - odd * x;
    return x;
  }
  int shift_;
  uint64_t inverse_;
  uint64_t limit_;
};

// Index of the first position j in [0, count) whose window p[j .. j+47] hashes to a
// multiple of `divisor` (> 0), or `count` when there is none. p[0 .. count+46] must be
// readable. Picks a vector kernel for power-of-two divisors up to 2^16 when the CPU has one.
size_t find_boundary(const uint8_t* p, size_t count, uint64_t divisor);

// The same scan without vector kernels (kept callable so tests can compare the two).
size_t find_boundary_scalar(const uint8_t* p, size_t count, uint64_t divisor);

}  // namespace quillmere::cdc
