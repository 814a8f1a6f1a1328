// Data shape hash: known answers, the scheme's part in the hash, error texts, and the
// streamed file function against the bytes function (blocks, pipes, unreadable paths).
#include "shapes/data_shape.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <set>
#include <thread>

#include "shape_test_support.h"

namespace quillmere {
namespace {

using namespace testing_support;
namespace fs = std::filesystem;

std::string bytes_hash(const Bytes& data, std::optional<ChunkScheme> scheme = std::nullopt) {
  auto h = compute_data_shape_hash_from_bytes(data, scheme);
  EXPECT_TRUE(h.has_value()) << (h ? "" : h.error().display());
  return h ? *h : "";
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "qm-shape-XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() { fs::remove_all(path_); }
  std::string write(const std::string& name, const Bytes& data) const {
    const std::string p = (path_ / name).string();
    FILE* f = std::fopen(p.c_str(), "wb");
    if (!data.empty()) std::fwrite(data.data(), 1, data.size(), f);
    std::fclose(f);
    return p;
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

TEST(DataShapeVectors, HashesMatch) {
  const JsonValue vectors = load_vectors("chunking.json");
  ASSERT_TRUE(vectors.is_array());
  for (const JsonValue& v : vectors.as_array()) {
    const JsonValue& s = field(v, "scheme");
    const ChunkScheme scheme = field(s, "type").as_string() == "cdc"
                                   ? ChunkScheme::cdc(field(s, "avg_size").as_u64())
                                   : ChunkScheme::fixed(field(s, "size").as_u64());
    EXPECT_EQ(bytes_hash(vector_input(field(v, "input")), scheme),
              field(v, "data_shape_hash").as_string())
        << chunk_scheme_text(scheme);
  }
}

TEST(DataShape, AbsentSchemeIsCdc65536) {
  std::mt19937_64 rng(1);
  for (size_t n : {0u, 100u, 200000u}) {
    const Bytes data = random_bytes(rng, n);
    EXPECT_EQ(bytes_hash(data), bytes_hash(data, ChunkScheme::cdc(65536)));
  }
}

// The scheme is part of the descriptor: equal chunks and roots still hash apart.
TEST(DataShape, SchemeChangesTheHash) {
  const Bytes empty;
  const std::vector<ChunkScheme> schemes = {ChunkScheme::cdc(1), ChunkScheme::cdc(65536),
                                            ChunkScheme::fixed(1), ChunkScheme::fixed(65536)};
  std::set<std::string> hashes;
  for (ChunkScheme s : schemes) hashes.insert(bytes_hash(empty, s));
  EXPECT_EQ(hashes.size(), schemes.size());

  const Bytes hundred(100, 9);
  auto m100 = reference_manifest(hundred, ChunkScheme::fixed(100));
  auto m4096 = reference_manifest(hundred, ChunkScheme::fixed(4096));
  ASSERT_TRUE(m100 && m4096);
  EXPECT_EQ(m100->root, m4096->root);
  EXPECT_NE(bytes_hash(hundred, ChunkScheme::fixed(100)),
            bytes_hash(hundred, ChunkScheme::fixed(4096)));
}

TEST(DataShape, DescriptorIsTheCanonicalText) {
  // The same descriptor written out by hand, hashed independently of the JSON writer.
  const std::string root = "sha256:" + std::string(64, 'a');
  const std::string text =
      "{\"chunk_scheme\":{\"avg_size\":65536,\"type\":\"cdc\"},\"kind\":"
      "\"bytestream\",\"manifest_len\":18446744073709551615,"
      "\"manifest_root\":\"" +
      root + "\"}";
  EXPECT_EQ(data_shape_hash(root, UINT64_MAX, ChunkScheme::cdc(65536)), hash_string(sha256(text)));
  const std::string fixed =
      "{\"chunk_scheme\":{\"size\":0,\"type\":\"fixed\"},\"kind\":"
      "\"bytestream\",\"manifest_len\":0,\"manifest_root\":\"" +
      root + "\"}";
  EXPECT_EQ(data_shape_hash(root, 0, ChunkScheme::fixed(0)), hash_string(sha256(fixed)));
}

struct ErrorCase {
  size_t length;
  ChunkScheme scheme;
  std::string display;
};

class DataShapeErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(DataShapeErrors, ExactText) {
  const Bytes data(GetParam().length, 3);
  auto h = compute_data_shape_hash_from_bytes(data, GetParam().scheme);
  ASSERT_FALSE(h.has_value());
  EXPECT_EQ(h.error().display(), GetParam().display);

  TempDir dir;
  auto f = compute_data_shape_hash_from_file(dir.write("f", data), GetParam().scheme, 4);
  ASSERT_FALSE(f.has_value());
  EXPECT_EQ(f.error(), h.error());
}

INSTANTIATE_TEST_SUITE_P(
    ZeroSizes, DataShapeErrors,
    ::testing::Values(
        ErrorCase{10, ChunkScheme::fixed(0),
                  "Serialization failed: Failed to build manifest: Chunking failed: Chunk size "
                  "must be > 0. Context: data_size: 10, chunk_scheme: Fixed { size: 0 }"},
        ErrorCase{0, ChunkScheme::cdc(0),
                  "Serialization failed: Failed to build manifest: Chunking failed: Average "
                  "chunk size must be > 0. Context: data_size: 0, chunk_scheme: CDC { avg_size: "
                  "0 }"},
        ErrorCase{70000, ChunkScheme::cdc(0),
                  "Serialization failed: Failed to build manifest: Chunking failed: Average "
                  "chunk size must be > 0. Context: data_size: 70000, chunk_scheme: CDC { "
                  "avg_size: 0 }"}));

// --- files ---------------------------------------------------------------------------------

struct FileCase {
  ChunkScheme scheme;
  size_t block_size;
};

class FileEqualsBytes : public ::testing::TestWithParam<FileCase> {};

// Lengths around chunk edges and read block edges, random and low-entropy contents.
TEST_P(FileEqualsBytes, ForManyLengths) {
  const auto [scheme, block] = GetParam();
  std::mt19937_64 rng(scheme.size * 31 + block);
  const uint64_t avg = scheme.size;
  std::vector<size_t> lengths = {0,
                                 1,
                                 47,
                                 48,
                                 49,
                                 block - 1,
                                 block,
                                 block + 1,
                                 2 * block + 47,
                                 static_cast<size_t>(std::min<uint64_t>(avg / 2 + 48, 300000)),
                                 static_cast<size_t>(std::min<uint64_t>(2 * avg + 47, 300000))};
  const size_t spread = avg < 64 ? 20000 : 150000;  // tiny chunks cost a digest each
  for (int k = 0; k < 6; ++k) lengths.push_back(rng() % spread);
  TempDir dir;
  for (size_t n : lengths) {
    for (unsigned alphabet : {2u, 256u}) {
      const Bytes data = random_bytes(rng, n, alphabet);
      auto f = compute_data_shape_hash_from_file(dir.write("f", data), scheme, block);
      ASSERT_TRUE(f.has_value()) << f.error().display();
      ASSERT_EQ(*f, bytes_hash(data, scheme)) << "length " << n;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    SchemesAndBlocks, FileEqualsBytes,
    ::testing::Values(FileCase{ChunkScheme::cdc(1), 1}, FileCase{ChunkScheme::cdc(1), 50},
                      FileCase{ChunkScheme::cdc(16), 7}, FileCase{ChunkScheme::cdc(64), 48},
                      FileCase{ChunkScheme::cdc(100), 4096}, FileCase{ChunkScheme::cdc(4096), 333},
                      FileCase{ChunkScheme::cdc(65536), 1000},
                      FileCase{ChunkScheme::cdc(65536), kFileBlockSize},
                      FileCase{ChunkScheme::fixed(1), 3}, FileCase{ChunkScheme::fixed(4096), 4096},
                      FileCase{ChunkScheme::fixed(65536), 5000}));

TEST(DataShapeFile, DefaultSchemeAndDefaultBlock) {
  std::mt19937_64 rng(2);
  const Bytes data = random_bytes(rng, 3 * kFileBlockSize + 12345);
  TempDir dir;
  auto f = compute_data_shape_hash_from_file(dir.write("big", data));
  ASSERT_TRUE(f.has_value());
  EXPECT_EQ(*f, bytes_hash(data));
}

// A pipe has no size; it is read as a stream until its writer closes it.
TEST(DataShapeFile, PipeIsReadAsAStream) {
  std::mt19937_64 rng(3);
  const Bytes data = random_bytes(rng, 300000, 4);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::thread writer([&] {
    for (size_t pos = 0; pos < data.size();) {
      const ssize_t n = write(fds[1], data.data() + pos, std::min<size_t>(777, data.size() - pos));
      if (n <= 0) break;
      pos += static_cast<size_t>(n);
    }
    close(fds[1]);
  });
  auto f = compute_data_shape_hash_from_file("/dev/fd/" + std::to_string(fds[0]),
                                             ChunkScheme::cdc(256), 1 << 16);
  writer.join();
  close(fds[0]);
  ASSERT_TRUE(f.has_value()) << f.error().display();
  EXPECT_EQ(*f, bytes_hash(data, ChunkScheme::cdc(256)));
}

TEST(DataShapeFile, MissingFile) {
  TempDir dir;
  const std::string path = (dir.path() / "no such file").string();
  auto f = compute_data_shape_hash_from_file(path);
  ASSERT_FALSE(f.has_value());
  EXPECT_EQ(f.error().display(),
            "Serialization failed: Failed to read file: No such file or directory (os error 2). "
            "Context: path: \"" +
                path + "\"");
  // A read failure comes before a zero-size scheme is looked at.
  auto zero = compute_data_shape_hash_from_file(path, ChunkScheme::fixed(0));
  ASSERT_FALSE(zero.has_value());
  EXPECT_EQ(zero.error(), f.error());
}

TEST(DataShapeFile, DirectoryFailsOnRead) {
  TempDir dir;
  auto f = compute_data_shape_hash_from_file(dir.path().string());
  ASSERT_FALSE(f.has_value());
  EXPECT_EQ(f.error().message, "Failed to read file: Is a directory (os error 21)");
  EXPECT_EQ(f.error().context, "path: \"" + dir.path().string() + "\"");
}

TEST(DataShapeFile, NulInPathFailsWithoutTouchingTheFileSystem) {
  TempDir dir;
  const std::string existing = dir.write("x", Bytes(5, 1));
  const std::string path = existing + std::string(1, '\0') + "tail";
  auto f = compute_data_shape_hash_from_file(path);
  ASSERT_FALSE(f.has_value());
  EXPECT_EQ(f.error().message, "Failed to read file: file name contained an unexpected NUL byte");
  EXPECT_EQ(f.error().context, "path: \"" + existing + "\\0tail\"");
}

struct QuoteCase {
  std::string path;
  std::string quoted;
};

class QuotePath : public ::testing::TestWithParam<QuoteCase> {};

TEST_P(QuotePath, Escapes) {
  EXPECT_EQ(quote_path(GetParam().path), GetParam().quoted);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, QuotePath,
    ::testing::Values(QuoteCase{"/tmp/a b", "\"/tmp/a b\""},
                      QuoteCase{"say \"hi\"\\", "\"say \\\"hi\\\"\\\\\""},
                      QuoteCase{"a\tb\nc\rd", "\"a\\tb\\nc\\rd\""},
                      QuoteCase{std::string("\x01\x1b\x7f", 3), "\"\\u{1}\\u{1b}\\u{7f}\""},
                      QuoteCase{"\xc2\x85", "\"\\u{85}\""},  // a C1 control
                      QuoteCase{"caf\xc3\xa9/\xe2\x82\xac", "\"caf\xc3\xa9/\xe2\x82\xac\""},
                      QuoteCase{"bad\xff", "\"bad\\xFF\""}, QuoteCase{"", "\"\""}));

}  // namespace
}  // namespace quillmere
