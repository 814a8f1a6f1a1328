// The Merkle tree over chunk digests, in one place: leaves, parents, complete subtrees,
// the root of a whole sequence (shared between two threads when it is long) and the
// folder that takes leaves as they arrive. Leaves and parents are hashed several at a
// time (sha256_compress_many), which gives the same digests as one by one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "codec/sha256.h"

namespace quillmere {

// The leaf of a chunk: SHA-256 of 0x00 followed by the chunk's digest.
Digest merkle_leaf(const Digest& chunk_digest);
// The parent of two nodes: SHA-256 of 0x01, left, right.
Digest merkle_parent(const Digest& left, const Digest& right);

// out[i] = merkle_leaf of the i-th of `count` chunk digests lying `stride` bytes apart
// from `first`.
void merkle_leaves(const uint8_t* first, size_t stride, size_t count, Digest* out);
// out[i] = merkle_parent(nodes[2i], nodes[2i + 1]) for i < count / 2 (`count` even);
// `out` may be `nodes` itself.
void merkle_parents(const Digest* nodes, size_t count, Digest* out);
// The root of the complete subtree over the 2^height chunk digests lying `stride` bytes
// apart from `first`; `scratch` has room for 2^height digests.
Digest merkle_subtree(const uint8_t* first, size_t stride, unsigned height, Digest* scratch);

inline constexpr size_t kMerklePiece = size_t{1} << 11;  // leaves a piece of work holds at most

// A sequence of `count` chunk digests as it lies in memory: locate(owner, i) gives the
// first byte of digest i, and within each group of kMerklePiece digests (from a multiple
// of kMerklePiece) they lie `stride` bytes apart.
struct DigestSequence {
  size_t count = 0;
  size_t stride = sizeof(Digest);
  const uint8_t* (*locate)(const void* owner, size_t index) = nullptr;
  const void* owner = nullptr;
};

// Other work to run beside a root's, e.g. the digest of the bytes the chunk digests were
// read from; `leaves` is its weight in leaves (a leaf and its share of parents is about
// three SHA-256 blocks).
struct SideWork {
  std::function<void()> run;
  size_t leaves = 0;
};

// The root MerkleFolder gives for the sequence's digests. With `two_threads` and enough
// work, a helper thread shares it (when the system gives one). `side`, when given, is run
// by whichever thread is free first, and has run when this returns.
Digest merkle_root(const DigestSequence& digests, bool two_threads, const SideWork* side = nullptr);

// Folds leaves into the Merkle root as they arrive, keeping one subtree root per set bit
// of the leaf count: pairs merge like a binary counter's carries, and the remaining
// subtrees fold from the right at the end, which reproduces the level-by-level tree
// (an odd node at the end of a level is carried up unhashed). Chunk digests wait in a
// small buffer, so that their leaves and first levels are hashed several at a time.
class MerkleFolder {
 public:
  // Adds the leaf of one chunk, given the chunk's digest.
  void add_chunk(const Digest& chunk_digest) {
    pending_[pending_count_++] = chunk_digest;
    if (pending_count_ == kPending) flush();
  }
  // Adds the root of a complete subtree over 2^height leaves; the leaves added so far must
  // be a multiple of 2^height (the subtree starts on its own boundary).
  void add_node(const Digest& node, unsigned height);
  // The leaf of a chunk (merkle_leaf).
  static Digest leaf_of(const Digest& chunk_digest) { return merkle_leaf(chunk_digest); }
  // The parent of two nodes (merkle_parent).
  static Digest parent_of(const Digest& left, const Digest& right) {
    return merkle_parent(left, right);
  }
  // The root over the chunks added so far; SHA-256 of the byte 0x00 for none.
  Digest root();
  uint64_t leaf_count() const { return count_ + pending_count_; }

 private:
  static constexpr unsigned kPendingHeight = 6;
  static constexpr size_t kPending = size_t{1} << kPendingHeight;
  struct Node {
    Digest digest;
    unsigned height;
  };
  void fold(const Digest& node, unsigned height);
  void flush();

  std::vector<Node> stack_;
  uint64_t count_ = 0;  // leaves folded into stack_
  size_t pending_count_ = 0;
  Digest pending_[kPending];
};

}  // namespace quillmere
