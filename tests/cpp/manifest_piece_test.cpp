// Joining manifest pieces re-reads only the bytes around each seam, and none at all when
// fixed-size pieces start on chunk boundaries; the joined manifest is the one-pass one.
#include "shapes/manifest_piece.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "reference_manifest.h"

namespace quillmere {
namespace {

using testing_support::reference_compact_manifest;

// Serves the stream from memory and counts the bytes it hands out.
class CountingReader final : public StreamReader {
 public:
  explicit CountingReader(const std::vector<uint8_t>& data) : data_(data) {}
  std::expected<size_t, ShapeError> read_at(uint64_t pos, uint8_t* buf, size_t len) override {
    if (pos >= data_.size()) return 0;
    const size_t n = std::min<size_t>(len, data_.size() - pos);
    std::memcpy(buf, data_.data() + pos, n);
    bytes_read += n;
    return n;
  }
  uint64_t bytes_read = 0;

 private:
  const std::vector<uint8_t>& data_;
};

struct Split {
  ChunkScheme scheme;
  uint64_t piece_size;
  uint64_t max_read;  // bytes the join may read back
};

class PieceJoin : public ::testing::TestWithParam<Split> {};

TEST_P(PieceJoin, ReadsOnlyAroundTheSeams) {
  const Split split = GetParam();
  std::vector<uint8_t> data(16 << 20);
  std::mt19937_64 rng(22);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  // One file a process: the test's cases run in parallel processes.
  const std::string path =
      ::testing::TempDir() + "/manifest_piece_test." + std::to_string(::getpid()) + ".bin";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));

  std::vector<ManifestPiece> pieces;
  for (uint64_t offset = 0; offset < data.size(); offset += split.piece_size) {
    auto piece = build_piece_from_file(path, split.scheme, offset, split.piece_size);
    ASSERT_TRUE(piece.has_value()) << piece.error().message;
    // Through the binary form, as between processes.
    const std::string bytes = piece_to_bytes(*piece);
    auto back = piece_from_bytes({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
    ASSERT_TRUE(back.has_value()) << back.error();
    pieces.push_back(std::move(*back));
  }
  std::remove(path.c_str());
  CountingReader reader(data);
  auto joined = join_pieces(pieces, reader);
  ASSERT_TRUE(joined.has_value()) << joined.error().message;
  const CompactManifest want = reference_compact_manifest(data, split.scheme);
  EXPECT_EQ(joined->root, want.root);
  ASSERT_EQ(joined->chunks.size(), want.chunks.size());
  for (size_t i = 0; i < want.chunks.size(); ++i) {
    EXPECT_EQ(joined->chunks[i].offset, want.chunks[i].offset);
    EXPECT_EQ(joined->chunks[i].digest, want.chunks[i].digest);
  }
  EXPECT_LE(reader.bytes_read, split.max_read);
  if (split.scheme.kind == ChunkScheme::Kind::CDC) {
    EXPECT_GT(reader.bytes_read, 0u);
  }
}

// 8 pieces of 2 MiB: 7 seams, each walked in a block or two of 256 KiB.
INSTANTIATE_TEST_SUITE_P(Schemes, PieceJoin,
                         ::testing::Values(Split{ChunkScheme::cdc(65536), 2 << 20, 7 << 19},
                                           Split{ChunkScheme::cdc(4096), 2 << 20, 7 << 19},
                                           Split{ChunkScheme::fixed(4096), 2 << 20, 0}));

}  // namespace
}  // namespace quillmere
