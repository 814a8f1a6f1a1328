// The compact binary form of a manifest: what stores keep and what workers send back.
// Reading it back recomputes the Merkle root, which is most of the work (merkle_root:
// leaves and parents hashed several at a time, two threads for large manifests).
#include <cstring>

#include "shapes/manifest.h"
#include "shapes/merkle.h"

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
  bool take_digest(Digest& out) {
    if (left() < kDigestBytes) return false;
    std::memcpy(out.data(), bytes_.data() + pos_, kDigestBytes);
    pos_ += kDigestBytes;
    return true;
  }

 private:
  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

// The Merkle root over the table's digests, `side` run beside it.
Digest table_root(const ChunkTable& table, const SideWork* side) {
  static_assert(ChunkTable::kBlockRecords % kMerklePiece == 0);
  const DigestSequence digests{table.size(), sizeof(ChunkRecord),
                               [](const void* owner, size_t i) {
                                 return (*static_cast<const ChunkTable*>(owner))[i].digest.data();
                               },
                               &table};
  return merkle_root(digests, true, side);
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

namespace {

std::string stored_mismatch(std::string_view digest) {
  return "the stored manifest " + std::string(digest) + " does not match its digest";
}

// Everything but the root: the header, every chunk, the lengths.
std::expected<CompactManifest, std::string> read_form(std::span<const uint8_t> bytes) {
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
  manifest.chunks.reserve(count);
  uint64_t next = 0;
  for (uint64_t i = 0; i < count; ++i) {
    ChunkRecord record{next, 0, {}};
    if (!in.varint(record.len) || !in.take_digest(record.digest)) {
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
  return manifest;
}

constexpr std::string_view kRootMismatch = "the root does not match the chunk digests";

}  // namespace

std::expected<CompactManifest, std::string> manifest_from_bytes(std::span<const uint8_t> bytes) {
  auto manifest = read_form(bytes);
  if (manifest && table_root(manifest->chunks, nullptr) != manifest->root) {
    return Fault(std::string(kRootMismatch));
  }
  return manifest;
}

std::expected<CompactManifest, std::string> manifest_from_stored_bytes(
    std::span<const uint8_t> bytes, std::string_view digest) {
  auto manifest = read_form(bytes);
  if (!manifest) {
    if (hash_string(sha256(bytes.data(), bytes.size())) != digest) {
      return Fault(stored_mismatch(digest));
    }
    return manifest;
  }
  // A chunk takes at least 33 bytes and costs about three blocks of the root's work: the
  // bytes' digest weighs one leaf per 192 bytes.
  Digest actual{};
  const SideWork side{[&] { actual = sha256(bytes.data(), bytes.size()); }, bytes.size() / 192};
  const Digest root = table_root(manifest->chunks, &side);
  if (hash_string(actual) != digest) return Fault(stored_mismatch(digest));
  if (root != manifest->root) return Fault(std::string(kRootMismatch));
  return manifest;
}

}  // namespace quillmere
