// MinHash and HyperLogLog sketches, the record hash, and the record cutter that feeds them.
#include "engine/sketch.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace quillmere {
namespace {

constexpr uint64_t kSeed = 0x243f6a8885a308d3ULL;
constexpr uint64_t kBlock0 = 0xa0761d6478bd642fULL;
constexpr uint64_t kBlock1 = 0xe7037ed1a0b428dbULL;
constexpr uint64_t kTail0 = 0x8ebc6af09c88c6e3ULL;
constexpr uint64_t kTail1 = 0x589965cc75374cc3ULL;
constexpr uint64_t kBinSalt = 0x9e3779b97f4a7c15ULL;
constexpr uint64_t kRegisterSalt = 0x3c6ef372fe94f82bULL;
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

inline uint64_t finish_hash(uint64_t state, const uint8_t* tail, size_t tail_len, uint64_t length) {
  uint8_t padded[16] = {};
  std::memcpy(padded, tail, tail_len);
  state = fold(load64(padded) ^ kTail0 ^ state, load64(padded + 8) ^ kTail1 ^ length);
  return mix(state ^ length);
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
  const uint8_t* p = bytes.data();
  size_t n = bytes.size();
  uint64_t state = kSeed;
  for (; n >= 16; n -= 16, p += 16) state = block(state, p);
  return finish_hash(state, p, n, bytes.size());
}

void RecordHasher::update(std::span<const uint8_t> bytes) {
  const uint8_t* p = bytes.data();
  size_t n = bytes.size();
  if (length_ == 0) state_ = kSeed;
  length_ += n;
  if (buffered_ > 0) {
    const size_t take = std::min(n, 16 - buffered_);
    std::memcpy(buffer_ + buffered_, p, take);
    buffered_ += take;
    p += take;
    n -= take;
    if (buffered_ < 16) return;
    state_ = block(state_, buffer_);
    buffered_ = 0;
  }
  for (; n >= 16; n -= 16, p += 16) state_ = block(state_, p);
  std::memcpy(buffer_, p, n);
  buffered_ = n;
}

uint64_t RecordHasher::finish() const {
  return finish_hash(length_ == 0 ? kSeed : state_, buffer_, buffered_, length_);
}

// --- Sketch -------------------------------------------------------------------------------

Sketch::Sketch(RecordMode mode) : mode_(mode) {
  bins_.fill(kEmptyBin);
  registers_.fill(0);
}

void Sketch::add(uint64_t element_hash) {
  const uint64_t x = mix(element_hash ^ kBinSalt);
  uint32_t value = static_cast<uint32_t>(x);
  if (value == kEmptyBin) value = kEmptyBin - 1;
  uint32_t& bin = bins_[x >> kBinShift];
  if (value < bin) bin = value;

  const uint64_t y = mix(element_hash ^ kRegisterSalt);
  const uint64_t rest = (y << kHllPrecision) | (uint64_t{1} << (kHllPrecision - 1));
  const auto rank = static_cast<uint8_t>(std::countl_zero(rest) + 1);
  uint8_t& reg = registers_[y >> kRankBits];
  if (rank > reg) reg = rank;
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

void RecordSketcher::feed(std::span<const uint8_t> bytes) {
  const uint8_t* const data = bytes.data();
  const size_t n = bytes.size();
  // The end ("\n") of the record running from `from`, or n when it goes on past this piece.
  const auto find_end = [&](size_t from) -> size_t {
    for (;;) {
      const void* hit = from < n ? std::memchr(data + from, '\n', n - from) : nullptr;
      const size_t line_end =
          hit ? static_cast<size_t>(static_cast<const uint8_t*>(hit) - data) : n;
      if (!csv_) return line_end;
      for (size_t q = from; q < line_end;) {
        const void* quote = std::memchr(data + q, '"', line_end - q);
        if (quote == nullptr) break;
        in_quotes_ = !in_quotes_;
        q = static_cast<size_t>(static_cast<const uint8_t*>(quote) - data) + 1;
      }
      if (line_end == n || !in_quotes_) return line_end;
      from = line_end + 1;
    }
  };
  size_t pos = 0;
  if (partial_) {
    const size_t end = find_end(0);
    absorb(bytes.first(end));
    if (end == n) return;
    end_partial();
    pos = end + 1;
  }
  while (pos < n) {
    const size_t end = find_end(pos);
    if (end == n) {
      partial_ = true;
      absorb(bytes.subspan(pos));
      return;
    }
    size_t len = end - pos;
    if (len > 0 && data[end - 1] == '\r') --len;
    add_record(record_hash({data + pos, len}), len == 0);
    pos = end + 1;
  }
}

Sketch RecordSketcher::finish() {
  if (partial_) end_partial();
  return sketch_;
}

}  // namespace quillmere
