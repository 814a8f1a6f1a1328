// Chunking of byte streams (content-defined or fixed-size) and the Merkle root over chunk
// digests. The chunker runs as a stream, so a manifest root can be computed over input
// that is never held whole.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "codec/sha256.h"
#include "shapes/merkle.h"

namespace quillmere {

struct ChunkScheme {
  enum class Kind { CDC, Fixed };
  Kind kind = Kind::CDC;
  uint64_t size = 0;  // the average size for CDC, the chunk size for Fixed

  static constexpr ChunkScheme cdc(uint64_t avg_size) { return {Kind::CDC, avg_size}; }
  static constexpr ChunkScheme fixed(uint64_t size) { return {Kind::Fixed, size}; }
  friend bool operator==(const ChunkScheme&, const ChunkScheme&) = default;
};

struct CasError {
  enum class Kind { ChunkingFailed };
  Kind kind = Kind::ChunkingFailed;
  std::string message;
  std::optional<std::string> context;
  std::optional<uint64_t> input_len;

  // "Chunking failed: " + message (context and length are not shown).
  std::string display() const { return "Chunking failed: " + message; }
  friend bool operator==(const CasError&, const CasError&) = default;
};

// The error for a zero size under `scheme`, or nothing when the scheme can chunk.
std::optional<CasError> check_scheme(ChunkScheme scheme, uint64_t input_len);

// Why the chunker could never cut a chunk of `len` bytes under `scheme` (a size above 0),
// `last` telling whether the chunk ends the stream; nothing when some input gives one.
// Fixed: every chunk but the last has the size, the last 1 to size bytes. CDC (min_size =
// avg/2, max_size = 2 avg): a chunk ends at a boundary (min_size + 48 to max_size bytes)
// or at max_size; the last may be shorter, or run past max_size by up to 47 bytes.
std::optional<std::string> impossible_chunk_length(ChunkScheme scheme, uint64_t len, bool last);

// Receives chunks in stream order as a chunker cuts them.
class ChunkSink {
 public:
  virtual ~ChunkSink() = default;
  virtual void on_chunk(uint64_t offset, uint64_t len, const Digest& digest) = 0;
};

// Finds where the chunks of a stream end, without hashing anything. Views are passed as to
// StreamingChunker::feed (each begins at or before retain_from()).
class BoundaryFinder {
 public:
  class CutSink {
   public:
    virtual ~CutSink() = default;
    // The chunk [start, end) is complete.
    virtual void on_cut(uint64_t start, uint64_t end) = 0;
  };

  // `scheme` must have a size above 0 (see check_scheme).
  explicit BoundaryFinder(ChunkScheme scheme);

  void feed(std::span<const uint8_t> data, uint64_t data_offset, bool at_end, CutSink& sink);
  // The first stream position the next feed() must pass again (CDC windows still open).
  uint64_t retain_from() const;
  // Where the current (unfinished) chunk starts.
  uint64_t start() const { return start_; }
  // The current chunk ends at or after min(this, end of stream): its bytes up to here can
  // be hashed before the boundary is known.
  uint64_t open_chunk_bound() const;

 private:
  void feed_cdc(std::span<const uint8_t> data, uint64_t data_offset, bool at_end, CutSink& sink);
  void feed_fixed(uint64_t avail, bool at_end, CutSink& sink);
  void cut(uint64_t end, CutSink& sink);

  ChunkScheme scheme_;
  uint64_t min_size_ = 0;
  uint64_t max_size_ = 0;
  uint64_t start_ = 0;  // where the current chunk begins
  uint64_t next_ = 0;   // CDC: first window position not yet examined
  uint64_t seen_ = 0;   // end of the stream seen so far
};

// Cuts a stream that arrives in pieces. Each call to feed() passes a contiguous view of
// the stream that begins at or before retain_from() and ends at the newest byte; only
// the bytes from retain_from() on (at most 47 of them) must be passed again, so a
// reader can reuse one buffer. Chunk digests are taken straight from the views.
class StreamingChunker {
 public:
  // `scheme` must have a size above 0 (see check_scheme).
  explicit StreamingChunker(ChunkScheme scheme);

  // `data` holds stream bytes [data_offset, data_offset + data.size()). With `at_end`
  // the stream ends there and the last chunk is cut.
  void feed(std::span<const uint8_t> data, uint64_t data_offset, bool at_end, ChunkSink& sink);

  // The first stream position still needed by the next feed().
  uint64_t retain_from() const;

 private:
  // Hashes the chunk's bytes up to `pos` (absolute) from `data`.
  void hash_upto(std::span<const uint8_t> data, uint64_t data_offset, uint64_t pos);

  BoundaryFinder finder_;
  uint64_t hashed_ = 0;  // the current chunk's bytes before this are in sha_
  Sha256 sha_;
};

}  // namespace quillmere
