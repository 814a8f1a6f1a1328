// Data shape hash of bytes and of files: both run the shape stream without keeping chunks,
// as the hash needs only the root and the length.
#include "shapes/data_shape.h"

#include "codec/commitments.h"
#include "codec/json_value.h"
#include "shapes/shape_stream.h"

namespace quillmere {
namespace {

ShapeError scheme_error(const CasError& error, uint64_t data_size, ChunkScheme scheme) {
  return ShapeError{
      ShapeError::Kind::Chunking, "Failed to build manifest: " + error.display(),
      "data_size: " + std::to_string(data_size) + ", chunk_scheme: " + chunk_scheme_text(scheme)};
}

// Takes a stream's views only to learn its length.
class LengthOnly final : public ViewConsumer {
 public:
  void feed(std::span<const uint8_t> view, uint64_t offset, bool /*at_end*/) override {
    end_ = offset + view.size();
  }
  uint64_t retain_from() const override { return end_; }

 private:
  uint64_t end_ = 0;
};

}  // namespace

std::string chunk_scheme_text(ChunkScheme scheme) {
  if (scheme.kind == ChunkScheme::Kind::CDC) {
    return "CDC { avg_size: " + std::to_string(scheme.size) + " }";
  }
  return "Fixed { size: " + std::to_string(scheme.size) + " }";
}

std::string data_shape_hash(std::string_view manifest_root, uint64_t manifest_len,
                            ChunkScheme scheme) {
  JsonObject chunk_scheme;
  if (scheme.kind == ChunkScheme::Kind::CDC) {
    chunk_scheme.insert("type", "cdc");
    chunk_scheme.insert("avg_size", scheme.size);
  } else {
    chunk_scheme.insert("type", "fixed");
    chunk_scheme.insert("size", scheme.size);
  }
  JsonObject descriptor;
  descriptor.insert("kind", "bytestream");
  descriptor.insert("manifest_root", std::string(manifest_root));
  descriptor.insert("manifest_len", manifest_len);
  descriptor.insert("chunk_scheme", std::move(chunk_scheme));
  return sha256_prefixed(jcs(JsonValue(std::move(descriptor))));
}

std::expected<std::string, ShapeError> compute_data_shape_hash_from_bytes(
    std::span<const uint8_t> data, std::optional<ChunkScheme> chunk_scheme) {
  const ChunkScheme scheme = chunk_scheme.value_or(kDefaultChunkScheme);
  if (auto error = check_scheme(scheme, data.size())) {
    return std::unexpected(scheme_error(*error, data.size(), scheme));
  }
  ShapeStream stream(scheme, false);
  if (auto done = stream_bytes(stream, data); !done) return std::unexpected(done.error());
  return stream.take_manifest().shape_hash();
}

std::expected<std::string, ShapeError> compute_data_shape_hash_from_file(
    std::string_view path, std::optional<ChunkScheme> chunk_scheme, size_t block_size,
    const Interruption& interrupt) {
  const ChunkScheme scheme = chunk_scheme.value_or(kDefaultChunkScheme);
  if (auto error = check_scheme(scheme, 0)) {
    // Reported after the whole file has been read, with its length, as the bytes function
    // would report it for the contents.
    LengthOnly length;
    auto read = read_file(path, length, block_size, false, interrupt);
    if (!read) return std::unexpected(std::move(read.error()));
    return std::unexpected(scheme_error(*error, *read, scheme));
  }
  ShapeStream stream(scheme, false);
  if (auto done = stream_file(stream, path, interrupt, block_size); !done) {
    return std::unexpected(std::move(done.error()));
  }
  return stream.take_manifest().shape_hash();
}

}  // namespace quillmere
