// The streaming hasher and the worker pool against the one-pass manifest: every split, every
// number of workers and both schemes give the same chunks and root; the chunk table and the
// Merkle folder's subtree form agree with their plain forms.
#include "shapes/shape_stream.h"

#include <gtest/gtest.h>

#include <random>
#include <tuple>
#include <vector>

#include "shapes/manifest.h"

namespace quillmere {
namespace {

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng() >> 24);
  return out;
}

void expect_same(const CompactManifest& a, const CompactManifest& b) {
  ASSERT_EQ(a.chunks.size(), b.chunks.size());
  EXPECT_EQ(a.root, b.root);
  EXPECT_EQ(a.total_len, b.total_len);
  for (size_t i = 0; i < a.chunks.size(); ++i) {
    EXPECT_EQ(a.chunks[i].offset, b.chunks[i].offset) << i;
    EXPECT_EQ(a.chunks[i].len, b.chunks[i].len) << i;
    EXPECT_EQ(a.chunks[i].digest, b.chunks[i].digest) << i;
  }
}

using Case = std::tuple<ChunkScheme, unsigned>;
class ShapeStreamTest : public ::testing::TestWithParam<Case> {};

TEST_P(ShapeStreamTest, AnySplitAndAnyWorkerCountGiveTheOnePassManifest) {
  const auto [scheme, workers] = GetParam();
  std::vector<uint8_t> data = random_bytes(3'000'000, 1);
  data.insert(data.end(), 200'000, 0);  // a run of equal windows
  const CompactManifest expected = build_compact_manifest(data, scheme);

  std::mt19937 rng(workers);
  ShapeStream stream(scheme, true, workers);
  for (size_t pos = 0; pos < data.size();) {
    static constexpr size_t kSizes[] = {0, 1, 47, 48, 4095, 4096, 70'000, 9'000'000};
    const size_t n = std::min(kSizes[rng() % std::size(kSizes)], data.size() - pos);
    stream.update({data.data() + pos, n});
    pos += n;
  }
  expect_same(stream.finish(), expected);

  auto built = build_manifest(data, scheme, workers);
  ASSERT_TRUE(built);
  expect_same(*built, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Schemes, ShapeStreamTest,
    ::testing::Combine(::testing::Values(ChunkScheme::cdc(65536), ChunkScheme::cdc(16),
                                         ChunkScheme::cdc(1000), ChunkScheme::fixed(1),
                                         ChunkScheme::fixed(1'000'000)),
                       ::testing::Values(1u, 2u, 4u)));

TEST(ShapeStream, WithoutKeptChunksOnlyTheRootAndLengthRemain) {
  const std::vector<uint8_t> data = random_bytes(500'000, 2);
  ShapeStream stream(ChunkScheme::cdc(4096), false, 2);
  stream.update(data);
  const CompactManifest m = stream.finish();
  EXPECT_TRUE(m.chunks.empty());
  EXPECT_EQ(m.root, build_compact_manifest(data, ChunkScheme::cdc(4096)).root);
  EXPECT_EQ(m.total_len, data.size());
}

TEST(MerkleFolder, SubtreesAddedWholeGiveTheRootOfTheirLeaves) {
  for (uint64_t n : {1u, 2u, 3u, 5u, 8u, 13u, 64u, 100u}) {
    std::vector<Digest> digests(n);
    for (uint64_t i = 0; i < n; ++i) digests[i] = sha256(&i, sizeof i);
    MerkleFolder plain;
    for (const Digest& d : digests) plain.add_chunk(d);
    // Aligned pairs added as one node of height 1, the rest as leaves.
    MerkleFolder paired;
    uint64_t i = 0;
    for (; i + 2 <= n; i += 2) {
      paired.add_node(MerkleFolder::parent_of(MerkleFolder::leaf_of(digests[i]),
                                              MerkleFolder::leaf_of(digests[i + 1])),
                      1);
    }
    for (; i < n; ++i) paired.add_chunk(digests[i]);
    EXPECT_EQ(paired.root(), plain.root()) << n;
    EXPECT_EQ(paired.leaf_count(), n);
  }
}

TEST(ChunkTable, GrowsInBlocksAndShrinksTheLastOne) {
  ChunkTable table;
  const size_t n = ChunkTable::kBlockRecords * 2 + 5;
  for (size_t i = 0; i < n; ++i) table.push_back(ChunkRecord{i, i + 1, {}});
  table.shrink();
  ASSERT_EQ(table.size(), n);
  EXPECT_EQ(table.memory_bytes(), n * sizeof(ChunkRecord));
  for (size_t i = 0; i < n; i += 999) EXPECT_EQ(table[i].len, i + 1);
  table.push_back(ChunkRecord{n, 1, {}});  // a shrunk block still takes records
  EXPECT_EQ(table[n].offset, n);
}

}  // namespace
}  // namespace quillmere
