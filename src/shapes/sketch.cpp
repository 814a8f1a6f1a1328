// MinHash and HyperLogLog sketches, the record hash, and the record cutter that feeds them.
#include "shapes/sketch.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillmere {
namespace {

constexpr uint64_t kSeed = 0x243f6a8885a308d3ULL;
constexpr uint64_t kBlock0 = 0xa0761d6478bd642fULL;
constexpr uint64_t kBlock1 = 0xe7037ed1a0b428dbULL;
constexpr uint64_t kTail0 = 0x8ebc6af09c88c6e3ULL;
constexpr uint64_t kTail1 = 0x589965cc75374cc3ULL;
constexpr uint64_t kFinal0 = 0x1d8e4e27c47d124fULL;
constexpr uint64_t kFinal1 = 0x72be5d74f27b896fULL;
constexpr uint64_t kRegisterSalt = 0x3c6ef372fe94f82bULL;
constexpr uint64_t kRegisterMultiplier = 0x9fb21c651e98df25ULL;
constexpr uint64_t kProbeSalt = 0xbb67ae8584caa73bULL;

constexpr unsigned kBinShift = 64 - 8;  // top 8 bits pick one of 256 bins
static_assert(kSketchBins == 256);
constexpr unsigned kRankBits = 64 - kHllPrecision;
constexpr uint8_t kMaxRank = kRankBits + 1;

// The 128-bit product of a and b, its halves folded together.
inline uint64_t fold(uint64_t a, uint64_t b) {
  __extension__ using u128 = unsigned __int128;
  const u128 product = static_cast<u128>(a) * b;
  return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
}

inline uint64_t mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

inline uint64_t load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
  return v;
}

inline uint64_t block(uint64_t state, const uint8_t* p) {
  return fold(load64(p) ^ kBlock0 ^ state, load64(p + 8) ^ kBlock1);
}

inline uint64_t load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  if constexpr (std::endian::native == std::endian::big) v = std::byteswap(v);
  return v;
}

// A record of at most 16 bytes, read in place with overlapping loads.
inline uint64_t short_hash(const uint8_t* p, size_t len) {
  uint64_t a = 0;
  uint64_t b = 0;
  if (len >= 8) {
    a = load64(p);
    b = load64(p + len - 8);
  } else if (len >= 4) {
    a = load32(p);
    b = load32(p + len - 4);
  } else if (len > 0) {
    a = uint64_t{p[0]} << 16 | uint64_t{p[len / 2]} << 8 | p[len - 1];
  }
  const uint64_t state = fold(a ^ kTail0 ^ kSeed, b ^ kTail1 ^ len);
  return fold(state ^ kFinal0, len ^ kFinal1);
}

// A longer record ends with its last 16 bytes (which may overlap the last whole block), so
// the hash needs no branch on the tail's length.
inline uint64_t long_hash(uint64_t state, const uint8_t* last16, uint64_t length) {
  state = fold(load64(last16) ^ kTail0 ^ state, load64(last16 + 8) ^ kTail1 ^ length);
  return fold(state ^ kFinal0, length ^ kFinal1);
}

// Records longer than 16 bytes: 16-byte blocks while more than 16 bytes are left, then
// the last 16 bytes of the record.
[[gnu::always_inline]] inline uint64_t record_hash_inline(std::span<const uint8_t> bytes) {
  const uint8_t* p = bytes.data();
  const size_t length = bytes.size();
  if (length <= 16) return short_hash(p, length);
  uint64_t state = kSeed;
  for (size_t n = length; n > 16; n -= 16, p += 16) state = block(state, p);
  return long_hash(state, bytes.data() + length - 16, length);
}

void put_u32(std::string& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}

uint32_t get_u32(const unsigned char* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

constexpr std::string_view kMagic = "QMSK";
constexpr uint8_t kFormat = 1;
constexpr size_t kHeaderSize = 9;
constexpr size_t kSketchBytes = kHeaderSize + 4 * kSketchBins + kHllRegisters;

// Terms of the HyperLogLog estimator that needs no bias tables: sigma for the registers
// still at 0, tau for those at the largest rank.
double hll_sigma(double x) {
  if (x == 1.0) return std::numeric_limits<double>::infinity();
  double y = 1.0;
  double z = x;
  for (;;) {
    x *= x;
    const double before = z;
    z += x * y;
    y += y;
    if (z == before) return z;
  }
}

double hll_tau(double x) {
  if (x == 0.0 || x == 1.0) return 0.0;
  double y = 1.0;
  double z = 1.0 - x;
  for (;;) {
    x = std::sqrt(x);
    const double before = z;
    y *= 0.5;
    z -= (1.0 - x) * (1.0 - x) * y;
    if (z == before) return z / 3.0;
  }
}

}  // namespace

std::optional<std::string_view> record_mode_name(RecordMode mode) {
  switch (mode) {
    case RecordMode::Lines:
      return "lines";
    case RecordMode::Csv:
      return "csv";
    case RecordMode::Chunks:
      break;
  }
  return std::nullopt;
}

uint64_t record_hash(std::span<const uint8_t> bytes) {
  return record_hash_inline(bytes);
}

// Keeps at most 32 unprocessed bytes: a block is taken only once more bytes follow it,
// as record_hash takes it, and the block taken last stays in `buffer_` or `previous_`
// for the final 16 bytes.
void RecordHasher::update(std::span<const uint8_t> bytes) {
  if (length_ == 0) state_ = kSeed;
  length_ += bytes.size();
  while (!bytes.empty()) {
    const size_t take = std::min(bytes.size(), sizeof buffer_ - buffered_);
    std::memcpy(buffer_ + buffered_, bytes.data(), take);
    buffered_ += take;
    bytes = bytes.subspan(take);
    if (buffered_ == sizeof buffer_ && !bytes.empty()) {
      state_ = block(state_, buffer_);
      std::memcpy(previous_, buffer_, 16);
      std::memmove(buffer_, buffer_ + 16, 16);
      buffered_ = 16;
    }
  }
}

uint64_t RecordHasher::finish() const {
  if (length_ <= 16) return short_hash(buffer_, length_);
  uint64_t state = state_;
  uint8_t last[16];
  if (buffered_ > 16) {
    // The first 16 buffered bytes are a block with more bytes after it.
    state = block(state, buffer_);
    std::memcpy(last, buffer_ + buffered_ - 16, 16);
  } else {
    const size_t r = buffered_;  // 1 to 16 bytes after the block taken last
    std::memcpy(last, previous_ + r, 16 - r);
    std::memcpy(last + 16 - r, buffer_, r);
  }
  return long_hash(state, last, length_);
}

// --- Sketch -------------------------------------------------------------------------------

Sketch::Sketch(RecordMode mode) : mode_(mode) {
  bins_.fill(kEmptyBin);
  registers_.fill(0);
}

[[gnu::always_inline]] inline void Sketch::add_inline(uint64_t element_hash) {
  // The bins take the element hash as it is (it is well spread by contract); the registers
  // take a bijective remix of it, so that their bits are independent of the bins'.
  const uint64_t x = element_hash;
  uint32_t value = static_cast<uint32_t>(x);
  if (value == kEmptyBin) value = kEmptyBin - 1;
  uint32_t& bin = bins_[x >> kBinShift];
  if (value < bin) bin = value;

  const uint64_t y = fold(element_hash ^ kRegisterSalt, kRegisterMultiplier);
  const uint64_t rest = (y << kHllPrecision) | (uint64_t{1} << (kHllPrecision - 1));
  const auto rank = static_cast<uint8_t>(std::countl_zero(rest) + 1);
  uint8_t& reg = registers_[y >> kRankBits];
  if (rank > reg) reg = rank;
}

void Sketch::add(uint64_t element_hash) {
  add_inline(element_hash);
}

void Sketch::merge(const Sketch& other) {
  for (size_t i = 0; i < kSketchBins; ++i) bins_[i] = std::min(bins_[i], other.bins_[i]);
  for (size_t i = 0; i < kHllRegisters; ++i) {
    registers_[i] = std::max(registers_[i], other.registers_[i]);
  }
}

bool Sketch::empty() const {
  return std::all_of(bins_.begin(), bins_.end(), [](uint32_t b) { return b == kEmptyBin; });
}

std::array<uint32_t, kSketchBins> Sketch::signature() const {
  std::array<uint32_t, kSketchBins> out = bins_;
  if (empty()) return out;
  for (size_t i = 0; i < kSketchBins; ++i) {
    if (bins_[i] != kEmptyBin) continue;
    // Probe pseudo-random bins until a full one; after many misses (a nearly empty
    // sketch), the next full bin to the right, which always exists.
    size_t from = kSketchBins;
    for (uint64_t attempt = 0; attempt < 64; ++attempt) {
      const size_t j = mix((uint64_t{i} << 32 | attempt) ^ kProbeSalt) >> kBinShift;
      if (bins_[j] != kEmptyBin) {
        from = j;
        break;
      }
    }
    for (size_t k = 1; from == kSketchBins; ++k) {
      const size_t j = (i + k) % kSketchBins;
      if (bins_[j] != kEmptyBin) from = j;
    }
    out[i] = bins_[from];
  }
  return out;
}

std::vector<uint8_t> Sketch::signature_bytes() const {
  std::vector<uint8_t> out;
  out.reserve(4 * kSketchBins);
  for (uint32_t v : signature()) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  return out;
}

double Sketch::cardinality() const {
  std::array<uint32_t, kMaxRank + 1> counts{};
  for (uint8_t r : registers_) ++counts[r];
  const double m = static_cast<double>(kHllRegisters);
  if (counts[0] == kHllRegisters) return 0.0;
  double z = m * hll_tau(1.0 - counts[kMaxRank] / m);
  for (int k = kMaxRank - 1; k >= 1; --k) z = 0.5 * (z + counts[k]);
  z += m * hll_sigma(counts[0] / m);
  return (0.5 / std::log(2.0)) * m * m / z;
}

double Sketch::jaccard(const Sketch& other) const {
  const bool a_empty = empty();
  const bool b_empty = other.empty();
  if (a_empty || b_empty) return a_empty && b_empty ? 1.0 : 0.0;
  const auto a = signature();
  const auto b = other.signature();
  size_t equal = 0;
  for (size_t i = 0; i < kSketchBins; ++i) equal += a[i] == b[i];
  return static_cast<double>(equal) / kSketchBins;
}

std::string Sketch::to_bytes() const {
  std::string out;
  out.reserve(kSketchBytes);
  out += kMagic;
  out.push_back(static_cast<char>(kFormat));
  out.push_back(static_cast<char>(mode_));
  out.push_back(static_cast<char>(kSketchBins & 0xFF));
  out.push_back(static_cast<char>(kSketchBins >> 8));
  out.push_back(static_cast<char>(kHllPrecision));
  for (uint32_t v : bins_) put_u32(out, v);
  out.append(reinterpret_cast<const char*>(registers_.data()), registers_.size());
  return out;
}

std::expected<Sketch, std::string> Sketch::from_bytes(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  if (bytes.size() < kHeaderSize || bytes.substr(0, 4) != kMagic) {
    return std::unexpected("not a sketch (no QMSK header)");
  }
  if (p[4] != kFormat) {
    return std::unexpected("unknown sketch format " + std::to_string(p[4]));
  }
  if (p[5] > static_cast<uint8_t>(RecordMode::Csv)) {
    return std::unexpected("unknown sketch kind " + std::to_string(p[5]));
  }
  if ((p[6] | p[7] << 8) != kSketchBins || p[8] != kHllPrecision) {
    return std::unexpected("unsupported sketch size: " + std::to_string(p[6] | p[7] << 8) +
                           " bins, precision " + std::to_string(p[8]));
  }
  if (bytes.size() != kSketchBytes) {
    return std::unexpected("sketch of " + std::to_string(bytes.size()) + " bytes, expected " +
                           std::to_string(kSketchBytes));
  }
  Sketch sketch(static_cast<RecordMode>(p[5]));
  p += kHeaderSize;
  for (size_t i = 0; i < kSketchBins; ++i, p += 4) sketch.bins_[i] = get_u32(p);
  for (size_t i = 0; i < kHllRegisters; ++i) {
    if (p[i] > kMaxRank) {
      return std::unexpected("sketch register " + std::to_string(i) + " out of range");
    }
    sketch.registers_[i] = p[i];
  }
  // Registers and bins fill together: one without the other was never written by add().
  const bool no_registers = std::all_of(sketch.registers_.begin(), sketch.registers_.end(),
                                        [](uint8_t r) { return r == 0; });
  if (no_registers != sketch.empty()) return std::unexpected("inconsistent sketch");
  return sketch;
}

Sketch sketch_of_manifest(const CompactManifest& manifest) {
  Sketch sketch(RecordMode::Chunks);
  for (size_t i = 0; i < manifest.chunks.size(); ++i) {
    sketch.add(load64(manifest.chunks[i].digest.data()));
  }
  return sketch;
}

// --- RecordSketcher -----------------------------------------------------------------------

RecordSketcher::RecordSketcher(RecordMode mode)
    : sketch_(mode), csv_(mode == RecordMode::Csv), header_pending_(mode == RecordMode::Csv) {}

void RecordSketcher::add_record(uint64_t hash, bool empty) {
  if (empty) return;
  if (header_pending_) {
    header_pending_ = false;
    return;
  }
  sketch_.add(hash);
}

// Bytes of a record that goes on past this piece; a trailing "\r" waits to see whether
// the line ends right after it.
void RecordSketcher::absorb(std::span<const uint8_t> bytes) {
  if (bytes.empty()) return;
  if (pending_cr_) {
    static constexpr uint8_t kCr = '\r';
    hasher_.update({&kCr, 1});
    pending_cr_ = false;
  }
  if (bytes.back() == '\r') {
    hasher_.update(bytes.first(bytes.size() - 1));
    pending_cr_ = true;
  } else {
    hasher_.update(bytes);
  }
}

void RecordSketcher::end_partial() {
  pending_cr_ = false;  // a "\r" right before the end is not part of the record
  add_record(hasher_.finish(), hasher_.length() == 0);
  hasher_.reset();
  partial_ = false;
}

namespace {

detail::BlockMasks masks_portable(const uint8_t* p) {
#if defined(__SSE2__)
  const __m128i newline = _mm_set1_epi8('\n');
  const __m128i quote = _mm_set1_epi8('"');
  detail::BlockMasks masks{0, 0};
  for (unsigned k = 0; k < 4; ++k) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * k));
    const auto n = static_cast<uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, newline)));
    const auto q = static_cast<uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(v, quote)));
    masks.newline |= uint64_t{n} << (16 * k);
    masks.quote |= uint64_t{q} << (16 * k);
  }
  return masks;
#else
  detail::BlockMasks masks{0, 0};
  for (unsigned i = 0; i < 64; ++i) {
    masks.newline |= uint64_t{p[i] == '\n'} << i;
    masks.quote |= uint64_t{p[i] == '"'} << i;
  }
  return masks;
#endif
}

#if defined(__x86_64__)
// The same masks from two 32-byte compares per character (equal to the portable form,
// which the tests check on the processors that have both).
__attribute__((target("avx2"))) detail::BlockMasks masks_avx2(const uint8_t* p) {
  const __m256i newline = _mm256_set1_epi8('\n');
  const __m256i quote = _mm256_set1_epi8('"');
  const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
  const auto bits = [](__m256i v) __attribute__((target("avx2"))) {
    return uint64_t{static_cast<uint32_t>(_mm256_movemask_epi8(v))};
  };
  return detail::BlockMasks{
      bits(_mm256_cmpeq_epi8(lo, newline)) | bits(_mm256_cmpeq_epi8(hi, newline)) << 32,
      bits(_mm256_cmpeq_epi8(lo, quote)) | bits(_mm256_cmpeq_epi8(hi, quote)) << 32};
}
#endif

}  // namespace

namespace {

uint64_t parity_portable(uint64_t x) {
  x ^= x << 1;
  x ^= x << 2;
  x ^= x << 4;
  x ^= x << 8;
  x ^= x << 16;
  x ^= x << 32;
  return x;
}

#if defined(__x86_64__)
// The same from one carry-less multiplication by all ones.
__attribute__((target("pclmul"))) uint64_t parity_clmul(uint64_t x) {
  const __m128i product =
      _mm_clmulepi64_si128(_mm_set_epi64x(0, static_cast<int64_t>(x)), _mm_set1_epi8(-1), 0);
  return static_cast<uint64_t>(_mm_cvtsi128_si64(product));
}
#endif

}  // namespace
namespace detail {

BlockMasks block_masks_portable(const uint8_t* p) {
  return masks_portable(p);
}

uint64_t prefix_xor_portable(uint64_t x) {
  return parity_portable(x);
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) BlockMasks block_masks_avx2(const uint8_t* p) {
  return masks_avx2(p);
}

__attribute__((target("pclmul"))) uint64_t prefix_xor_clmul(uint64_t x) {
  return parity_clmul(x);
}
#endif

MaskFunction mask_function() {
#if defined(__x86_64__)
  static const MaskFunction chosen =
      __builtin_cpu_supports("avx2") ? &block_masks_avx2 : &block_masks_portable;
  return chosen;
#else
  return &block_masks_portable;
#endif
}

}  // namespace detail

// The record ends are found 64 bytes at a time from bit masks: a "\n" ends a record unless
// (CSV) an odd number of quotes precede it in the stream. The records between ends are
// then hashed one after another, without a branchy search between them.
template <detail::MaskFunction masks_of, uint64_t (*prefix_of)(uint64_t)>
[[gnu::always_inline]] inline void RecordSketcher::feed_with(std::span<const uint8_t> bytes) {
  const uint8_t* const data = bytes.data();
  const size_t n = bytes.size();
  size_t pos = 0;  // start of the current record in this piece (it began earlier if partial_)
  uint64_t outside_quotes = in_quotes_ ? 0 : ~uint64_t{0};  // carried from the last block
  uint64_t pending = 0;
  bool has_pending = false;
  for (size_t block = 0; block < n; block += 64) {
    detail::BlockMasks masks;
    if (n - block >= 64) {
      masks = masks_of(data + block);
    } else {
      uint8_t padded[64] = {};
      std::memcpy(padded, data + block, n - block);
      masks = masks_of(padded);
    }
    uint64_t ends = masks.newline;
    if (csv_) {
      const uint64_t outside = prefix_of(masks.quote) ^ outside_quotes;
      ends &= outside;
      outside_quotes = (outside >> 63) != 0 ? ~uint64_t{0} : 0;
    }
    for (; ends != 0; ends &= ends - 1) {
      const size_t end = block + static_cast<size_t>(std::countr_zero(ends));
      if (partial_) {
        absorb(bytes.subspan(pos, end - pos));
        end_partial();
      } else {
        size_t len = end - pos;
        if (len > 0 && data[end - 1] == '\r') --len;
        if (len > 0 && !header_pending_) {
          // Added one record late, so that hashing this record overlaps adding the last.
          const uint64_t hash = record_hash_inline({data + pos, len});
          if (has_pending) sketch_.add_inline(pending);
          pending = hash;
          has_pending = true;
        } else {
          add_record(0, len == 0);
        }
      }
      pos = end + 1;
    }
  }
  if (has_pending) sketch_.add_inline(pending);
  in_quotes_ = outside_quotes == 0;
  if (pos < n) {
    if (!partial_) {
      partial_ = true;
      hasher_.reset();
    }
    absorb(bytes.subspan(pos));
  }
}

void RecordSketcher::feed_portable(std::span<const uint8_t> bytes) {
  feed_with<&masks_portable, &parity_portable>(bytes);
}

#if defined(__x86_64__)
// The same loop compiled for processors with AVX2, BMI, LZCNT and PCLMUL (the masks, the
// bit scans, the quote parity and the rank of the registers take one instruction each there).
__attribute__((target("avx2,bmi,bmi2,lzcnt,popcnt,pclmul"))) void RecordSketcher::feed_avx2(
    std::span<const uint8_t> bytes) {
  feed_with<&masks_avx2, &parity_clmul>(bytes);
}
#endif

void RecordSketcher::feed(std::span<const uint8_t> bytes) {
#if defined(__x86_64__)
  static const bool fast = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
                           __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("lzcnt") &&
                           __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("pclmul");
  if (fast) return feed_avx2(bytes);
#endif
  feed_portable(bytes);
}

Sketch RecordSketcher::finish() {
  if (partial_) end_partial();
  return sketch_;
}

}  // namespace quillmere
