// Streaming shape hashing and the manifest builders.
#include "shapes/shape_stream.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <optional>
#include <stdexcept>

#include "base/posix_io.h"
#include "shapes/chunk_hash_pool.h"
#include "shapes/data_shape.h"

namespace quillmere {

// Folds chunks into the root and length, and keeps them when asked.
class ShapeStream::Sink final : public HashedChunkSink {
 public:
  Sink(ChunkScheme scheme, bool keep) : keep_(keep) { manifest_.chunk_scheme = scheme; }
  void on_chunk(uint64_t offset, uint64_t len, const Digest& digest) override {
    if (chunk_sketch) chunk_sketch->add(first_word(digest));
    folder_.add_chunk(digest);
    manifest_.total_len += len;
    if (keep_) manifest_.chunks.push_back(ChunkRecord{offset, len, digest});
  }
  // A chunk whose leaf is already known.
  void on_hashed_chunk(const ChunkRecord& record, const Digest& leaf) override {
    if (chunk_sketch) chunk_sketch->add(first_word(record.digest));
    folder_.add_node(leaf, 0);
    manifest_.total_len += record.len;
    if (keep_) manifest_.chunks.push_back(record);
  }
  CompactManifest take() {
    manifest_.root = folder_.root();
    manifest_.chunks.shrink();
    return std::move(manifest_);
  }
  std::optional<Sketch> chunk_sketch;  // when the chunks are sketched

 private:
  static uint64_t first_word(const Digest& digest) {
    uint64_t word = 0;
    for (int i = 7; i >= 0; --i) word = word << 8 | digest[static_cast<size_t>(i)];
    return word;
  }

  bool keep_;
  CompactManifest manifest_;
  MerkleFolder folder_;
};

ShapeStream::ShapeStream(ChunkScheme scheme, bool keep_chunks, unsigned workers)
    : scheme_(scheme),
      keep_chunks_(keep_chunks),
      sink_(std::make_unique<Sink>(scheme, keep_chunks)),
      chunker_(scheme) {
  if (workers > 1) pool_ = std::make_unique<ChunkHashPool>(scheme, workers - 1);
}

ShapeStream::~ShapeStream() = default;

uint64_t ShapeStream::retain_from() const {
  return pool_ ? pool_->retain_from() : chunker_.retain_from();
}

void ShapeStream::feed(std::span<const uint8_t> view, uint64_t view_offset, bool at_end) {
  feed_async(view, view_offset, at_end);
  drain();
}

// A failure (only memory exhaustion can fail here) leaves the stream unusable, and no
// helper reading a view that its owner is about to give back.
template <class F>
void ShapeStream::guard(F&& step) {
  if (broken_) throw std::logic_error("shape stream used after a failure");
  try {
    step();
  } catch (...) {
    broken_ = true;
    if (pool_) pool_->abandon();
    throw;
  }
}

void ShapeStream::sketch(RecordMode mode) {
  if (mode == RecordMode::Chunks) {
    sink_->chunk_sketch.emplace(RecordMode::Chunks);
  } else {
    records_ = std::make_unique<RecordSketcher>(mode);
  }
}

Sketch ShapeStream::take_sketch() {
  if (records_) return records_->finish();
  if (sink_->chunk_sketch) return *sink_->chunk_sketch;
  return Sketch(RecordMode::Chunks);
}

void ShapeStream::feed_async(std::span<const uint8_t> view, uint64_t view_offset, bool at_end) {
  guard([&] {
    // A view may begin with bytes an earlier view held; the records see each byte once.
    if (records_ && view_offset + view.size() > sketched_) {
      records_->feed(view.subspan(static_cast<size_t>(sketched_ - view_offset)));
      sketched_ = view_offset + view.size();
    }
    if (pool_) {
      pool_->feed(view, view_offset, at_end, *sink_);
    } else {
      chunker_.feed(view, view_offset, at_end, *sink_);
    }
  });
}

void ShapeStream::drain() {
  if (pool_) guard([&] { pool_->drain(*sink_); });
}

namespace {
// update() passes long pieces on in views of at most this many new bytes, so that the
// work in flight (and the chunk records waiting for their digests) stays bounded.
constexpr size_t kMaxView = size_t{1} << 20;
// The bytes of a new piece copied behind the carried ones: enough to finish every window
// the carried bytes begin.
constexpr size_t kStitch = 4096;
}  // namespace

void ShapeStream::set_cancel(const CancelToken* token) {
  if (pool_) pool_->set_cancel(token);
}

unsigned ShapeStream::running_helpers() const {
  return pool_ ? pool_->running_helpers() : 0;
}

namespace {
// Lets a pool's helpers see a token for one call.
class PoolCancel {
 public:
  PoolCancel(ShapeStream& stream, const CancelToken* token) : stream_(stream) {
    stream_.set_cancel(token);
  }
  ~PoolCancel() { stream_.set_cancel(nullptr); }
  PoolCancel(const PoolCancel&) = delete;
  PoolCancel& operator=(const PoolCancel&) = delete;

 private:
  ShapeStream& stream_;
};
}  // namespace

bool ShapeStream::update(std::span<const uint8_t> data, const Interruption& interrupt) {
  if (data.empty()) return true;
  const PoolCancel cancel(*this, interrupt.token);
  // Stops between views; what was fed is no longer the stream the caller gave.
  const auto stopped = [&] {
    if (!interrupt()) return false;
    broken_ = true;
    return true;
  };
  const uint64_t pos = length_;
  const size_t n = data.size();
  length_ += n;
  size_t used = 0;
  if (!carry_.empty()) {
    const uint64_t carry_offset = pos - carry_.size();
    used = std::min(n, kStitch);
    carry_.insert(carry_.end(), data.begin(), data.begin() + static_cast<ptrdiff_t>(used));
    feed(carry_, carry_offset, false);
    const size_t keep_from = static_cast<size_t>(retain_from() - carry_offset);
    if (used == n) {
      carry_.erase(carry_.begin(), carry_.begin() + static_cast<ptrdiff_t>(keep_from));
      return true;
    }
    carry_.clear();  // what is still needed lies in `data` now
  }
  while (used < n) {
    if (stopped()) return false;
    const size_t begin = static_cast<size_t>(retain_from() - pos);
    const size_t end = std::min(n, used + kMaxView);
    feed(data.subspan(begin, end - begin), pos + begin, false);
    used = end;
  }
  const size_t keep_from = static_cast<size_t>(retain_from() - pos);
  carry_.assign(data.begin() + static_cast<ptrdiff_t>(keep_from), data.end());
  return true;
}

CompactManifest ShapeStream::finish() {
  feed(carry_, length_ - carry_.size(), true);
  carry_.clear();
  carry_.shrink_to_fit();
  return take_manifest();
}

CompactManifest ShapeStream::take_manifest() {
  drain();
  return sink_->take();
}

BuildError scheme_build_error(const CasError& error) {
  return BuildError{BuildError::Kind::Chunking, "Failed to build manifest: " + error.display()};
}

namespace {

// Feeds bytes in memory through `stream` in bounded views; false when `interrupt` stopped it.
bool feed_memory(ShapeStream& stream, std::span<const uint8_t> data,
                 const Interruption& interrupt) {
  const PoolCancel cancel(stream, interrupt.token);
  uint64_t done = 0;
  while (done < data.size()) {
    if (interrupt()) {
      stream.drain();
      return false;
    }
    const uint64_t from = stream.retain_from();
    const uint64_t to = std::min<uint64_t>(data.size(), done + kMaxView);
    stream.feed_async(data.subspan(from, to - from), from, to == data.size());
    done = to;
  }
  if (data.empty()) stream.feed_async({}, 0, true);
  stream.drain();
  return true;
}

}  // namespace

std::expected<CompactManifest, BuildError> build_manifest(std::span<const uint8_t> data,
                                                          ChunkScheme scheme, unsigned workers,
                                                          const Interruption& interrupt) {
  if (auto error = check_scheme(scheme, data.size())) {
    return std::unexpected(scheme_build_error(*error));
  }
  if (workers <= 1) return build_compact_manifest(data, scheme);
  ShapeStream stream(scheme, true, workers);
  if (!feed_memory(stream, data, interrupt)) {
    return std::unexpected(BuildError{BuildError::Kind::Interrupted, {}});
  }
  CompactManifest manifest = stream.take_manifest();
  return manifest;
}

std::expected<ManifestAndSketch, BuildError> build_manifest_and_sketch(
    std::span<const uint8_t> data, ChunkScheme scheme, RecordMode mode, unsigned workers,
    const Interruption& interrupt) {
  if (auto error = check_scheme(scheme, data.size())) {
    return std::unexpected(scheme_build_error(*error));
  }
  ShapeStream stream(scheme, true, workers);
  stream.sketch(mode);
  if (!feed_memory(stream, data, interrupt)) {
    return std::unexpected(BuildError{BuildError::Kind::Interrupted, {}});
  }
  CompactManifest manifest = stream.take_manifest();
  return ManifestAndSketch{std::move(manifest), stream.take_sketch()};
}

namespace {

struct AlignedDelete {
  void operator()(uint8_t* p) const { ::operator delete[](p, std::align_val_t{4096}); }
};
using AlignedBuffer = std::unique_ptr<uint8_t[], AlignedDelete>;

AlignedBuffer aligned_buffer(size_t size) {
  return AlignedBuffer(static_cast<uint8_t*>(::operator new[](size, std::align_val_t{4096})));
}

}  // namespace

namespace {

// The file builder; sketches the bytes too when `mode` is given.
std::expected<ManifestAndSketch, BuildError> file_manifest(std::string_view path,
                                                           ChunkScheme scheme, bool keep_chunks,
                                                           std::optional<RecordMode> mode,
                                                           unsigned workers,
                                                           const Interruption& interrupt) {
  if (auto error = check_scheme(scheme, 0)) return std::unexpected(scheme_build_error(*error));
  const auto fault = [&](const OsError& error) {
    if (error.interrupted()) return BuildError{BuildError::Kind::Interrupted, {}};
    return BuildError{BuildError::Kind::Read, file_read_error(error.text(), path).display()};
  };
  if (path.find('\0') != std::string_view::npos) {
    return std::unexpected(
        BuildError{BuildError::Kind::Read,
                   file_read_error("file name contained an unexpected NUL byte", path).display()});
  }
  // Asked when a signal interrupts the open (a FIFO waiting for its writer) or a read.
  const InterruptCheck after_signal = [&] { return interrupt(true); };
  auto file = open_file(PosixIo::system(), std::string(path).c_str(), O_RDONLY, 0, after_signal);
  if (!file) return std::unexpected(fault(file.error()));
  ::posix_fadvise(file->get(), 0, 0, POSIX_FADV_SEQUENTIAL);

  ShapeStream stream(scheme, keep_chunks, workers);
  if (mode) stream.sketch(*mode);
  const PoolCancel cancel(stream, interrupt.token);
  // With helpers, two buffers take turns: one is read into while the other's chunks are
  // hashed. Each block is read to a page-aligned spot; the bytes still needed from the
  // previous block (at most a window) are copied just in front of it.
  const bool overlap = workers > 1;
  const size_t block_size = overlap ? (size_t{4} << 20) : kFileBlockSize;
  constexpr size_t kCarryRoom = 4096;
  AlignedBuffer buffers[2] = {aligned_buffer(kCarryRoom + block_size),
                              overlap ? aligned_buffer(kCarryRoom + block_size) : nullptr};
  int current = 0;
  size_t carried = 0;      // bytes in front of the current block
  uint64_t block_end = 0;  // stream position after the current block
  for (;;) {
    uint8_t* const block = buffers[current].get() + kCarryRoom;
    auto n = read_some(PosixIo::system(), file->get(), block, block_size, after_signal);
    if (!n) {
      stream.drain();
      return std::unexpected(fault(n.error()));
    }
    const bool at_end = *n == 0;
    const uint64_t view_offset = block_end - carried;
    block_end += *n;
    const std::span<const uint8_t> view(block - carried, carried + *n);
    stream.feed_async(view, view_offset, at_end);
    if (at_end) break;
    // The bytes of this view the chunker still needs go in front of the next block.
    const int next = overlap ? current ^ 1 : current;
    carried = static_cast<size_t>(block_end - stream.retain_from());
    std::memmove(buffers[next].get() + kCarryRoom - carried, block + *n - carried, carried);
    current = next;
    if (interrupt()) {
      stream.drain();
      return std::unexpected(fault(OsError{EINTR}));
    }
  }
  stream.drain();
  CompactManifest manifest = stream.take_manifest();
  return ManifestAndSketch{std::move(manifest), stream.take_sketch()};
}

}  // namespace

std::expected<CompactManifest, BuildError> build_manifest_from_file(std::string_view path,
                                                                    ChunkScheme scheme,
                                                                    bool keep_chunks,
                                                                    unsigned workers,
                                                                    const Interruption& interrupt) {
  auto built = file_manifest(path, scheme, keep_chunks, std::nullopt, workers, interrupt);
  if (!built) return std::unexpected(std::move(built.error()));
  return std::move(built->manifest);
}

std::expected<ManifestAndSketch, BuildError> build_manifest_and_sketch_from_file(
    std::string_view path, ChunkScheme scheme, bool keep_chunks, RecordMode mode, unsigned workers,
    const Interruption& interrupt) {
  return file_manifest(path, scheme, keep_chunks, mode, workers, interrupt);
}

}  // namespace quillmere
