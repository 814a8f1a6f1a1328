// Streaming data shape hashing: bytes arrive in pieces of any size (hashlib style), and
// the result is the manifest (root, length, scheme, and the chunks when asked) that the
// bytes function gives for the whole stream. Every manifest builder and data shape hash
// runs through it, over memory or files, its work spread over several threads when asked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/cancellation.h"
#include "shapes/cas.h"
#include "shapes/manifest.h"
#include "shapes/read_loop.h"
#include "shapes/sketch.h"

namespace quillmere {

class ChunkHashPool;

class ShapeStream {
 public:
  // `scheme` must have a size above 0 (see check_scheme). With `workers` above 1 the chunk
  // digests are taken on that many threads (this one included) while this thread finds
  // the boundaries; the result does not depend on the number of workers (nor on how many
  // threads the system lets it start: see ChunkHashPool).
  ShapeStream(ChunkScheme scheme, bool keep_chunks, unsigned workers = 1);
  ~ShapeStream();
  ShapeStream(const ShapeStream&) = delete;
  ShapeStream& operator=(const ShapeStream&) = delete;

  // Appends `data` to the stream; at most a window's worth of it is copied. `interrupt` is
  // asked between views of a long piece; false when it stopped the work, which leaves the
  // stream broken (nothing more can be fed).
  bool update(std::span<const uint8_t> data, const Interruption& interrupt = {});
  // A step failed or was stopped: the stream cannot go on.
  bool broken() const { return broken_; }
  // While `token` (which must outlive its use here) is cancelled, helper threads skip the
  // digests they have not begun: the stream is about to be dropped. Null: never.
  void set_cancel(const CancelToken* token);
  // Helper threads running now (0 before the first view, and where none could start).
  unsigned running_helpers() const;
  // Ends the stream. The manifest's chunk table is empty unless chunks are kept.
  CompactManifest finish();

  // The low-level form for readers that manage their own buffer: `view` holds stream bytes
  // [view_offset, view_offset + view.size()), begins at or before retain_from() and ends at
  // the newest byte; `at_end` ends the stream. Do not mix with update().
  void feed(std::span<const uint8_t> view, uint64_t view_offset, bool at_end);
  // The first stream position the next feed() must pass again (at most a window back).
  uint64_t retain_from() const;
  // As feed(), but may return before the digests of this view are taken (the work of the
  // views before it is done), so a reader can fill another buffer meanwhile; the view must
  // stay intact until the next feed_async() or drain().
  void feed_async(std::span<const uint8_t> view, uint64_t view_offset, bool at_end);
  void drain();
  // After the view with `at_end`: the manifest.
  CompactManifest take_manifest();

  uint64_t length() const { return length_; }
  ChunkScheme scheme() const { return scheme_; }
  // Chunk digests are taken on helper threads.
  bool threaded() const { return pool_ != nullptr; }

  // Also sketches the stream, in the same pass: its records, or (Chunks) its chunk digests.
  // Call before the first byte is given.
  void sketch(RecordMode mode);
  // After the stream ended: the sketch (an empty one of kind Chunks if none was asked).
  Sketch take_sketch();

 private:
  class Sink;
  template <class F>
  void guard(F&& step);

  ChunkScheme scheme_;
  bool keep_chunks_;
  uint64_t length_ = 0;         // bytes passed to update()
  bool broken_ = false;         // a step failed; nothing more can be fed
  std::vector<uint8_t> carry_;  // update(): stream bytes [retain_from(), length_)
  std::unique_ptr<Sink> sink_;
  StreamingChunker chunker_;
  std::unique_ptr<ChunkHashPool> pool_;
  std::unique_ptr<RecordSketcher> records_;
  uint64_t sketched_ = 0;  // stream bytes the record sketcher has seen
};

// A manifest with the sketch of the same bytes, made in one pass.
struct ManifestAndSketch {
  CompactManifest manifest;
  Sketch sketch;
};

// "Failed to build manifest: Chunking failed: ..." for a scheme with a zero size.
ShapeError scheme_build_error(const CasError& error);

// The engine under every builder below and the data shape hashes: feeds `stream` the whole
// of `data`, or of the file at `path` (pipes and endless files included), and ends it.
// `interrupt` is asked between views (for a file: between blocks, and when a system call is
// interrupted by a signal) and stops the work with Interrupted; the pool's helpers see its
// token. A file is read `block_size` bytes at a time, by default 1 MiB on one worker and
// 4 MiB into two buffers taking turns on more; an unreadable one gives file_read_error.
std::expected<void, ShapeError> stream_bytes(ShapeStream& stream, std::span<const uint8_t> data,
                                             const Interruption& interrupt = {});
std::expected<void, ShapeError> stream_file(ShapeStream& stream, std::string_view path,
                                            const Interruption& interrupt = {},
                                            std::optional<size_t> block_size = std::nullopt);

// The manifest of bytes in memory.
std::expected<CompactManifest, ShapeError> build_manifest(std::span<const uint8_t> data,
                                                          ChunkScheme scheme, unsigned workers,
                                                          const Interruption& interrupt = {});

// The manifest of a file read as a stream. A read failure gives "Serialization failed: Failed
// to read file: <os text> (os error N). Context: path: \"...\"" as its display().
std::expected<CompactManifest, ShapeError> build_manifest_from_file(
    std::string_view path, ChunkScheme scheme, bool keep_chunks, unsigned workers,
    const Interruption& interrupt = {});

// The builders above, sketching the same bytes as they pass (records, or chunk digests).
std::expected<ManifestAndSketch, ShapeError> build_manifest_and_sketch(
    std::span<const uint8_t> data, ChunkScheme scheme, RecordMode mode, unsigned workers,
    const Interruption& interrupt = {});
std::expected<ManifestAndSketch, ShapeError> build_manifest_and_sketch_from_file(
    std::string_view path, ChunkScheme scheme, bool keep_chunks, RecordMode mode, unsigned workers,
    const Interruption& interrupt = {});

}  // namespace quillmere
