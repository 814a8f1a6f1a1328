// Boundary scans for content-defined chunking. The scalar scan rolls the window hash in
// O(1) per position. For power-of-two sizes up to 2^16 only the low 16 bits of the hash
// decide, so a vector scan rolls 32 windows at once in 16-bit lanes, one lane per stretch
// of consecutive positions (the bytes are transposed so that each lane reads its own).
#include "shapes/window_hash.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace quillmere::cdc {
namespace {

// Rolls the hash over positions [0, count) and stops at the first one `is_boundary` accepts.
template <class Test>
size_t scan(const uint8_t* p, size_t count, Test is_boundary) {
  if (count == 0) return 0;
  uint64_t h = window_hash(p);
  if (is_boundary(h)) return 0;
  for (size_t j = 1; j < count; ++j) {
    h = roll(h, p[j - 1], p[j + kWindow - 1]);
    if (is_boundary(h)) return j;
  }
  return count;
}

size_t scan_masked(const uint8_t* p, size_t count, uint64_t mask) {
  return scan(p, count, [mask](uint64_t h) { return (h & mask) == 0; });
}

#if defined(__x86_64__)

// Two sets of 16 lanes (two independent dependency chains), each lane kLaneSpan positions.
constexpr size_t kLanes = 16;
constexpr size_t kSets = 2;
constexpr size_t kLaneSpan = 256;
constexpr size_t kSetSpan = kLanes * kLaneSpan;
constexpr size_t kGroup = kSets * kSetSpan;       // positions per group
constexpr size_t kColumns = kLaneSpan + kWindow;  // bytes each lane reads, a multiple of 16

#define QM_AVX2_INLINE __attribute__((target("avx2"), always_inline)) inline

// The interleaving steps of the transposes on one register width, named by the prefix of
// its intrinsics (_mm, _mm256) and the suffix of its whole-register load (si128, si256):
// lo8(a, b) interleaves the low 8-bit elements of a and b, and so on. A 256-bit register's
// two 128-bit halves are interleaved apart.
#define QM_INTERLEAVE_STEP(prefix, half, bits)         \
  static QM_AVX2_INLINE Reg half##bits(Reg a, Reg b) { \
    return prefix##_unpack##half##_epi##bits(a, b);    \
  }
#define QM_INTERLEAVE_STEPS(Name, R, prefix, whole)                   \
  struct Name {                                                       \
    using Reg = R;                                                    \
    static QM_AVX2_INLINE Reg load(const uint8_t* p) {                \
      return prefix##_loadu_##whole(reinterpret_cast<const Reg*>(p)); \
    }                                                                 \
    QM_INTERLEAVE_STEP(prefix, lo, 8)                                 \
    QM_INTERLEAVE_STEP(prefix, hi, 8)                                 \
    QM_INTERLEAVE_STEP(prefix, lo, 16)                                \
    QM_INTERLEAVE_STEP(prefix, hi, 16)                                \
    QM_INTERLEAVE_STEP(prefix, lo, 32)                                \
    QM_INTERLEAVE_STEP(prefix, hi, 32)                                \
  }
QM_INTERLEAVE_STEPS(Reg128, __m128i, _mm, si128);
QM_INTERLEAVE_STEPS(Reg256, __m256i, _mm256, si256);
#undef QM_INTERLEAVE_STEPS
#undef QM_INTERLEAVE_STEP

// Loads 16 rows (rows + k * stride) and interleaves them down to pairs of columns: then
// b[m] holds (in each 128-bit half) columns 2m and 2m + 1 of rows 0..7, and b[8 + m] the
// same of rows 8..15; unpacking 64-bit halves of b[m] with b[8 + m] ends the transpose.
template <class V>
QM_AVX2_INLINE void interleave16(const uint8_t* rows, size_t stride, typename V::Reg (&b)[16]) {
  typename V::Reg a[16];
#pragma GCC unroll 16
  for (size_t k = 0; k < 16; ++k) a[k] = V::load(rows + k * stride);
#pragma GCC unroll 8
  for (size_t k = 0; k < 16; k += 2) {  // rows k, k+1: byte pairs
    b[k] = V::lo8(a[k], a[k + 1]);
    b[k + 1] = V::hi8(a[k], a[k + 1]);
  }
#pragma GCC unroll 4
  for (size_t k = 0; k < 16; k += 4) {  // rows k..k+3: four columns per register
    a[k] = V::lo16(b[k], b[k + 2]);
    a[k + 1] = V::hi16(b[k], b[k + 2]);
    a[k + 2] = V::lo16(b[k + 1], b[k + 3]);
    a[k + 3] = V::hi16(b[k + 1], b[k + 3]);
  }
#pragma GCC unroll 2
  for (size_t k = 0; k < 16; k += 8) {  // rows k..k+7: two columns per register
#pragma GCC unroll 4
    for (size_t m = 0; m < 4; ++m) {
      b[k + 2 * m] = V::lo32(a[k + m], a[k + 4 + m]);
      b[k + 2 * m + 1] = V::hi32(a[k + m], a[k + 4 + m]);
    }
  }
}

// Writes the 16 x 16 bytes rows[k * stride + c] (k, c < 16) as columns: out[16c + k].
QM_AVX2_INLINE void transpose16(const uint8_t* rows, size_t stride, uint8_t* out) {
  __m128i b[16];
  interleave16<Reg128>(rows, stride, b);
#pragma GCC unroll 8
  for (size_t m = 0; m < 8; ++m) {  // all rows: one column per register
    _mm_store_si128(reinterpret_cast<__m128i*>(out + 32 * m), _mm_unpacklo_epi64(b[m], b[8 + m]));
    _mm_store_si128(reinterpret_cast<__m128i*>(out + 32 * m + 16),
                    _mm_unpackhi_epi64(b[m], b[8 + m]));
  }
}

// The same for 16 rows x 32 columns: two 16 x 16 transposes in the two 128-bit halves.
QM_AVX2_INLINE void transpose32(const uint8_t* rows, size_t stride, uint8_t* out) {
  __m256i b[16];
  interleave16<Reg256>(rows, stride, b);
#pragma GCC unroll 8
  for (size_t m = 0; m < 8; ++m) {
    const __m256i even = _mm256_unpacklo_epi64(b[m], b[8 + m]);  // columns 2m, 16 + 2m
    const __m256i odd = _mm256_unpackhi_epi64(b[m], b[8 + m]);   // columns 2m+1, 17 + 2m
    _mm_store_si128(reinterpret_cast<__m128i*>(out + 32 * m), _mm256_castsi256_si128(even));
    _mm_store_si128(reinterpret_cast<__m128i*>(out + 32 * m + 16), _mm256_castsi256_si128(odd));
    _mm_store_si128(reinterpret_cast<__m128i*>(out + 256 + 32 * m),
                    _mm256_extracti128_si256(even, 1));
    _mm_store_si128(reinterpret_cast<__m128i*>(out + 256 + 32 * m + 16),
                    _mm256_extracti128_si256(odd, 1));
  }
}

QM_AVX2_INLINE __m256i widen(const uint8_t* column) {
  return _mm256_cvtepu8_epi16(_mm_load_si128(reinterpret_cast<const __m128i*>(column)));
}

// Scans the kGroup positions from p (p[0 .. kGroup + 47] readable) and returns the index of
// the first boundary, or kGroup. A window is a boundary when the low bits of its hash are
// zero, i.e. when (h << shift) is zero in 16 bits; each lane keeps the minimum of that.
// kWholeLane: all 16 bits decide (shift 0), the default average size.
template <bool kWholeLane>
__attribute__((target("avx2"))) size_t scan_group_avx2(const uint8_t* p, __m128i shift,
                                                       uint64_t mask) {
  alignas(32) uint8_t columns[kSets][kColumns * kLanes];
  for (size_t set = 0; set < kSets; ++set) {
    size_t at = 0;
    for (; at + 32 <= kColumns; at += 32) {
      transpose32(p + set * kSetSpan + at, kLaneSpan, columns[set] + at * kLanes);
    }
    for (; at < kColumns; at += 16) {
      transpose16(p + set * kSetSpan + at, kLaneSpan, columns[set] + at * kLanes);
    }
  }
  // The transposition touches the input first; fetch the next group's bytes meanwhile.
  for (size_t line = 0; line < kGroup; line += 64) {
    _mm_prefetch(reinterpret_cast<const char*>(p + kGroup + kWindow + line), _MM_HINT_T0);
  }
  const __m256i outgoing = _mm256_set1_epi16(static_cast<int16_t>(kOutgoingWeight & 0xFFFF));
  __m256i h[kSets], low[kSets];
  for (size_t set = 0; set < kSets; ++set) {
    h[set] = _mm256_setzero_si256();
    for (size_t u = 0; u < kWindow; ++u) {  // h * 31 + byte: each lane's first window
      h[set] = _mm256_add_epi16(_mm256_sub_epi16(_mm256_slli_epi16(h[set], 5), h[set]),
                                widen(columns[set] + 16 * u));
    }
    low[set] = kWholeLane ? h[set] : _mm256_sll_epi16(h[set], shift);
  }
  for (size_t t = 1; t < kLaneSpan; ++t) {
#pragma GCC unroll 2
    for (size_t set = 0; set < kSets; ++set) {
      const __m256i in = widen(columns[set] + 16 * (t + kWindow - 1));
      const __m256i out = _mm256_mullo_epi16(widen(columns[set] + 16 * (t - 1)), outgoing);
      const __m256i c = _mm256_sub_epi16(in, out);
      h[set] = _mm256_add_epi16(_mm256_slli_epi16(h[set], 5), _mm256_sub_epi16(c, h[set]));
      low[set] = _mm256_min_epu16(low[set], kWholeLane ? h[set] : _mm256_sll_epi16(h[set], shift));
    }
  }
  for (size_t set = 0; set < kSets; ++set) {
    const auto lanes = static_cast<uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi16(low[set], _mm256_setzero_si256())));
    if (lanes != 0) {
      // The earliest lane with a boundary holds the first one; find it exactly.
      const size_t begin =
          set * kSetSpan + static_cast<size_t>(std::countr_zero(lanes)) / 2 * kLaneSpan;
      return begin + scan_masked(p + begin, kLaneSpan, mask);
    }
  }
  return kGroup;
}

template <bool kWholeLane>
__attribute__((target("avx2"))) size_t scan_masked_avx2(const uint8_t* p, size_t count,
                                                        uint64_t divisor) {
  const uint64_t mask = divisor - 1;
  const auto scan_group = scan_group_avx2<kWholeLane>;
  for (size_t line = 0; line < kGroup + kWindow; line += 64) {
    _mm_prefetch(reinterpret_cast<const char*>(p + line), _MM_HINT_T0);
  }
  const __m128i shift = _mm_cvtsi32_si128(16 - std::countr_zero(divisor));
  size_t group = 0;
  for (; count - group > kGroup; group += kGroup) {
    const size_t hit = scan_group(p + group, shift, mask);
    if (hit < kGroup) return group + hit;
  }
  // Fewer than a group left: one more group ending one short of `count`, overlapping
  // positions already known to hold no boundary, then the last position.
  const size_t last_group = count - kGroup - 1;
  const size_t hit = scan_group(p + last_group, shift, mask);
  if (hit < kGroup) return last_group + hit;
  return count - 1 + scan_masked(p + count - 1, 1, mask);
}

#undef QM_AVX2_INLINE

bool has_avx2() {
  static const bool available = __builtin_cpu_supports("avx2");
  return available;
}

#endif

}  // namespace

size_t find_boundary_scalar(const uint8_t* p, size_t count, uint64_t divisor) {
  if (std::has_single_bit(divisor)) return scan_masked(p, count, divisor - 1);
  return scan(p, count, MultipleTest(divisor));
}

size_t find_boundary(const uint8_t* p, size_t count, uint64_t divisor) {
#if defined(__x86_64__)
  // Below 2^12 boundaries come too often for whole groups to pay off.
  if (count > kGroup && std::has_single_bit(divisor) && divisor >= 0x1000 && divisor <= 0x10000 &&
      has_avx2()) {
    return divisor == 0x10000 ? scan_masked_avx2<true>(p, count, divisor)
                              : scan_masked_avx2<false>(p, count, divisor);
  }
#endif
  return find_boundary_scalar(p, count, divisor);
}

}  // namespace quillmere::cdc
