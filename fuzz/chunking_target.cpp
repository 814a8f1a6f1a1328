// A chunk scheme and data from the input: every way of chunking and of computing the
// data shape hash must agree.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "codec/commitments.h"
#include "codec/sha256.h"
#include "fuzz_support.h"
#include "reference_manifest.h"
#include "shapes/cas.h"
#include "shapes/data_shape.h"
#include "shapes/manifest.h"
#include "shapes/shape_stream.h"
#include "targets.h"

namespace quillmere::fuzz {
namespace {

using namespace testing_support;

// Deterministic piece sizes from a seed taken off the input.
class Pieces {
 public:
  explicit Pieces(uint32_t seed) : state_(seed | 1u) {}
  uint32_t next(uint32_t bound) {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return bound == 0 ? 0 : state_ % bound;
  }

 private:
  uint32_t state_;
};

struct CollectingSink final : ChunkSink {
  void on_chunk(uint64_t offset, uint64_t len, const Digest& digest) override {
    chunks.push_back({offset, len, digest});
  }
  struct Cut {
    uint64_t offset, len;
    Digest digest;
    bool operator==(const Cut&) const = default;
  };
  std::vector<Cut> chunks;
};

ChunkScheme scheme_from(InputReader& in) {
  const uint8_t mode = in.byte();
  const auto kind = (mode & 1) != 0 ? ChunkScheme::Kind::Fixed : ChunkScheme::Kind::CDC;
  uint64_t size = 0;
  switch ((mode >> 1) & 3) {
    case 0:  // tiny: many chunks
      size = in.byte() & 0x3F;
      break;
    case 1:
      size = in.integer<uint16_t>();
      break;
    case 2:
      size = in.integer<uint16_t>() + 1u;
      break;
    default:  // anything, down to zero and up to the largest
      size = in.integer<uint64_t>();
      break;
  }
  return {kind, size};
}

// The streaming chunker fed the way a reader of a stream would: each view starts at or
// somewhat before retain_from() and ends at a random point past the previous view. Each
// view is copied to a buffer of exactly its size, so a read outside it is caught.
std::vector<CollectingSink::Cut> stream_in_pieces(std::span<const uint8_t> data, ChunkScheme scheme,
                                                  Pieces& pieces) {
  CollectingSink sink;
  StreamingChunker chunker(scheme);
  uint64_t end = 0;
  for (;;) {
    const uint64_t step = pieces.next(4) == 0 ? pieces.next(8) : pieces.next(5000);
    end = std::min<uint64_t>(end + step, data.size());
    const bool at_end = end == data.size();
    const uint64_t retain = chunker.retain_from();
    QM_FUZZ_CHECK(retain <= end);
    const uint64_t start = retain - std::min<uint64_t>(retain, pieces.next(64));
    const size_t len = static_cast<size_t>(end - start);
    std::unique_ptr<uint8_t[]> view(new uint8_t[len == 0 ? 1 : len]);
    if (len != 0) std::memcpy(view.get(), data.data() + start, len);
    chunker.feed({view.get(), len}, start, at_end, sink);
    if (at_end) break;
  }
  return std::move(sink.chunks);
}

std::expected<std::string, ShapeError> hash_through_file(std::span<const uint8_t> data,
                                                         ChunkScheme scheme, size_t block_size) {
  const int fd = ::memfd_create("qm-fuzz", MFD_CLOEXEC);
  QM_FUZZ_CHECK(fd >= 0);
  size_t done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
    QM_FUZZ_CHECK(n > 0);
    done += static_cast<size_t>(n);
  }
  auto result =
      compute_data_shape_hash_from_file("/proc/self/fd/" + std::to_string(fd), scheme, block_size);
  ::close(fd);
  return result;
}

bool same_chunks(const ChunkTable& table, const std::vector<Chunk>& chunks) {
  if (table.size() != chunks.size()) return false;
  for (size_t i = 0; i < chunks.size(); ++i) {
    const ChunkRecord& r = table[i];
    if (r.offset != chunks[i].offset || r.len != chunks[i].len || r.digest != chunks[i].hash) {
      return false;
    }
  }
  return true;
}

// The streaming hasher fed through update() in random pieces, on 1 to 3 workers.
CompactManifest hash_stream(std::span<const uint8_t> data, ChunkScheme scheme, Pieces& pieces,
                            unsigned workers) {
  ShapeStream stream(scheme, true, workers);
  size_t pos = 0;
  while (pos < data.size()) {
    const size_t step = std::min<size_t>(pieces.next(4) == 0 ? pieces.next(8) : pieces.next(6000),
                                         data.size() - pos);
    std::vector<uint8_t> piece(data.begin() + static_cast<ptrdiff_t>(pos),
                               data.begin() + static_cast<ptrdiff_t>(pos + step));
    stream.update(piece);
    pos += step;
  }
  QM_FUZZ_CHECK(stream.length() == data.size());
  return stream.finish();
}

void check_manifests(std::span<const uint8_t> data, ChunkScheme scheme, Pieces& pieces,
                     const std::vector<Chunk>& chunks, const Digest& root,
                     const std::string& shape_hash) {
  const unsigned workers = 1 + pieces.next(3);
  const auto check = [&](const CompactManifest& m) {
    QM_FUZZ_CHECK(m.chunk_scheme == scheme);
    QM_FUZZ_CHECK(m.total_len == data.size());
    QM_FUZZ_CHECK(m.root == root);
    QM_FUZZ_CHECK(m.shape_hash() == shape_hash);
  };
  const CompactManifest streamed = hash_stream(data, scheme, pieces, workers);
  check(streamed);
  QM_FUZZ_CHECK(same_chunks(streamed.chunks, chunks));
  const auto single = build_manifest(data, scheme, 1);
  QM_FUZZ_CHECK(single.has_value());
  check(*single);
  QM_FUZZ_CHECK(same_chunks(single->chunks, chunks));
  const auto threaded = build_manifest(data, scheme, workers);
  QM_FUZZ_CHECK(threaded.has_value());
  check(*threaded);

  // The JSON form reads back to the same manifest and text.
  const std::string text = manifest_to_json(streamed);
  const auto back = manifest_from_json(text);
  QM_FUZZ_CHECK_MSG(back.has_value(), back.error());
  check(*back);
  QM_FUZZ_CHECK(same_chunks(back->chunks, chunks));
  QM_FUZZ_CHECK(manifest_to_json(*back) == text);

  // So does the binary form.
  const auto bytes = manifest_to_bytes(streamed);
  QM_FUZZ_CHECK(bytes.has_value());
  const auto from_bytes =
      manifest_from_bytes({reinterpret_cast<const uint8_t*>(bytes->data()), bytes->size()});
  QM_FUZZ_CHECK_MSG(from_bytes.has_value(), from_bytes.error());
  QM_FUZZ_CHECK(same_chunks(from_bytes->chunks, chunks));
  QM_FUZZ_CHECK(manifest_to_bytes(*from_bytes) == bytes);
}

// Another tiling of the data (boundaries moved, chunks split or merged at points taken
// from `pieces`), written as manifest JSON with the true ids and root of its chunks. Read
// back, a fixed-size manifest is accepted exactly when it is the one the chunker cuts, so
// an accepted one re-chunks to itself; every accepted one has lengths its scheme allows.
void check_retiled_json(std::span<const uint8_t> data, ChunkScheme scheme, Pieces& pieces,
                        const std::vector<Chunk>& chunks) {
  std::vector<uint64_t> ends;
  for (const Chunk& c : chunks) {
    const uint64_t end = c.offset + c.len;
    switch (pieces.next(6)) {
      case 0:  // merged with the next
        if (end != data.size()) continue;
        break;
      case 1:  // moved a little
        if (end != data.size()) {
          const uint64_t from = ends.empty() ? 0 : ends.back();
          const uint64_t moved = end - std::min<uint64_t>(pieces.next(3), end - from - 1);
          ends.push_back(moved);
          continue;
        }
        break;
      case 2:  // split in two
        if (c.len > 1) ends.push_back(c.offset + 1 + pieces.next(static_cast<uint32_t>(c.len - 1)));
        break;
      default:
        break;
    }
    ends.push_back(end);
  }
  std::string text = "{\"chunk_scheme\":{\"type\":\"";
  text += scheme.kind == ChunkScheme::Kind::Fixed ? "fixed\",\"size\":" : "cdc\",\"avg_size\":";
  text += std::to_string(scheme.size) + "},\"chunks\":[";
  MerkleFolder folder;
  std::vector<CollectingSink::Cut> tiling;
  uint64_t start = 0;
  for (const uint64_t end : ends) {
    const Digest digest = sha256(data.data() + start, static_cast<size_t>(end - start));
    folder.add_chunk(digest);
    tiling.push_back({start, end - start, digest});
    if (start != 0) text += ",";
    // Appended piece by piece: g++ -O3 reports a false -Wrestrict on "[" + std::to_string(...).
    text += '[';
    text += std::to_string(start);
    text += ',';
    text += std::to_string(end - start);
    text += ",\"";
    text += hash_string(digest);
    text += "\"]";
    start = end;
  }
  text += "],\"root\":\"" + hash_string(folder.root()) +
          "\",\"total_len\":" + std::to_string(data.size()) + "}";
  std::vector<CollectingSink::Cut> cut;
  for (const Chunk& c : chunks) cut.push_back({c.offset, c.len, c.hash});
  const auto back = manifest_from_json(text);
  if (scheme.kind == ChunkScheme::Kind::Fixed) {
    QM_FUZZ_CHECK_MSG(back.has_value() == (tiling == cut), text);
  }
  if (!back) return;
  for (size_t i = 0; i < back->chunks.size(); ++i) {
    const bool last = i + 1 == back->chunks.size();
    QM_FUZZ_CHECK(!impossible_chunk_length(scheme, back->chunks[i].len, last).has_value());
  }
}

}  // namespace

void chunking_target(std::span<const uint8_t> input) {
  // Any input read as a binary manifest: refused, or read back to exactly its own bytes.
  if (const auto hostile = manifest_from_bytes(input)) {
    const auto again = manifest_to_bytes(*hostile);
    QM_FUZZ_CHECK(again.has_value() &&
                  std::equal(again->begin(), again->end(), input.begin(), input.end(),
                             [](char a, uint8_t b) { return static_cast<uint8_t>(a) == b; }));
  }
  InputReader in(input);
  const ChunkScheme scheme = scheme_from(in);
  Pieces pieces(in.integer<uint32_t>());
  const size_t block_size = in.integer<uint16_t>();
  const std::span<const uint8_t> data = in.rest();

  const auto manifest = reference_manifest(data, scheme);
  const auto from_bytes = compute_data_shape_hash_from_bytes(data, scheme);
  const auto from_file =
      hash_through_file(data, scheme, std::max<size_t>(block_size, data.size() / 64));
  QM_FUZZ_CHECK(from_file == from_bytes);
  if (scheme.size == 0) {
    QM_FUZZ_CHECK(!manifest.has_value());
    QM_FUZZ_CHECK(!from_bytes.has_value());
    QM_FUZZ_CHECK(check_scheme(scheme, data.size()).has_value());
    return;
  }
  QM_FUZZ_CHECK(manifest.has_value());
  QM_FUZZ_CHECK_MSG(from_bytes.has_value(), from_bytes.error().display());
  QM_FUZZ_CHECK(manifest->chunk_scheme == scheme);
  QM_FUZZ_CHECK(manifest->total_len == data.size());

  // The chunks tile the data, each named by the hash of its bytes.
  const auto& chunks = manifest->chunks;
  uint64_t offset = 0;
  MerkleFolder folder;
  for (size_t i = 0; i < chunks.size(); ++i) {
    const Chunk& c = chunks[i];
    QM_FUZZ_CHECK(c.offset == offset);
    QM_FUZZ_CHECK(c.len > 0);
    QM_FUZZ_CHECK(c.len <= data.size() - offset);
    if (scheme.kind == ChunkScheme::Kind::Fixed && i + 1 < chunks.size()) {
      QM_FUZZ_CHECK(c.len == scheme.size);
    }
    const auto bytes = data.subspan(static_cast<size_t>(c.offset), static_cast<size_t>(c.len));
    QM_FUZZ_CHECK(c.hash == sha256(bytes.data(), bytes.size()));
    QM_FUZZ_CHECK(c.id == hash_string(c.hash));
    folder.add_chunk(c.hash);
    offset += c.len;
  }
  QM_FUZZ_CHECK(offset == data.size());
  const Digest root = merkle_root(chunks);
  QM_FUZZ_CHECK(manifest->root == hash_string(root));
  QM_FUZZ_CHECK(folder.root() == root);
  QM_FUZZ_CHECK(folder.leaf_count() == chunks.size());

  // The chunker on its own, and streamed in random pieces, cut the same chunks.
  const auto direct = scheme.kind == ChunkScheme::Kind::Fixed
                          ? fixed_size_chunks(data, scheme.size)
                          : content_defined_chunks(data, scheme.size);
  QM_FUZZ_CHECK(direct.has_value());
  QM_FUZZ_CHECK(*direct == chunks);
  const auto streamed = stream_in_pieces(data, scheme, pieces);
  QM_FUZZ_CHECK(streamed.size() == chunks.size());
  for (size_t i = 0; i < chunks.size(); ++i) {
    QM_FUZZ_CHECK(streamed[i] ==
                  (CollectingSink::Cut{chunks[i].offset, chunks[i].len, chunks[i].hash}));
  }

  // The data shape hash from the manifest equals the bytes function's.
  QM_FUZZ_CHECK(*from_bytes == data_shape_hash(manifest->root, manifest->total_len, scheme));
  check_manifests(data, scheme, pieces, chunks, root, *from_bytes);
  check_retiled_json(data, scheme, pieces, chunks);
}

}  // namespace quillmere::fuzz
