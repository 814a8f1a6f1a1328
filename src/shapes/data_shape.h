// The data shape hash: a commitment to how a byte stream is chunked under a scheme,
// through its manifest's Merkle root and length. Computed for bytes in memory and for
// files, which are streamed in blocks so memory stays flat whatever their size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/cancellation.h"
#include "shapes/cas.h"

namespace quillmere {

inline constexpr ChunkScheme kDefaultChunkScheme = ChunkScheme::cdc(65536);

// "CDC { avg_size: N }" or "Fixed { size: N }".
std::string chunk_scheme_text(ChunkScheme scheme);

struct DataShapeError {
  // Interrupted: the caller's interruption check stopped the work (no text of its own).
  enum class Kind { SerializationFailed, Interrupted };
  Kind kind = Kind::SerializationFailed;
  std::string message;
  std::string context;

  std::string display() const {
    return "Serialization failed: " + message + ". Context: " + context;
  }
  friend bool operator==(const DataShapeError&, const DataShapeError&) = default;
};

// sha256_prefixed of the canonical text of the shape descriptor
// {"chunk_scheme":{...},"kind":"bytestream","manifest_len":N,"manifest_root":"sha256:..."}.
std::string data_shape_hash(std::string_view manifest_root, uint64_t manifest_len,
                            ChunkScheme scheme);

// An absent scheme means kDefaultChunkScheme.
std::expected<std::string, DataShapeError> compute_data_shape_hash_from_bytes(
    std::span<const uint8_t> data, std::optional<ChunkScheme> chunk_scheme = std::nullopt);

inline constexpr size_t kFileBlockSize = size_t{1} << 20;

// The bytes function's result for the file's contents, read `block_size` bytes at a time
// (pipes and files of unknown size work as streams). An unreadable file gives
// SerializationFailed "Failed to read file: <os text> (os error N)" with context
// "path: " + the quoted path; a path holding a NUL byte fails before any file access.
// `interrupt` is asked between blocks and when a signal interrupts the open or a read;
// when it says stop the result is Interrupted.
std::expected<std::string, DataShapeError> compute_data_shape_hash_from_file(
    std::string_view path, std::optional<ChunkScheme> chunk_scheme = std::nullopt,
    size_t block_size = kFileBlockSize, const Interruption& interrupt = {});

// "Failed to read file: " + the OS text, with context "path: " + the quoted path.
DataShapeError file_read_error(std::string os_text, std::string_view path);

// `path` between double quotes with backslash escapes for quotes, backslashes and
// control characters, as the file error context shows it.
std::string quote_path(std::string_view path);

}  // namespace quillmere
