// Manifests held compactly: 48 bytes per chunk (offset, length, digest) in fixed-size
// blocks, so a manifest of millions of chunks never needs one huge allocation or a copy
// while it grows. Also the manifest's JSON form and the overlap of two manifests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "shapes/cas.h"

namespace quillmere {

// No default member values: a table block is allocated without writing it, so that only
// the pages records are stored in become resident. Initialise every member when making one.
struct ChunkRecord {
  uint64_t offset;
  uint64_t len;
  Digest digest;
};
static_assert(sizeof(ChunkRecord) == 48);
static_assert(std::is_trivially_default_constructible_v<ChunkRecord>);

// An append-only sequence of chunk records in blocks of kBlockRecords; the last block is
// trimmed to its used size by shrink(). A block is 3 MiB: the allocator's page-rounded
// header costs one page a block, 0.13% of it.
class ChunkTable {
 public:
  static constexpr size_t kBlockShift = 16;
  static constexpr size_t kBlockRecords = size_t{1} << kBlockShift;

  void push_back(const ChunkRecord& record) {
    const size_t slot = size_ & (kBlockRecords - 1);
    if ((size_ >> kBlockShift) + 1 == blocks_.size() && slot < last_capacity_) {
      // Room in the last block. Field by field: a whole-record copy can compile to a string
      // move, whose start-up costs more than the copy.
      ChunkRecord& to = blocks_.back()[slot];
      to.offset = record.offset;
      to.len = record.len;
      std::memcpy(to.digest.data(), record.digest.data(), 16);
      std::memcpy(to.digest.data() + 16, record.digest.data() + 16, 16);
      ++size_;
    } else {
      push_back_growing(record);
    }
  }
  // Makes room for `count` records in an empty table, the last block at its exact size, so
  // that a table whose size is known in advance is filled without reallocating.
  void reserve(size_t count);
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  const ChunkRecord& operator[](size_t i) const {
    return blocks_[i >> kBlockShift][i & (kBlockRecords - 1)];
  }
  // Gives back the unused room of the last block.
  void shrink();
  // Bytes held for the records (blocks only).
  size_t memory_bytes() const;

 private:
  void push_back_growing(const ChunkRecord& record);

  std::vector<std::unique_ptr<ChunkRecord[]>> blocks_;
  size_t size_ = 0;
  size_t last_capacity_ = 0;  // records the last block can hold
};

struct CompactManifest {
  ChunkScheme chunk_scheme;
  Digest root{};
  uint64_t total_len = 0;
  ChunkTable chunks;  // empty when the chunks were not kept

  // The data shape hash of the stream this manifest describes.
  std::string shape_hash() const;
};

// {"chunk_scheme":{...},"chunks":[[offset,length,"sha256:..."],...],"root":"sha256:...",
//  "total_len":N}: the canonical text (keys sorted, no spaces), with the scheme written as
// in the shape descriptor.
std::string manifest_to_json(const CompactManifest& manifest);

// Reads the JSON form back. Refuses, naming the first fault: text that is not JSON, a
// missing or mistyped member, a bad scheme, a chunk that is not [offset, length, id] with
// length > 0 and an id in hash string form, chunks that are not contiguous from 0, lengths
// that do not add up to total_len, and a root that differs from the one recomputed from
// the ids.
std::expected<CompactManifest, std::string> manifest_from_json(std::string_view text);

// The compact binary form (manifest_bytes.cpp): "QMMF", a format byte, the scheme, the
// total length, the chunk count and the root, then per chunk its length (LEB128) and its
// 32-byte digest; offsets follow from the lengths. At most 42 bytes a chunk.
// Refuses a manifest whose chunks were not kept (total_len above 0 and no chunks).
std::expected<std::string, std::string> manifest_to_bytes(const CompactManifest& manifest);

// Reads the binary form back with the checks of manifest_from_json: the header, every
// length above 0, lengths that add up to total_len, the root recomputed from the digests,
// nothing left over. Names the first fault.
std::expected<CompactManifest, std::string> manifest_from_bytes(std::span<const uint8_t> bytes);

// As manifest_from_bytes, for bytes a store keeps under `digest` ("sha256:" + 64 lowercase
// hex digits): also checks that they are the bytes that digest names, hashing them beside
// the root's work. A mismatch comes first and reads "the stored manifest <digest> does not
// match its digest".
std::expected<CompactManifest, std::string> manifest_from_stored_bytes(
    std::span<const uint8_t> bytes, std::string_view digest);

// Jaccard overlap of the two manifests' sets of chunk digests (equal to the overlap of
// their id strings, which spell the digests one to one); 1.0 when both are empty.
double manifest_jaccard(const CompactManifest& a, const CompactManifest& b);

}  // namespace quillmere
