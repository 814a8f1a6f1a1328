// The compact binary form of a manifest: what stores keep and what workers send back.
// Reading it back recomputes the Merkle root, which is most of the work (merkle_root:
// leaves and parents hashed several at a time, two threads for large manifests).
#include <cstring>

#include "codec/leb128.h"
#include "shapes/manifest.h"
#include "shapes/merkle.h"

namespace quillmere {
namespace {

constexpr char kMagic[4] = {'Q', 'M', 'M', 'F'};
constexpr uint8_t kFormat = 1;
constexpr size_t kDigestBytes = 32;

using Fault = std::unexpected<std::string>;

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
  append_leb128(out, manifest.chunk_scheme.size);
  append_leb128(out, manifest.total_len);
  append_leb128(out, manifest.chunks.size());
  out.append(reinterpret_cast<const char*>(manifest.root.data()), kDigestBytes);
  for (size_t i = 0; i < manifest.chunks.size(); ++i) {
    const ChunkRecord& c = manifest.chunks[i];
    append_leb128(out, c.len);
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
  ByteCursor in(bytes);
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
  if (!in.leb128(size) || size == 0)
    return Fault("chunk scheme size is missing, badly encoded or 0");
  CompactManifest manifest;
  manifest.chunk_scheme = kind == 0 ? ChunkScheme::cdc(size) : ChunkScheme::fixed(size);
  uint64_t count = 0;
  if (!in.leb128(manifest.total_len)) return Fault("total_len is missing or badly encoded");
  if (!in.leb128(count)) return Fault("the chunk count is missing or badly encoded");
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
    if (!in.leb128(record.len) || !in.take(record.digest.data(), kDigestBytes)) {
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
