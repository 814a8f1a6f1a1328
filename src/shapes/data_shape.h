// The data shape hash: a commitment to how a byte stream is chunked under a scheme,
// through its manifest's Merkle root and length. Computed for bytes in memory and for
// files (streamed in blocks so memory stays flat whatever their size) by the shape stream.
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
#include "shapes/read_loop.h"

namespace quillmere {

inline constexpr ChunkScheme kDefaultChunkScheme = ChunkScheme::cdc(65536);

// "CDC { avg_size: N }" or "Fixed { size: N }".
std::string chunk_scheme_text(ChunkScheme scheme);

// sha256_prefixed of the canonical text of the shape descriptor
// {"chunk_scheme":{...},"kind":"bytestream","manifest_len":N,"manifest_root":"sha256:..."}.
std::string data_shape_hash(std::string_view manifest_root, uint64_t manifest_len,
                            ChunkScheme scheme);

// An absent scheme means kDefaultChunkScheme. A scheme with a zero size gives Chunking
// "Failed to build manifest: Chunking failed: ..." with context
// "data_size: N, chunk_scheme: <chunk_scheme_text>".
std::expected<std::string, ShapeError> compute_data_shape_hash_from_bytes(
    std::span<const uint8_t> data, std::optional<ChunkScheme> chunk_scheme = std::nullopt);

// The bytes function's result for the file's contents, read `block_size` bytes at a time
// (pipes and files of unknown size work as streams). An unreadable file gives
// Read "Failed to read file: <os text> (os error N)" with context
// "path: " + the quoted path; a path holding a NUL byte fails before any file access.
// `interrupt` is asked between blocks and when a signal interrupts the open or a read;
// when it says stop the result is Interrupted.
std::expected<std::string, ShapeError> compute_data_shape_hash_from_file(
    std::string_view path, std::optional<ChunkScheme> chunk_scheme = std::nullopt,
    size_t block_size = kFileBlockSize, const Interruption& interrupt = {});

}  // namespace quillmere
