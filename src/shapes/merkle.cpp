// Merkle leaves and parents, hashed in batches through sha256_compress_many. A leaf is
// one block (0x00, 32 digest bytes, padding for 33 bytes); a parent two (0x01, 64 digest
// bytes, padding for 65 bytes). The padding is written once per batch.
#include "shapes/merkle.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cassert>
#include <cstring>
#include <system_error>
#include <thread>

#include "codec/sha256_lanes.h"

namespace quillmere {
namespace {

constexpr size_t kBatch = 8;  // messages handed to the hasher at once

// kBatch messages of a prefix byte and `kBody` bytes, each padded to whole SHA-256 blocks
// (0x80, zeros, the length in bits big-endian in the last eight bytes).
template <uint8_t kPrefix, size_t kBody>
struct PaddedBlocks {
  static constexpr size_t kMessage = 1 + kBody;
  static constexpr size_t kSize = (kMessage + 9 + 63) / 64 * 64;
  uint8_t bytes[kBatch][kSize];
  PaddedBlocks() {
    std::memset(bytes, 0, sizeof bytes);
    constexpr uint64_t kBits = kMessage * 8;
    for (auto& block : bytes) {
      block[0] = kPrefix;
      block[kMessage] = 0x80;
      for (size_t i = 0; i < 8; ++i) block[kSize - 1 - i] = static_cast<uint8_t>(kBits >> (8 * i));
    }
  }
};

using LeafBlocks = PaddedBlocks<0x00, 32>;    // one block, 264 bits
using ParentBlocks = PaddedBlocks<0x01, 64>;  // two blocks, 520 bits
static_assert(LeafBlocks::kSize == 64 && ParentBlocks::kSize == 128);

// Hashes the first `n` prepared messages of `blocks` (each `nblocks` long) into out.
template <size_t kSize>
void hash_batch(uint8_t (&blocks)[kBatch][kSize], size_t n, Digest* out) {
  const uint8_t* starts[kBatch];
  for (size_t i = 0; i < n; ++i) starts[i] = blocks[i];
  sha256_padded_many(starts, n, kSize / 64, out);
}

constexpr size_t kTwoThreadsFrom = size_t{1} << 13;  // leaves

// A complete subtree over leaves [begin, begin + 2^height).
struct Piece {
  size_t begin;
  unsigned height;
  Digest root;
};

}  // namespace

Digest merkle_leaf(const Digest& chunk_digest) {
  Digest out;
  merkle_leaves(chunk_digest.data(), sizeof(Digest), 1, &out);
  return out;
}

Digest merkle_parent(const Digest& left, const Digest& right) {
  const Digest pair[2] = {left, right};
  Digest out;
  merkle_parents(pair, 2, &out);
  return out;
}

void merkle_leaves(const uint8_t* first, size_t stride, size_t count, Digest* out) {
  LeafBlocks blocks;
  for (size_t i = 0; i < count; i += kBatch) {
    const size_t n = std::min(kBatch, count - i);
    for (size_t j = 0; j < n; ++j) std::memcpy(blocks.bytes[j] + 1, first + (i + j) * stride, 32);
    hash_batch(blocks.bytes, n, out + i);
  }
}

void merkle_parents(const Digest* nodes, size_t count, Digest* out) {
  assert(count % 2 == 0);
  ParentBlocks blocks;
  const size_t parents = count / 2;
  for (size_t i = 0; i < parents; i += kBatch) {
    const size_t n = std::min(kBatch, parents - i);
    // Every node of the batch is read before any parent is written, so `out` may be `nodes`.
    for (size_t j = 0; j < n; ++j) std::memcpy(blocks.bytes[j] + 1, nodes + 2 * (i + j), 64);
    hash_batch(blocks.bytes, n, out + i);
  }
}

Digest merkle_subtree(const uint8_t* first, size_t stride, unsigned height, Digest* scratch) {
  const size_t leaves = size_t{1} << height;
  merkle_leaves(first, stride, leaves, scratch);
  for (size_t n = leaves; n > 1; n /= 2) merkle_parents(scratch, n, scratch);
  return scratch[0];
}

Digest merkle_root(const DigestSequence& digests, bool two_threads, const SideWork* side) {
  // Complete subtrees, each on a boundary of its own size (largest first, at most a piece),
  // whose roots are then folded in order.
  std::vector<Piece> pieces;
  for (size_t begin = 0; begin < digests.count;) {
    const size_t left = digests.count - begin;
    unsigned height = static_cast<unsigned>(std::bit_width(left)) - 1;
    if (begin != 0) height = std::min(height, static_cast<unsigned>(std::countr_zero(begin)));
    height = std::min(height, static_cast<unsigned>(std::countr_zero(kMerklePiece)));
    pieces.push_back(Piece{begin, height, {}});
    begin += size_t{1} << height;
  }
  // Item 0 is the side work (the longest item, so it goes first), then the pieces.
  const size_t first = side != nullptr ? 0 : 1;
  std::atomic<size_t> next{first};
  auto work = [&](std::vector<Digest>& scratch) {
    for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) <= pieces.size();) {
      if (i == 0) {
        side->run();
        continue;
      }
      Piece& piece = pieces[i - 1];
      piece.root = merkle_subtree(digests.locate(digests.owner, piece.begin), digests.stride,
                                  piece.height, scratch.data());
    }
  };
  std::vector<Digest> scratch(std::min(kMerklePiece, std::bit_ceil(digests.count)));
  const size_t weight = digests.count + (side != nullptr ? side->leaves : 0);
  if (two_threads && weight >= kTwoThreadsFrom) {
    std::vector<Digest> helper_scratch(kMerklePiece);
    try {
      std::jthread helper([&] { work(helper_scratch); });
      work(scratch);
    } catch (const std::system_error&) {
      // No second thread to be had: this one does what is left.
      work(scratch);
    }
  } else {
    work(scratch);
  }
  MerkleFolder folder;
  for (const Piece& piece : pieces) folder.add_node(piece.root, piece.height);
  return folder.root();
}

void MerkleFolder::flush() {
  // The waiting leaves, cut into complete subtrees on their own boundaries.
  Digest scratch[kPending];
  uint64_t at = count_;
  size_t done = 0;
  while (done < pending_count_) {
    const size_t left = pending_count_ - done;
    unsigned height = static_cast<unsigned>(std::bit_width(left)) - 1;
    if (at != 0) height = std::min(height, static_cast<unsigned>(std::countr_zero(at)));
    const Digest root = merkle_subtree(pending_[done].data(), sizeof(Digest), height, scratch);
    fold(root, height);
    done += size_t{1} << height;
    at += uint64_t{1} << height;
  }
  pending_count_ = 0;
}

void MerkleFolder::add_node(const Digest& digest, unsigned height) {
  if (pending_count_ != 0) flush();
  fold(digest, height);
}

void MerkleFolder::fold(const Digest& digest, unsigned height) {
  assert(height < 64 && count_ % (uint64_t{1} << height) == 0);
  Node node{digest, height};
  while (!stack_.empty() && stack_.back().height == node.height) {
    node = Node{merkle_parent(stack_.back().digest, node.digest), node.height + 1};
    stack_.pop_back();
  }
  stack_.push_back(node);
  count_ += uint64_t{1} << height;
}

Digest MerkleFolder::root() {
  if (pending_count_ != 0) flush();
  if (stack_.empty()) {
    static constexpr uint8_t kLeafTag = 0x00;
    return sha256(&kLeafTag, 1);
  }
  Digest acc = stack_.back().digest;
  for (size_t k = stack_.size() - 1; k-- > 0;) acc = merkle_parent(stack_[k].digest, acc);
  return acc;
}

}  // namespace quillmere
