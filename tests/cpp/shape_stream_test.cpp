// The streaming hasher and the worker pool against the one-pass manifest: every split, every
// number of workers and both schemes give the same chunks and root; the chunk table and the
// Merkle folder's subtree form agree with their plain forms.
#include "shapes/shape_stream.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <tuple>
#include <vector>

#include "reference_manifest.h"
#include "shapes/data_shape.h"
#include "shapes/manifest.h"

namespace quillmere {
namespace {

using testing_support::reference_compact_manifest;

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
  const CompactManifest expected = reference_compact_manifest(data, scheme);

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

// Every route through the engine against the whole-buffer reference: bytes and files on 1
// and 2 workers, update() in random pieces, files read in random block sizes, and the data
// shape hashes of bytes and files.
TEST(ShapeEngine, EveryRouteGivesTheReferenceManifest) {
  char path[] = "/tmp/qm-engine-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  std::mt19937_64 rng(7);
  for (int round = 0; round < 40; ++round) {
    const ChunkScheme scheme = round % 4 == 0
                                   ? ChunkScheme::fixed(1 + rng() % 3000)
                                   : ChunkScheme::cdc(1 + rng() % (round % 2 == 0 ? 64 : 4096));
    std::vector<uint8_t> data(rng() % 120'000);
    const unsigned alphabet = round % 3 == 0 ? 2 : 256;
    for (auto& b : data) b = static_cast<uint8_t>(rng() % alphabet);
    FILE* f = std::fopen(path, "wb");
    ASSERT_NE(f, nullptr);
    std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
    SCOPED_TRACE("round " + std::to_string(round));

    const CompactManifest want = reference_compact_manifest(data, scheme);
    for (unsigned workers : {1u, 2u}) {
      auto from_bytes = build_manifest(data, scheme, workers);
      ASSERT_TRUE(from_bytes);
      expect_same(*from_bytes, want);
      auto from_file = build_manifest_from_file(path, scheme, true, workers);
      ASSERT_TRUE(from_file) << from_file.error().display();
      expect_same(*from_file, want);
      ShapeStream stream(scheme, true, workers);
      for (size_t pos = 0; pos < data.size();) {
        const size_t n = std::min<size_t>(rng() % (rng() % 2 ? 100 : 40'000), data.size() - pos);
        stream.update({data.data() + pos, n});
        pos += n;
      }
      expect_same(stream.finish(), want);
    }
    EXPECT_EQ(compute_data_shape_hash_from_bytes(data, scheme), want.shape_hash());
    EXPECT_EQ(compute_data_shape_hash_from_file(path, scheme, 1 + rng() % 70'000),
              want.shape_hash());
  }
  std::remove(path);
}

TEST(ShapeStream, WithoutKeptChunksOnlyTheRootAndLengthRemain) {
  const std::vector<uint8_t> data = random_bytes(500'000, 2);
  ShapeStream stream(ChunkScheme::cdc(4096), false, 2);
  stream.update(data);
  const CompactManifest m = stream.finish();
  EXPECT_TRUE(m.chunks.empty());
  EXPECT_EQ(m.root, reference_compact_manifest(data, ChunkScheme::cdc(4096)).root);
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
