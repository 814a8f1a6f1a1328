// Manifests of one stream built in pieces: each piece covers a byte range and is chunked as if
// a chunk started at the range's first byte; joining walks the true boundary chain across
// each seam until it meets a boundary of a later piece, from where the two chains coincide
// (a boundary depends only on where its chunk starts and on the bytes). The joined manifest
// equals the one-pass manifest for every input, scheme and split. Pieces travel between
// processes in a compact binary form of their own.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/cancellation.h"
#include "shapes/cas.h"
#include "shapes/manifest.h"
#include "shapes/shape_stream.h"

namespace quillmere {

struct ManifestPiece {
  ChunkScheme chunk_scheme;
  uint64_t offset = 0;  // stream position of the range's first byte
  uint64_t length = 0;  // bytes in the range
  bool final = false;   // the stream ends where the range ends
  // The chunks whose end the range's bytes settle, contiguous from `offset` (stream
  // offsets). Their end is settled_end; the bytes after it wait for the next piece.
  ChunkTable chunks;
  uint64_t settled_end = 0;  // equals offset + length for a final piece

  uint64_t end() const { return offset + length; }
};

// The piece of bytes [offset, offset + length) of a file (to the end of the file without a
// length). A file that ends inside the range gives a final piece that stops at its end; a
// range that ends exactly at the end of the file is final too. Read failures are reported
// as build_manifest_from_file reports them.
std::expected<ManifestPiece, ShapeError> build_piece_from_file(std::string_view path,
                                                               ChunkScheme scheme, uint64_t offset,
                                                               std::optional<uint64_t> length,
                                                               const Interruption& interrupt = {});

// The manifest of the whole stream from its pieces, in stream order: contiguous from 0,
// one scheme, the last one (only) final. Bytes between seams are read from `reader`.
// Pieces that do not fit together give a Chunking error "Cannot join manifest pieces: ...".
std::expected<CompactManifest, ShapeError> join_pieces(std::span<const ManifestPiece> pieces,
                                                       StreamReader& reader);

// join_pieces reading the seams from a file.
std::expected<CompactManifest, ShapeError> join_pieces_from_file(
    std::string_view path, std::span<const ManifestPiece> pieces,
    const Interruption& interrupt = {});

// The compact binary form: "QMPC", a version byte (1), the scheme's kind (0 CDC, 1 fixed), a
// flags byte (1: final), a zero byte; then LEB128 numbers: the scheme's size, the offset, the
// length and the chunk count; then per chunk its length (LEB128) and its 32-byte digest.
// Chunk offsets follow from the lengths. About 35 bytes a chunk.
std::string piece_to_bytes(const ManifestPiece& piece);

// Reads the binary form back, refusing anything that is not exactly one well-formed piece
// (the text names the fault).
std::expected<ManifestPiece, std::string> piece_from_bytes(std::span<const uint8_t> data);

// The whole stream as one piece (offset 0, final), and back: a manifest in the binary form.
ManifestPiece piece_of_manifest(const CompactManifest& manifest);
std::expected<CompactManifest, std::string> manifest_of_piece(ManifestPiece piece);

}  // namespace quillmere
