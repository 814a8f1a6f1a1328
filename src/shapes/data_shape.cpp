// Data shape hash of bytes and of files. Both run the streaming chunker into a Merkle
// folder: the hash needs only the root and the length, never the chunk list.
#include "shapes/data_shape.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <new>

#include "base/posix_io.h"
#include "base/quote.h"
#include "codec/commitments.h"
#include "codec/json_value.h"
#include "shapes/window_hash.h"

namespace quillmere {
namespace {

class ShapeSink final : public ChunkSink {
 public:
  void on_chunk(uint64_t /*offset*/, uint64_t len, const Digest& digest) override {
    folder.add_chunk(digest);
    total_len += len;
  }
  MerkleFolder folder;
  uint64_t total_len = 0;
};

DataShapeError manifest_error(const CasError& error, uint64_t data_size, ChunkScheme scheme) {
  return DataShapeError{
      DataShapeError::Kind::SerializationFailed, "Failed to build manifest: " + error.display(),
      "data_size: " + std::to_string(data_size) + ", chunk_scheme: " + chunk_scheme_text(scheme)};
}

struct AlignedDelete {
  void operator()(uint8_t* p) const { ::operator delete[](p, std::align_val_t{4096}); }
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

std::expected<std::string, DataShapeError> compute_data_shape_hash_from_bytes(
    std::span<const uint8_t> data, std::optional<ChunkScheme> chunk_scheme) {
  const ChunkScheme scheme = chunk_scheme.value_or(kDefaultChunkScheme);
  if (auto error = check_scheme(scheme, data.size())) {
    return std::unexpected(manifest_error(*error, data.size(), scheme));
  }
  ShapeSink sink;
  StreamingChunker chunker(scheme);
  chunker.feed(data, 0, true, sink);
  return data_shape_hash(hash_string(sink.folder.root()), sink.total_len, scheme);
}

DataShapeError file_read_error(std::string os_text, std::string_view path) {
  return DataShapeError{DataShapeError::Kind::SerializationFailed,
                        "Failed to read file: " + std::move(os_text), "path: " + quote_path(path)};
}

std::expected<std::string, DataShapeError> compute_data_shape_hash_from_file(
    std::string_view path, std::optional<ChunkScheme> chunk_scheme, size_t block_size,
    const Interruption& interrupt) {
  const ChunkScheme scheme = chunk_scheme.value_or(kDefaultChunkScheme);
  if (path.find('\0') != std::string_view::npos) {
    return std::unexpected(file_read_error("file name contained an unexpected NUL byte", path));
  }
  const auto fault = [&](const OsError& error) {
    if (error.interrupted()) return DataShapeError{DataShapeError::Kind::Interrupted, {}, {}};
    return file_read_error(error.text(), path);
  };
  // Asked when a signal interrupts the open (a FIFO waiting for its writer) or a read.
  const InterruptCheck after_signal = [&] { return interrupt(true); };
  auto opened = open_file(PosixIo::system(), std::string(path).c_str(), O_RDONLY, 0, after_signal);
  if (!opened) return std::unexpected(fault(opened.error()));
  const UniqueFd file = std::move(*opened);
  ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

  // A zero size is reported after the whole file has been read, with its length, as the
  // bytes function would report it for the contents.
  const std::optional<CasError> scheme_error = check_scheme(scheme, 0);
  std::optional<StreamingChunker> chunker;
  if (!scheme_error) chunker.emplace(scheme);
  ShapeSink sink;

  // Blocks are read to a page-aligned spot (the kernel copies fastest there); the bytes the
  // chunker still needs (at most a window) are moved just in front of it.
  constexpr size_t kCarryRoom = 4096;
  static_assert(kCarryRoom >= cdc::kWindow);
  block_size = std::max<size_t>(block_size, 1);
  const std::unique_ptr<uint8_t[], AlignedDelete> buffer(static_cast<uint8_t*>(
      ::operator new[](kCarryRoom + block_size, std::align_val_t{kCarryRoom})));
  uint8_t* const block = buffer.get() + kCarryRoom;
  uint64_t block_offset = 0;  // stream position of block[0]
  size_t carried = 0;         // bytes kept in front of the block
  for (;;) {
    const auto n = read_some(PosixIo::system(), file.get(), block, block_size, after_signal);
    if (!n) return std::unexpected(fault(n.error()));
    const bool at_end = *n == 0;
    const size_t got = *n;
    if (chunker) {
      chunker->feed({block - carried, carried + got}, block_offset - carried, at_end, sink);
      if (at_end) break;
      const uint64_t end = block_offset + got;
      carried = static_cast<size_t>(end - chunker->retain_from());
      std::memmove(block - carried, block + got - carried, carried);
    } else if (at_end) {
      break;
    }
    block_offset += got;
    if (interrupt()) return std::unexpected(fault(OsError{EINTR}));
  }
  if (scheme_error) {
    return std::unexpected(manifest_error(*scheme_error, block_offset, scheme));
  }
  return data_shape_hash(hash_string(sink.folder.root()), sink.total_len, scheme);
}

std::string quote_path(std::string_view path) {
  return quoted(path, Controls::kAsciiAndC1);
}

}  // namespace quillmere
