// Sketches of a data set for estimating overlap without the data: a MinHash signature
// (one-permutation hashing over 256 bins, densified) for the Jaccard overlap of two sets,
// and a HyperLogLog (4096 registers) for the number of distinct elements. The elements are
// the chunks of a manifest, or the records of line-delimited data (lines, or CSV rows
// after the header), hashed as they stream past beside the chunker.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "shapes/manifest.h"

namespace quillmere {

// What a sketch's elements are. Sketches of different kinds are never compared.
enum class RecordMode : uint8_t { Chunks = 0, Lines = 1, Csv = 2 };

// "lines" / "csv" / nullopt for chunks.
std::optional<std::string_view> record_mode_name(RecordMode mode);

inline constexpr size_t kSketchBins = 256;
inline constexpr unsigned kHllPrecision = 12;
inline constexpr size_t kHllRegisters = size_t{1} << kHllPrecision;
// A Jaccard estimate from two signatures of kSketchBins bins has a standard deviation of
// at most 0.5 / sqrt(bins) (at J = 0.5; less towards 0 and 1): 95% of estimates lie within
// 1.96 times that of the true overlap.
inline constexpr double kJaccardErrorBound = 1.96 * 0.5 / 16.0;  // sqrt(256) = 16
// The HyperLogLog estimate's relative standard error, 1.04 / sqrt(registers).
inline constexpr double kCardinalityRelativeError = 1.04 / 64.0;  // sqrt(4096) = 64

// The 64-bit hash of one record's bytes. RecordHasher gives the same value for the same
// bytes however they are split between update() calls.
uint64_t record_hash(std::span<const uint8_t> bytes);

class RecordHasher {
 public:
  void update(std::span<const uint8_t> bytes);
  uint64_t finish() const;
  uint64_t length() const { return length_; }
  void reset() { *this = RecordHasher(); }

 private:
  uint64_t state_ = 0;
  uint64_t length_ = 0;
  uint8_t buffer_[32] = {};
  uint8_t previous_[16] = {};
  size_t buffered_ = 0;
};

class Sketch {
 public:
  static constexpr uint32_t kEmptyBin = 0xFFFFFFFFu;

  explicit Sketch(RecordMode mode = RecordMode::Chunks);

  // Adds one element given by any well-spread 64-bit hash of it (a record hash, or the
  // first bytes of a chunk digest); adding an element twice changes nothing.
  void add(uint64_t element_hash);
  // The sketch of the union of both sets. The kinds must agree.
  void merge(const Sketch& other);

  RecordMode mode() const { return mode_; }
  bool empty() const;
  // The densified signature: every empty bin takes the value of a non-empty bin chosen by
  // a fixed probe sequence, the same for every sketch, so equal bins still mean a shared
  // element with probability J. All bins are kEmptyBin when the set is empty.
  std::array<uint32_t, kSketchBins> signature() const;
  // The signature as stored in a receipt: 4 bytes per bin, little-endian.
  std::vector<uint8_t> signature_bytes() const;
  // The HyperLogLog estimate of the number of distinct elements.
  double cardinality() const;
  // The estimated Jaccard overlap: 1.0 when both sets are empty, 0.0 when one is.
  // The kinds must agree (the caller checks).
  double jaccard(const Sketch& other) const;

  // "QMSK", a format byte, the kind, the bin count (2 bytes) and the precision, then the
  // raw bins (4 bytes each, little-endian) and the registers (one byte each).
  std::string to_bytes() const;
  static std::expected<Sketch, std::string> from_bytes(std::string_view bytes);

  friend bool operator==(const Sketch&, const Sketch&) = default;

 private:
  friend class RecordSketcher;
  void add_inline(uint64_t element_hash);

  RecordMode mode_;
  std::array<uint32_t, kSketchBins> bins_;
  std::array<uint8_t, kHllRegisters> registers_;
};

// The chunk-level sketch of a manifest (elements: the chunk digests).
Sketch sketch_of_manifest(const CompactManifest& manifest);

namespace detail {
// Bit i of `newline` / `quote` is set when byte i of 64 is "\n" / a double quote.
struct BlockMasks {
  uint64_t newline;
  uint64_t quote;
};
using MaskFunction = BlockMasks (*)(const uint8_t* block64);
// The portable form, and the fastest form this processor has (equal results).
BlockMasks block_masks_portable(const uint8_t* block64);
BlockMasks block_masks_avx2(const uint8_t* block64);  // x86-64 with AVX2 only
MaskFunction mask_function();
// Bit i of the result is the parity of the set bits 0..i of x (which quotes are open): the
// portable form, and one carry-less multiplication (x86-64 with PCLMUL only; equal results).
uint64_t prefix_xor_portable(uint64_t x);
uint64_t prefix_xor_clmul(uint64_t x);
}  // namespace detail

// Cuts a stream into records and adds each record's hash to a sketch, in one pass over
// bytes given in consecutive pieces of any size; memory stays flat whatever the record
// length. A record is a line without its "\n" and one trailing "\r"; empty records are
// skipped. In CSV mode a "\n" inside double quotes does not end a record, and the first
// record (the header) is left out.
class RecordSketcher {
 public:
  explicit RecordSketcher(RecordMode mode);
  void feed(std::span<const uint8_t> bytes);
  // Ends the stream (a last record without "\n" counts) and gives the sketch.
  Sketch finish();

 private:
  void add_record(uint64_t hash, bool empty);
  template <detail::BlockMasks (*masks_of)(const uint8_t*), uint64_t (*prefix_of)(uint64_t)>
  void feed_with(std::span<const uint8_t> bytes);
  void feed_portable(std::span<const uint8_t> bytes);
  void feed_avx2(std::span<const uint8_t> bytes);
  void absorb(std::span<const uint8_t> bytes);
  void end_partial();

  Sketch sketch_;
  bool csv_;
  bool header_pending_;
  bool in_quotes_ = false;
  bool partial_ = false;     // a record began in an earlier piece
  bool pending_cr_ = false;  // the partial record's last byte, "\r", is held back
  RecordHasher hasher_;
};

}  // namespace quillmere
