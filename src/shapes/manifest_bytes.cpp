// The compact binary form of a manifest: what stores keep and what workers send back.
// Reading it back recomputes the Merkle root, which is most of the work: the leaves and
// nodes are hashed block by block (one and two SHA-256 blocks, their padding written once),
// over subtrees shared between two threads for large manifests.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include <atomic>
#include <bit>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>

#include "shapes/manifest.h"

namespace quillmere {
namespace {

constexpr char kMagic[4] = {'Q', 'M', 'M', 'F'};
constexpr uint8_t kFormat = 1;
constexpr size_t kDigestBytes = 32;

void put_varint(std::string& out, uint64_t v) {
  while (v >= 0x80) {
    out.push_back(static_cast<char>((v & 0x7f) | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<char>(v));
}

using Fault = std::unexpected<std::string>;

class Reader {
 public:
  explicit Reader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

  size_t left() const { return bytes_.size() - pos_; }
  size_t pos() const { return pos_; }

  bool varint(uint64_t& out) {
    out = 0;
    for (unsigned shift = 0; shift < 64; shift += 7) {
      if (pos_ >= bytes_.size()) return false;
      const uint8_t b = bytes_[pos_++];
      // The tenth byte may only hold the top bit of a 64-bit value.
      if (shift == 63 && b > 1) return false;
      out |= uint64_t{b & 0x7fu} << shift;
      // The shortest encoding only, so that a manifest has one binary form (and one digest).
      if ((b & 0x80) == 0) return b != 0 || shift == 0;
    }
    return false;
  }
  bool take(void* out, size_t n) {
    if (left() < n) return false;
    std::memcpy(out, bytes_.data() + pos_, n);
    pos_ += n;
    return true;
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

// --- the root, fast ---------------------------------------------------------------------

Digest digest_of_state(const SHA256_CTX& ctx) {
  Digest out;
  for (size_t i = 0; i < 8; ++i) {
    const uint32_t word = ctx.h[i];
    out[4 * i] = static_cast<uint8_t>(word >> 24);
    out[4 * i + 1] = static_cast<uint8_t>(word >> 16);
    out[4 * i + 2] = static_cast<uint8_t>(word >> 8);
    out[4 * i + 3] = static_cast<uint8_t>(word);
  }
  return out;
}

// SHA-256 of 0x00 and the chunk digest (33 bytes: one block), as MerkleFolder::leaf_of.
Digest leaf_hash(const Digest& chunk) {
  uint8_t block[64] = {};
  std::memcpy(block + 1, chunk.data(), 32);
  block[33] = 0x80;
  block[62] = 0x01;  // 264 bits
  block[63] = 0x08;
  SHA256_CTX ctx;
  SHA256_Init(&ctx);
  SHA256_Transform(&ctx, block);
  return digest_of_state(ctx);
}

// SHA-256 of 0x01, left and right (65 bytes: two blocks), as MerkleFolder::parent_of.
Digest parent_hash(const Digest& left, const Digest& right) {
  uint8_t blocks[128] = {};
  blocks[0] = 0x01;
  std::memcpy(blocks + 1, left.data(), 32);
  std::memcpy(blocks + 33, right.data(), 32);
  blocks[65] = 0x80;
  blocks[126] = 0x02;  // 520 bits
  blocks[127] = 0x08;
  SHA256_CTX ctx;
  SHA256_Init(&ctx);
  SHA256_Transform(&ctx, blocks);
  SHA256_Transform(&ctx, blocks + 64);
  return digest_of_state(ctx);
}

// A complete subtree over chunks [begin, begin + 2^height) of the table.
struct Piece {
  size_t begin;
  unsigned height;
  Digest root;
};

constexpr unsigned kPieceHeight = 11;                // 2048 leaves a piece at most
constexpr size_t kTwoThreadsFrom = size_t{1} << 13;  // chunks

void piece_root(const ChunkTable& table, Piece& piece, std::vector<Digest>& scratch) {
  const size_t count = size_t{1} << piece.height;
  for (size_t i = 0; i < count; ++i) scratch[i] = leaf_hash(table[piece.begin + i].digest);
  for (size_t n = count; n > 1; n /= 2) {
    for (size_t i = 0; i < n / 2; ++i) scratch[i] = parent_hash(scratch[2 * i], scratch[2 * i + 1]);
  }
  piece.root = scratch[0];
}

// The root MerkleFolder gives for the table's digests: the table cut into complete
// subtrees, each on a boundary of its own size (largest first, at most 2^kPieceHeight),
// whose roots are then folded in order.
Digest table_root(const ChunkTable& table) {
  std::vector<Piece> pieces;
  for (size_t begin = 0; begin < table.size();) {
    const size_t left = table.size() - begin;
    unsigned height = static_cast<unsigned>(std::bit_width(left)) - 1;
    if (begin != 0) height = std::min(height, static_cast<unsigned>(std::countr_zero(begin)));
    height = std::min(height, kPieceHeight);
    pieces.push_back(Piece{begin, height, {}});
    begin += size_t{1} << height;
  }
  std::atomic<size_t> next{0};
  auto work = [&](std::vector<Digest>& scratch) {
    for (size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < pieces.size();) {
      piece_root(table, pieces[i], scratch);
    }
  };
  std::vector<Digest> scratch(size_t{1} << kPieceHeight);
  if (table.size() >= kTwoThreadsFrom) {
    std::vector<Digest> helper_scratch(size_t{1} << kPieceHeight);
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

}  // namespace

std::expected<std::string, std::string> manifest_to_bytes(const CompactManifest& manifest) {
  if (manifest.chunks.empty() && manifest.total_len != 0) {
    return Fault("the manifest holds no chunks (it was built without keeping them)");
  }
  std::string out;
  out.reserve(64 + manifest.chunks.size() * (kDigestBytes + 4));
  out.append(kMagic, sizeof kMagic);
  out.push_back(static_cast<char>(kFormat));
  out.push_back(manifest.chunk_scheme.kind == ChunkScheme::Kind::CDC ? 0 : 1);
  put_varint(out, manifest.chunk_scheme.size);
  put_varint(out, manifest.total_len);
  put_varint(out, manifest.chunks.size());
  out.append(reinterpret_cast<const char*>(manifest.root.data()), kDigestBytes);
  for (size_t i = 0; i < manifest.chunks.size(); ++i) {
    const ChunkRecord& c = manifest.chunks[i];
    put_varint(out, c.len);
    out.append(reinterpret_cast<const char*>(c.digest.data()), kDigestBytes);
  }
  return out;
}

std::expected<CompactManifest, std::string> manifest_from_bytes(std::span<const uint8_t> bytes) {
  Reader in(bytes);
  char magic[4];
  uint8_t format = 0;
  uint8_t kind = 0;
  if (!in.take(magic, sizeof magic) || std::memcmp(magic, kMagic, sizeof magic) != 0) {
    return Fault("not a manifest in binary form (no QMMF header)");
  }
  if (!in.take(&format, 1) || format != kFormat) {
    return Fault("unknown binary manifest format " + std::to_string(format));
  }
  uint64_t size = 0;
  if (!in.take(&kind, 1) || kind > 1) return Fault("unknown chunk scheme kind");
  if (!in.varint(size) || size == 0)
    return Fault("chunk scheme size is missing, badly encoded or 0");
  CompactManifest manifest;
  manifest.chunk_scheme = kind == 0 ? ChunkScheme::cdc(size) : ChunkScheme::fixed(size);
  uint64_t count = 0;
  if (!in.varint(manifest.total_len)) return Fault("total_len is missing or badly encoded");
  if (!in.varint(count)) return Fault("the chunk count is missing or badly encoded");
  if (!in.take(manifest.root.data(), kDigestBytes)) return Fault("truncated before the root");
  // Each chunk takes at least 33 bytes: a count beyond what is left is refused before
  // anything is allocated for it.
  if (count > in.left() / (kDigestBytes + 1)) {
    return Fault("chunk count " + std::to_string(count) + " exceeds the bytes that follow");
  }
  uint64_t next = 0;
  for (uint64_t i = 0; i < count; ++i) {
    ChunkRecord record{next, 0, {}};
    if (!in.varint(record.len) || !in.take(record.digest.data(), kDigestBytes)) {
      return Fault("chunk " + std::to_string(i) + " is truncated or badly encoded");
    }
    if (record.len == 0) return Fault("chunk " + std::to_string(i) + ": length is 0");
    if (record.len > UINT64_MAX - next) {
      return Fault("chunk " + std::to_string(i) + ": length overflows the stream");
    }
    next += record.len;
    manifest.chunks.push_back(record);
  }
  if (in.left() != 0) {
    return Fault(std::to_string(in.left()) + " bytes follow the last chunk");
  }
  if (next != manifest.total_len) {
    return Fault("the chunk lengths add up to " + std::to_string(next) + ", not total_len " +
                 std::to_string(manifest.total_len));
  }
  manifest.chunks.shrink();
  if (table_root(manifest.chunks) != manifest.root) {
    return Fault("the root does not match the chunk digests");
  }
  return manifest;
}

}  // namespace quillmere
