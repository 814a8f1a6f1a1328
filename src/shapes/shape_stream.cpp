// Streaming shape hashing, and the builders that run files and memory through it.
#include "shapes/shape_stream.h"

#include <algorithm>
#include <optional>
#include <stdexcept>

#include "shapes/chunk_hash_pool.h"

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
constexpr size_t kMaxView = MemoryViews::kMaxView;
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

ShapeError scheme_build_error(const CasError& error) {
  return ShapeError{ShapeError::Kind::Chunking, "Failed to build manifest: " + error.display(), {}};
}

namespace {

// The loop's consumer: the stream, taking views without waiting for their digests.
class StreamViews final : public ViewConsumer {
 public:
  explicit StreamViews(ShapeStream& stream) : stream_(stream) {}
  void feed(std::span<const uint8_t> view, uint64_t offset, bool at_end) override {
    stream_.feed_async(view, offset, at_end);
  }
  void drain() override { stream_.drain(); }
  uint64_t retain_from() const override { return stream_.retain_from(); }

 private:
  ShapeStream& stream_;
};

// Runs `read` (the read loop over some source) into `stream`, letting the pool's helpers see
// the caller's cancellation while it runs.
template <class Read>
std::expected<void, ShapeError> run(ShapeStream& stream, const Interruption& interrupt, Read read) {
  const PoolCancel cancel(stream, interrupt.token);
  StreamViews consumer(stream);
  auto reached = read(consumer);
  if (!reached) return std::unexpected(std::move(reached.error()));
  return {};
}

// A builder's stream, fed by `feed`; sketching too when `mode` is given.
template <class Feed>
std::expected<ManifestAndSketch, ShapeError> build(ChunkScheme scheme, bool keep_chunks,
                                                   std::optional<RecordMode> mode, unsigned workers,
                                                   Feed feed) {
  ShapeStream stream(scheme, keep_chunks, workers);
  if (mode) stream.sketch(*mode);
  if (auto done = feed(stream); !done) return std::unexpected(std::move(done.error()));
  CompactManifest manifest = stream.take_manifest();
  return ManifestAndSketch{std::move(manifest), stream.take_sketch()};
}

std::expected<ManifestAndSketch, ShapeError> bytes_manifest(std::span<const uint8_t> data,
                                                            ChunkScheme scheme,
                                                            std::optional<RecordMode> mode,
                                                            unsigned workers,
                                                            const Interruption& interrupt) {
  if (auto error = check_scheme(scheme, data.size())) {
    return std::unexpected(scheme_build_error(*error));
  }
  return build(scheme, true, mode, workers,
               [&](ShapeStream& stream) { return stream_bytes(stream, data, interrupt); });
}

std::expected<ManifestAndSketch, ShapeError> file_manifest(std::string_view path,
                                                           ChunkScheme scheme, bool keep_chunks,
                                                           std::optional<RecordMode> mode,
                                                           unsigned workers,
                                                           const Interruption& interrupt) {
  if (auto error = check_scheme(scheme, 0)) return std::unexpected(scheme_build_error(*error));
  return build(scheme, keep_chunks, mode, workers,
               [&](ShapeStream& stream) { return stream_file(stream, path, interrupt); });
}

}  // namespace

std::expected<void, ShapeError> stream_bytes(ShapeStream& stream, std::span<const uint8_t> data,
                                             const Interruption& interrupt) {
  return run(stream, interrupt, [&](ViewConsumer& consumer) {
    MemoryViews views(data, interrupt);
    return run_views(views, consumer, true);
  });
}

std::expected<void, ShapeError> stream_file(ShapeStream& stream, std::string_view path,
                                            const Interruption& interrupt,
                                            std::optional<size_t> block_size) {
  // With helpers, two buffers take turns: one is read into while the other's chunks are
  // hashed.
  const bool overlap = stream.threaded();
  const size_t size = block_size.value_or(overlap ? size_t{4} << 20 : kFileBlockSize);
  return run(stream, interrupt, [&](ViewConsumer& consumer) {
    return read_file(path, consumer, size, overlap, interrupt);
  });
}

std::expected<CompactManifest, ShapeError> build_manifest(std::span<const uint8_t> data,
                                                          ChunkScheme scheme, unsigned workers,
                                                          const Interruption& interrupt) {
  auto built = bytes_manifest(data, scheme, std::nullopt, workers, interrupt);
  if (!built) return std::unexpected(std::move(built.error()));
  return std::move(built->manifest);
}

std::expected<ManifestAndSketch, ShapeError> build_manifest_and_sketch(
    std::span<const uint8_t> data, ChunkScheme scheme, RecordMode mode, unsigned workers,
    const Interruption& interrupt) {
  return bytes_manifest(data, scheme, mode, workers, interrupt);
}

std::expected<CompactManifest, ShapeError> build_manifest_from_file(std::string_view path,
                                                                    ChunkScheme scheme,
                                                                    bool keep_chunks,
                                                                    unsigned workers,
                                                                    const Interruption& interrupt) {
  auto built = file_manifest(path, scheme, keep_chunks, std::nullopt, workers, interrupt);
  if (!built) return std::unexpected(std::move(built.error()));
  return std::move(built->manifest);
}

std::expected<ManifestAndSketch, ShapeError> build_manifest_and_sketch_from_file(
    std::string_view path, ChunkScheme scheme, bool keep_chunks, RecordMode mode, unsigned workers,
    const Interruption& interrupt) {
  return file_manifest(path, scheme, keep_chunks, mode, workers, interrupt);
}

}  // namespace quillmere
