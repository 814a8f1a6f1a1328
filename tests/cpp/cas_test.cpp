// Chunking, chunk identity, Merkle root and manifests: the rolling window hash against
// the literal one, both chunkers against the definition, streaming against one pass,
// known answers, boundaries and errors.
#include "shapes/cas.h"

#include <gtest/gtest.h>

#include <random>

#include "codec/commitments.h"
#include "codec/json_text.h"
#include "shape_test_support.h"
#include "shapes/window_hash.h"

namespace quillmere {
namespace {

using namespace testing_support;

Spans spans_of(const std::vector<Chunk>& chunks) {
  Spans out;
  for (const Chunk& c : chunks) out.emplace_back(c.offset, c.len);
  return out;
}

std::vector<Chunk> chunks_of(const Bytes& data, ChunkScheme scheme) {
  auto chunks = scheme.kind == ChunkScheme::Kind::CDC ? content_defined_chunks(data, scheme.size)
                                                      : fixed_size_chunks(data, scheme.size);
  EXPECT_TRUE(chunks.has_value());
  return chunks ? *chunks : std::vector<Chunk>{};
}

// --- window hash -----------------------------------------------------------------------------

TEST(WindowHash, RollingEqualsLiteralAtEveryPosition) {
  std::mt19937_64 rng(1);
  for (unsigned alphabet : {2u, 16u, 256u}) {
    const Bytes data = random_bytes(rng, 5000, alphabet);
    uint64_t h = cdc::window_hash(data.data());
    for (size_t i = 0; i + 48 <= data.size(); ++i) {
      if (i > 0) h = cdc::roll(h, data[i - 1], data[i + 47]);
      ASSERT_EQ(h, literal_window_hash(&data[i])) << "position " << i;
    }
  }
}

TEST(WindowHash, MultipleTestAgreesWithRemainder) {
  std::mt19937_64 rng(2);
  std::vector<uint64_t> divisors = {1,         2,     3,          5,          7,
                                    48,        64,    65,         1000,       4096,
                                    65536,     65537, 3ull << 40, 1ull << 63, UINT64_MAX - 1,
                                    UINT64_MAX};
  for (int k = 0; k < 40; ++k) divisors.push_back(rng() >> (rng() % 64) | 1);
  for (int k = 0; k < 20; ++k) divisors.push_back((rng() >> (rng() % 64)) + 1);
  for (uint64_t d : divisors) {
    const cdc::MultipleTest test(d);
    std::vector<uint64_t> values = {0, 1, d - 1, d, UINT64_MAX, UINT64_MAX - 1};
    if (d <= UINT64_MAX / 2) values.push_back(2 * d);
    for (int k = 0; k < 200; ++k) values.push_back(rng());
    for (int k = 0; k < 200; ++k) values.push_back(d * (rng() % (UINT64_MAX / d)));
    for (uint64_t h : values) ASSERT_EQ(test(h), h % d == 0) << h << " % " << d;
  }
}

// The scan finds the first boundary as a literal 48-step hash at each position would.
TEST(WindowHash, FindBoundaryEqualsLiteralScan) {
  std::mt19937_64 rng(3);
  for (int round = 0; round < 300; ++round) {
    const size_t count = rng() % 3000;
    const unsigned alphabet = round % 3 == 0 ? 2 : 256;
    const Bytes data = random_bytes(rng, count + 47, alphabet);
    const uint64_t divisor = round % 2 == 0 ? uint64_t{1} << (rng() % 12) : 1 + rng() % 700;
    size_t expected = count;
    for (size_t i = 0; i < count; ++i) {
      if (literal_window_hash(&data[i]) % divisor == 0) {
        expected = i;
        break;
      }
    }
    ASSERT_EQ(cdc::find_boundary(data.data(), count, divisor), expected)
        << "count " << count << " divisor " << divisor;
    ASSERT_EQ(cdc::find_boundary_scalar(data.data(), count, divisor), expected);
  }
}

// Long scans with rare boundaries planted at chosen positions (a zero window hashes to 0),
// so every scan kernel is exercised across its internal block edges.
TEST(WindowHash, PlantedBoundariesInLongScans) {
  std::mt19937_64 rng(4);
  for (uint64_t divisor : {uint64_t{1} << 16, uint64_t{1} << 13, uint64_t{1} << 12,
                           uint64_t{1} << 20, uint64_t{65535}, uint64_t{2}, uint64_t{1} << 10}) {
    for (int round = 0; round < 40; ++round) {
      // Lengths just above 8192 and 16384 meet the vector scan's group edges.
      const size_t count = round % 3 == 0   ? 8190 + rng() % 20
                           : round % 3 == 1 ? 16380 + rng() % 20
                                            : 20000 + rng() % 200000;
      Bytes data = random_bytes(rng, count + 47);
      const size_t planted = rng() % (count + 1000);
      if (planted < count) std::fill_n(data.begin() + static_cast<std::ptrdiff_t>(planted), 48, 0);
      size_t expected = count;
      uint64_t h = literal_window_hash(data.data());
      for (size_t i = 0; i < count; ++i) {
        if (i > 0) h = cdc::roll(h, data[i - 1], data[i + 47]);
        if (h % divisor == 0) {
          expected = i;
          break;
        }
      }
      ASSERT_EQ(cdc::find_boundary(data.data(), count, divisor), expected)
          << "count " << count << " planted " << planted << " divisor " << divisor;
    }
  }
}

// --- chunkers ------------------------------------------------------------------------------

TEST(ContentDefinedChunks, MatchDefinitionOnRandomInputs) {
  std::mt19937_64 rng(5);
  for (int round = 0; round < 400; ++round) {
    const uint64_t avg = round % 4 == 0 ? 1 + rng() % 4 : 1 + rng() % 300;
    const unsigned alphabet = round % 3 == 0 ? 2 : (round % 3 == 1 ? 4 : 256);
    const Bytes data = random_bytes(rng, rng() % 2500, alphabet);
    ASSERT_EQ(spans_of(chunks_of(data, ChunkScheme::cdc(avg))), literal_cdc(data, avg))
        << "avg " << avg << " length " << data.size();
  }
}

TEST(ContentDefinedChunks, ZerosCutAtTheFirstWindow) {
  const Bytes zeros(100000, 0);
  EXPECT_EQ(spans_of(chunks_of(zeros, ChunkScheme::cdc(65536))),
            (Spans{{0, 32816}, {32816, 32816}, {65632, 32816}, {98448, 1552}}));
}

TEST(ContentDefinedChunks, AverageOneGivesPairsAndALongLastChunk) {
  std::mt19937_64 rng(6);
  const auto chunks = chunks_of(random_bytes(rng, 100), ChunkScheme::cdc(1));
  ASSERT_EQ(chunks.size(), 27u);
  for (size_t k = 0; k < 26; ++k) EXPECT_EQ(chunks[k].len, 2u);
  EXPECT_EQ(chunks[26].offset, 52u);
  EXPECT_EQ(chunks[26].len, 48u);
}

class SingleChunkBoundary : public ::testing::TestWithParam<size_t> {};

// Up to min_size + 48 bytes there is no candidate window at all.
TEST_P(SingleChunkBoundary, DefaultAverage) {
  const Bytes zeros(GetParam(), 0);
  const auto chunks = chunks_of(zeros, ChunkScheme::cdc(65536));
  EXPECT_EQ(chunks.size(), GetParam() <= 32816 ? 1u : 2u);
}

INSTANTIATE_TEST_SUITE_P(Lengths, SingleChunkBoundary,
                         ::testing::Values(1, 32767, 32768, 32769, 32815, 32816, 32817, 40000));

// Chunks are contiguous; only a chunk cut at max_size is short of min_size + 48, and only
// the last may pass max_size, by at most 47 bytes.
TEST(ContentDefinedChunks, SizeBoundsHold) {
  std::mt19937_64 rng(7);
  for (uint64_t avg : {16u, 100u, 256u, 1000u}) {
    const Bytes data = random_bytes(rng, 200000, avg == 1000 ? 2 : 256);
    const auto chunks = chunks_of(data, ChunkScheme::cdc(avg));
    uint64_t pos = 0;
    for (size_t k = 0; k < chunks.size(); ++k) {
      const Chunk& c = chunks[k];
      ASSERT_EQ(c.offset, pos);
      ASSERT_GT(c.len, 0u);
      pos += c.len;
      if (k + 1 < chunks.size()) {
        ASSERT_TRUE(c.len == 2 * avg || c.len >= avg / 2 + 48) << c.len;
        ASSERT_LE(c.len, 2 * avg);
      } else {
        ASSERT_LE(c.len, 2 * avg + 47);
      }
    }
    EXPECT_EQ(pos, data.size());
  }
}

// A chunk is cut at max_size only once every position before it had a full window; with
// fewer than 48 bytes left the chunk runs to the end instead. All-ones windows never hash
// to a multiple of 1000, so here only max_size and the end of input cut.
TEST(ContentDefinedChunks, LastChunkRunsPastMaxSizeWhenNoFullWindowRemains) {
  struct Case {
    size_t length;
    Spans spans;
  };
  for (const Case& c :
       {Case{2040, {{0, 2040}}}, Case{2046, {{0, 2046}}}, Case{2047, {{0, 2000}, {2000, 47}}},
        Case{4046, {{0, 2000}, {2000, 2046}}}}) {
    const Bytes ones(c.length, 1);
    EXPECT_EQ(literal_cdc(ones, 1000), c.spans) << c.length;
    EXPECT_EQ(spans_of(chunks_of(ones, ChunkScheme::cdc(1000))), c.spans) << c.length;
  }
}

TEST(FixedSizeChunks, CutsAtTheSize) {
  const Bytes ten(10, 7);
  EXPECT_EQ(spans_of(chunks_of(ten, ChunkScheme::fixed(4))), (Spans{{0, 4}, {4, 4}, {8, 2}}));
  EXPECT_EQ(spans_of(chunks_of(ten, ChunkScheme::fixed(10))), (Spans{{0, 10}}));
  EXPECT_EQ(spans_of(chunks_of(ten, ChunkScheme::fixed(11))), (Spans{{0, 10}}));
  EXPECT_EQ(spans_of(chunks_of(ten, ChunkScheme::fixed(1))).size(), 10u);
}

TEST(Chunks, IdentityIsTheDigestOfTheBytes) {
  std::mt19937_64 rng(8);
  const Bytes data = random_bytes(rng, 5000, 4);
  for (ChunkScheme scheme : {ChunkScheme::cdc(64), ChunkScheme::fixed(333)}) {
    for (const Chunk& c : chunks_of(data, scheme)) {
      const auto bytes = std::span(data).subspan(c.offset, c.len);
      EXPECT_EQ(c.hash, sha256(bytes.data(), bytes.size()));
      EXPECT_EQ(c.id, sha256_prefixed(bytes));
    }
  }
}

// Sizes near 2^64 must not overflow their bounds: one chunk for the whole input.
TEST(Chunks, HugeSizesGiveOneChunk) {
  std::mt19937_64 rng(9);
  const Bytes data = random_bytes(rng, 3000, 2);
  for (uint64_t size : {UINT64_MAX, UINT64_MAX - 1, uint64_t{1} << 63, (uint64_t{1} << 63) + 1,
                        uint64_t{1} << 62}) {
    for (ChunkScheme scheme : {ChunkScheme::cdc(size), ChunkScheme::fixed(size)}) {
      EXPECT_EQ(spans_of(chunks_of(data, scheme)), (Spans{{0, 3000}})) << size;
    }
  }
}

TEST(Chunks, EmptyInputHasNoChunks) {
  for (ChunkScheme scheme : {ChunkScheme::cdc(1), ChunkScheme::cdc(65536), ChunkScheme::fixed(4)}) {
    auto manifest = reference_manifest({}, scheme);
    ASSERT_TRUE(manifest.has_value());
    EXPECT_TRUE(manifest->chunks.empty());
    EXPECT_EQ(manifest->total_len, 0u);
    EXPECT_EQ(manifest->root, hash_string(sha256("\0", 1)));
  }
}

struct ZeroSizeCase {
  ChunkScheme scheme;
  std::string display;
  std::string context;
};

class ZeroSize : public ::testing::TestWithParam<ZeroSizeCase> {};

TEST_P(ZeroSize, FailsWithTheSchemeMessage) {
  const Bytes data(10, 1);
  auto manifest = reference_manifest(data, GetParam().scheme);
  ASSERT_FALSE(manifest.has_value());
  EXPECT_EQ(manifest.error().display(), GetParam().display);
  EXPECT_EQ(manifest.error().context, GetParam().context);
  EXPECT_EQ(manifest.error().input_len, 10u);
  const auto direct = GetParam().scheme.kind == ChunkScheme::Kind::CDC
                          ? content_defined_chunks(data, 0)
                          : fixed_size_chunks(data, 0);
  ASSERT_FALSE(direct.has_value());
  EXPECT_EQ(direct.error(), manifest.error());
}

INSTANTIATE_TEST_SUITE_P(
    Schemes, ZeroSize,
    ::testing::Values(
        ZeroSizeCase{ChunkScheme::fixed(0), "Chunking failed: Chunk size must be > 0", "size=0"},
        ZeroSizeCase{ChunkScheme::cdc(0), "Chunking failed: Average chunk size must be > 0",
                     "avg_size=0"}));

// --- streaming -----------------------------------------------------------------------------

class Collect final : public ChunkSink {
 public:
  void on_chunk(uint64_t offset, uint64_t len, const Digest& digest) override {
    spans.emplace_back(offset, len);
    digests.push_back(digest);
  }
  Spans spans;
  std::vector<Digest> digests;
};

// Feeds `data` in pieces of random sizes, passing again only what the chunker retains.
Collect stream_in_pieces(const Bytes& data, ChunkScheme scheme, std::mt19937_64& rng,
                         size_t max_piece) {
  StreamingChunker chunker(scheme);
  Collect sink;
  uint64_t end = 0;
  while (end < data.size()) {
    end = std::min<uint64_t>(data.size(), end + 1 + rng() % max_piece);
    const uint64_t from = chunker.retain_from();
    EXPECT_LE(end - from, max_piece + 47);
    chunker.feed(std::span(data).subspan(from, end - from), from, false, sink);
    EXPECT_LE(end - chunker.retain_from(), 47u);
  }
  const uint64_t from = chunker.retain_from();
  chunker.feed(std::span(data).subspan(from), from, true, sink);
  return sink;
}

TEST(StreamingChunker, PiecesGiveTheOnePassChunks) {
  std::mt19937_64 rng(10);
  for (int round = 0; round < 300; ++round) {
    const ChunkScheme scheme = round % 5 == 0 ? ChunkScheme::fixed(1 + rng() % 200)
                                              : ChunkScheme::cdc(1 + rng() % (round % 2 ? 8 : 400));
    const Bytes data = random_bytes(rng, rng() % 4000, round % 3 == 0 ? 2 : 256);
    const std::vector<Chunk> expected = chunks_of(data, scheme);
    const Collect got = stream_in_pieces(data, scheme, rng, 1 + rng() % 300);
    ASSERT_EQ(got.spans, spans_of(expected)) << "round " << round;
    for (size_t k = 0; k < expected.size(); ++k) ASSERT_EQ(got.digests[k], expected[k].hash);
  }
}

// --- Merkle root ---------------------------------------------------------------------------

Digest folded_root(std::span<const Chunk> chunks) {
  MerkleFolder folder;
  for (const Chunk& c : chunks) folder.add_chunk(c.hash);
  return folder.root();
}

TEST(MerkleRoot, FoldEqualsLevelByLevelForEveryCountUpTo300) {
  std::vector<Digest> digests;
  std::vector<Chunk> chunks;
  for (uint32_t n = 0; n <= 300; ++n) {
    ASSERT_EQ(folded_root(chunks), literal_merkle(digests)) << n << " chunks";
    const Digest d = sha256(&n, sizeof n);
    digests.push_back(d);
    chunks.push_back(Chunk{hash_string(d), n, 1, d});
  }
}

TEST(MerkleRoot, SmallTreesHaveTheirShape) {
  std::vector<Chunk> chunks;
  std::vector<Digest> leaves;
  for (uint8_t k = 0; k < 5; ++k) {
    const Digest d = sha256(&k, 1);
    chunks.push_back(Chunk{hash_string(d), k, 1, d});
    leaves.push_back(leaf_of(d));
  }
  const auto& L = leaves;
  EXPECT_EQ(folded_root(std::span(chunks).first(1)), L[0]);
  EXPECT_EQ(folded_root(std::span(chunks).first(3)), node_of(node_of(L[0], L[1]), L[2]));
  EXPECT_EQ(folded_root(std::span(chunks).first(5)),
            node_of(node_of(node_of(L[0], L[1]), node_of(L[2], L[3])), L[4]));
}

// --- known answers -------------------------------------------------------------------------

std::string lengths_digest(const std::vector<Chunk>& chunks) {
  Sha256 sha;
  for (const Chunk& c : chunks) {
    uint8_t be[16];
    for (int k = 0; k < 8; ++k) {
      be[k] = static_cast<uint8_t>(c.offset >> (56 - 8 * k));
      be[8 + k] = static_cast<uint8_t>(c.len >> (56 - 8 * k));
    }
    sha.update(be, 16);
  }
  return hex(sha.finish());
}

TEST(ChunkingVectors, ManifestsMatch) {
  const JsonValue vectors = load_vectors("chunking.json");
  ASSERT_TRUE(vectors.is_array());
  for (const JsonValue& v : vectors.as_array()) {
    const Bytes data = vector_input(field(v, "input"));
    const JsonValue& s = field(v, "scheme");
    const bool cdc = field(s, "type").as_string() == "cdc";
    const ChunkScheme scheme = cdc ? ChunkScheme::cdc(field(s, "avg_size").as_u64())
                                   : ChunkScheme::fixed(field(s, "size").as_u64());
    SCOPED_TRACE(to_json_text(field(v, "input")) + " " + to_json_text(s));
    auto manifest = reference_manifest(data, scheme);
    ASSERT_TRUE(manifest.has_value());
    EXPECT_EQ(manifest->chunks.size(), field(v, "chunk_count").as_u64());
    EXPECT_EQ(lengths_digest(manifest->chunks), field(v, "chunk_lengths_sha256").as_string());
    EXPECT_EQ(manifest->root, field(v, "manifest_root").as_string());
    EXPECT_EQ(manifest->total_len, data.size());
    if (const JsonValue& expected = field(v, "chunks"); expected.is_array()) {
      Spans spans;
      for (const JsonValue& pair : expected.as_array()) {
        spans.emplace_back(pair.as_array()[0].as_u64(), pair.as_array()[1].as_u64());
      }
      EXPECT_EQ(spans_of(manifest->chunks), spans);
    }
  }
}

}  // namespace
}  // namespace quillmere
