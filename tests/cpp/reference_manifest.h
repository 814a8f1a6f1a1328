// The reference manifest the shape engine is checked against: the whole input at once, the
// boundaries from one pass of the boundary finder, each chunk's digest taken over its bytes
// in one call, and the Merkle root built level by level. Free of the test framework, so the
// fuzz targets use it too.
#pragma once

#include <cstdint>
#include <expected>
#include <initializer_list>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "codec/sha256.h"
#include "shapes/cas.h"
#include "shapes/manifest.h"

namespace quillmere::testing_support {

struct Chunk {
  std::string id;  // hash string of the chunk's bytes
  uint64_t offset = 0;
  uint64_t len = 0;
  Digest hash{};  // the raw SHA-256 digest that `id` spells
  friend bool operator==(const Chunk&, const Chunk&) = default;
};

struct ByteStreamManifest {
  ChunkScheme chunk_scheme;
  std::string root;  // hash string of the Merkle root
  std::vector<Chunk> chunks;
  uint64_t total_len = 0;
};

inline Digest sha_of(std::initializer_list<std::pair<const uint8_t*, size_t>> parts) {
  Sha256 sha;
  for (auto [p, n] : parts) sha.update(p, n);
  return sha.finish();
}

inline Digest leaf_of(const Digest& chunk_digest) {
  const uint8_t tag = 0x00;
  return sha_of({{&tag, 1}, {chunk_digest.data(), 32}});
}

inline Digest node_of(const Digest& l, const Digest& r) {
  const uint8_t tag = 0x01;
  return sha_of({{&tag, 1}, {l.data(), 32}, {r.data(), 32}});
}

// The Merkle root level by level, an odd last node carried up unchanged.
inline Digest literal_merkle(const std::vector<Digest>& chunk_digests) {
  if (chunk_digests.empty()) {
    const uint8_t zero = 0x00;
    return sha_of({{&zero, 1}});
  }
  std::vector<Digest> level;
  for (const Digest& d : chunk_digests) level.push_back(leaf_of(d));
  while (level.size() > 1) {
    std::vector<Digest> next;
    for (size_t k = 0; k + 1 < level.size(); k += 2)
      next.push_back(node_of(level[k], level[k + 1]));
    if (level.size() % 2 == 1) next.push_back(level.back());
    level = std::move(next);
  }
  return level[0];
}

inline Digest merkle_root(std::span<const Chunk> chunks) {
  std::vector<Digest> digests;
  for (const Chunk& c : chunks) digests.push_back(c.hash);
  return literal_merkle(digests);
}

// (start, end) of each chunk, from one pass of the boundary finder over all the bytes.
inline std::vector<std::pair<uint64_t, uint64_t>> reference_cuts(std::span<const uint8_t> data,
                                                                 ChunkScheme scheme) {
  struct Cuts final : BoundaryFinder::CutSink {
    void on_cut(uint64_t start, uint64_t end) override { spans.emplace_back(start, end); }
    std::vector<std::pair<uint64_t, uint64_t>> spans;
  } cuts;
  BoundaryFinder finder(scheme);
  finder.feed(data, 0, true, cuts);
  return std::move(cuts.spans);
}

inline Digest digest_of(std::span<const uint8_t> data, uint64_t start, uint64_t end) {
  return sha256(data.data() + start, static_cast<size_t>(end - start));
}

inline std::expected<std::vector<Chunk>, CasError> reference_chunks(std::span<const uint8_t> data,
                                                                    ChunkScheme scheme) {
  if (auto error = check_scheme(scheme, data.size())) return std::unexpected(std::move(*error));
  std::vector<Chunk> chunks;
  for (const auto& [start, end] : reference_cuts(data, scheme)) {
    const Digest d = digest_of(data, start, end);
    chunks.push_back(Chunk{hash_string(d), start, end - start, d});
  }
  return chunks;
}

inline std::expected<std::vector<Chunk>, CasError> fixed_size_chunks(std::span<const uint8_t> data,
                                                                     uint64_t size) {
  return reference_chunks(data, ChunkScheme::fixed(size));
}

inline std::expected<std::vector<Chunk>, CasError> content_defined_chunks(
    std::span<const uint8_t> data, uint64_t avg_size) {
  return reference_chunks(data, ChunkScheme::cdc(avg_size));
}

inline std::expected<ByteStreamManifest, CasError> reference_manifest(std::span<const uint8_t> data,
                                                                      ChunkScheme scheme) {
  auto chunks = reference_chunks(data, scheme);
  if (!chunks) return std::unexpected(std::move(chunks.error()));
  ByteStreamManifest manifest;
  manifest.chunk_scheme = scheme;
  manifest.root = hash_string(merkle_root(*chunks));
  for (const Chunk& c : *chunks) manifest.total_len += c.len;
  manifest.chunks = std::move(*chunks);
  return manifest;
}

// The reference in the engine's form. `scheme` must have a size above 0.
inline CompactManifest reference_compact_manifest(std::span<const uint8_t> data,
                                                  ChunkScheme scheme) {
  CompactManifest manifest;
  manifest.chunk_scheme = scheme;
  std::vector<Digest> digests;
  for (const auto& [start, end] : reference_cuts(data, scheme)) {
    digests.push_back(digest_of(data, start, end));
    manifest.chunks.push_back(ChunkRecord{start, end - start, digests.back()});
    manifest.total_len += end - start;
  }
  manifest.root = literal_merkle(digests);
  manifest.chunks.shrink();
  return manifest;
}

}  // namespace quillmere::testing_support
