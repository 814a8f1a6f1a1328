// SHA-256 several messages at a time and the Merkle tree built on it: known answers, every
// length against OpenSSL's one-shot digest, the two compression paths against each other,
// and roots (one and two threads, folded with subtrees at odd places) against the tree
// computed level by level.
#include "codec/sha256_lanes.h"

#include <gtest/gtest.h>

#include <random>

#include "shape_test_support.h"
#include "shapes/manifest.h"
#include "shapes/merkle.h"

namespace quillmere {
namespace {

using namespace testing_support;

std::span<const uint8_t> bytes_of(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(Sha256Lanes, KnownAnswers) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
  };
  std::vector<std::span<const uint8_t>> messages;
  for (const auto& c : cases) messages.push_back(bytes_of(c.first));
  std::vector<Digest> out(messages.size());
  sha256_many(messages, out.data());
  for (size_t i = 0; i < out.size(); ++i) EXPECT_EQ(hex(out[i]), cases[i].second) << i;
}

TEST(Sha256Lanes, EveryLengthUpTo200MatchesOneShot) {
  std::mt19937_64 rng(19);
  const Bytes data = random_bytes(rng, 400, 256);
  // Pairs of different lengths (one lane runs out before the other), then an odd count.
  std::vector<std::span<const uint8_t>> messages;
  for (size_t n = 0; n <= 200; ++n) {
    messages.emplace_back(data.data() + n, n);
    messages.emplace_back(data.data() + 3, 200 - n);
  }
  messages.emplace_back(data.data(), 64);
  std::vector<Digest> out(messages.size());
  sha256_many(messages, out.data());
  for (size_t i = 0; i < messages.size(); ++i) {
    ASSERT_EQ(out[i], sha256(messages[i].data(), messages[i].size())) << messages[i].size();
  }
}

TEST(Sha256Lanes, InstructionsAndOpenSslCompressAlike) {
  if (!sha256_lanes_accelerated()) GTEST_SKIP() << "no SHA instructions on this processor";
  std::mt19937_64 rng(7);
  for (size_t count : {size_t{1}, size_t{2}, size_t{3}, size_t{8}}) {
    for (size_t nblocks : {size_t{1}, size_t{2}, size_t{5}}) {
      std::vector<Bytes> blocks;
      std::vector<const uint8_t*> starts;
      std::vector<Sha256State> a(count), b;
      for (size_t i = 0; i < count; ++i) {
        blocks.push_back(random_bytes(rng, 64 * nblocks, 256));
        for (uint32_t& w : a[i]) w = static_cast<uint32_t>(rng());
      }
      for (const Bytes& x : blocks) starts.push_back(x.data());
      b = a;
      sha256_paths::compress_openssl(a.data(), starts.data(), count, nblocks);
      sha256_paths::compress_instructions(b.data(), starts.data(), count, nblocks);
      EXPECT_EQ(a, b) << count << " states, " << nblocks << " blocks";
    }
  }
}

std::vector<Digest> digests(size_t n, uint32_t seed) {
  std::vector<Digest> out;
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t word[2] = {seed, i};
    out.push_back(sha256(word, sizeof word));
  }
  return out;
}

TEST(Merkle, RootOfATableMatchesTheLevelByLevelTree) {
  // Past the two-thread threshold, with an odd tail; a table is cut into blocks.
  for (size_t n : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{2048}, size_t{2049},
                   (size_t{1} << 13) + 2048 + 5}) {
    const std::vector<Digest> d = digests(n, 1);
    ChunkTable table;
    table.reserve(n);
    for (size_t i = 0; i < n; ++i) table.push_back(ChunkRecord{i, 1, d[i]});
    const DigestSequence seq{n, sizeof(ChunkRecord),
                             [](const void* owner, size_t i) {
                               return (*static_cast<const ChunkTable*>(owner))[i].digest.data();
                             },
                             &table};
    EXPECT_EQ(merkle_root(seq, true), literal_merkle(d)) << n;
  }
}

TEST(Merkle, FolderMixingSubtreesAndChunksMatchesTheLevelByLevelTree) {
  // Two chunks, a pair as one node, then runs of chunks: the buffer of waiting leaves
  // starts at positions that are not multiples of its size.
  const std::vector<Digest> d = digests(4 + 70 + 130, 2);
  MerkleFolder folder;
  folder.add_chunk(d[0]);
  folder.add_chunk(d[1]);
  folder.add_node(merkle_parent(merkle_leaf(d[2]), merkle_leaf(d[3])), 1);
  ASSERT_EQ(folder.leaf_count(), 4u);
  for (size_t i = 4; i < d.size(); ++i) {
    folder.add_chunk(d[i]);
    if (i == 72) {  // a root midway leaves the folder usable
      EXPECT_EQ(folder.root(), literal_merkle({d.begin(), d.begin() + 73}));
    }
  }
  EXPECT_EQ(folder.leaf_count(), d.size());
  EXPECT_EQ(folder.root(), literal_merkle(d));
}

TEST(ChunkTable, ReservedTablesHoldWhatIsPushedAndShrink) {
  for (auto [reserved, pushed] :
       {std::pair<size_t, size_t>{5, 5}, {5, 3}, {5, 9}, {ChunkTable::kBlockRecords + 1, 7}}) {
    ChunkTable table;
    table.reserve(reserved);
    for (size_t i = 0; i < pushed; ++i) table.push_back(ChunkRecord{i, 1, {}});
    table.shrink();
    ASSERT_EQ(table.size(), pushed);
    for (size_t i = 0; i < pushed; ++i) ASSERT_EQ(table[i].offset, i);
    EXPECT_EQ(table.memory_bytes(), pushed * sizeof(ChunkRecord)) << reserved << " " << pushed;
  }
}

}  // namespace
}  // namespace quillmere
