// Chunkers and the Merkle root. Both chunkers run through StreamingChunker, so there is one
// way to cut a stream whatever its source.
#include "shapes/cas.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "shapes/window_hash.h"

namespace quillmere {
namespace {

// Bounds are computed saturating so that every size up to 2^64-1 terminates.
uint64_t sat_add(uint64_t a, uint64_t b) {
  return b > UINT64_MAX - a ? UINT64_MAX : a + b;
}
uint64_t sat_double(uint64_t a) {
  return a > UINT64_MAX / 2 ? UINT64_MAX : 2 * a;
}

constexpr uint64_t kTail = cdc::kWindow - 1;  // bytes a window reaches past its position

}  // namespace

std::optional<CasError> check_scheme(ChunkScheme scheme, uint64_t input_len) {
  if (scheme.size != 0) return std::nullopt;
  if (scheme.kind == ChunkScheme::Kind::Fixed) {
    return CasError{CasError::Kind::ChunkingFailed, "Chunk size must be > 0", "size=0", input_len};
  }
  return CasError{CasError::Kind::ChunkingFailed, "Average chunk size must be > 0", "avg_size=0",
                  input_len};
}

std::optional<std::string> impossible_chunk_length(ChunkScheme scheme, uint64_t len, bool last) {
  const auto range = [](uint64_t low, uint64_t high) {
    return low == high ? std::to_string(low) : std::to_string(low) + " to " + std::to_string(high);
  };
  if (scheme.kind == ChunkScheme::Kind::Fixed) {
    if (last ? len >= 1 && len <= scheme.size : len == scheme.size) return std::nullopt;
    return last ? "the last chunk of fixed:" + std::to_string(scheme.size) + " holds " +
                      range(1, scheme.size) + " bytes"
                : "every chunk of fixed:" + std::to_string(scheme.size) + " but the last holds " +
                      std::to_string(scheme.size) + " bytes";
  }
  const uint64_t max_size = sat_double(scheme.size);
  const uint64_t min_cut = sat_add(scheme.size / 2, cdc::kWindow);  // the earliest boundary
  const std::string name = "cdc:" + std::to_string(scheme.size);
  if (last) {
    if (len >= 1 && len <= sat_add(max_size, kTail)) return std::nullopt;
    return "the last chunk of " + name + " holds " + range(1, sat_add(max_size, kTail)) + " bytes";
  }
  if (len == max_size || (len >= min_cut && len <= max_size)) return std::nullopt;
  return "a chunk of " + name + " before the last holds " +
         (min_cut < max_size ? range(min_cut, max_size) : std::to_string(max_size)) + " bytes";
}

// --- boundary finder -----------------------------------------------------------------------

BoundaryFinder::BoundaryFinder(ChunkScheme scheme) : scheme_(scheme) {
  assert(scheme.size != 0);
  if (scheme.kind == ChunkScheme::Kind::CDC) {
    min_size_ = scheme.size / 2;
    max_size_ = sat_double(scheme.size);
  }
}

uint64_t BoundaryFinder::retain_from() const {
  return scheme_.kind == ChunkScheme::Kind::Fixed ? seen_ : next_;
}

uint64_t BoundaryFinder::open_chunk_bound() const {
  return sat_add(start_, scheme_.kind == ChunkScheme::Kind::Fixed ? scheme_.size : max_size_);
}

void BoundaryFinder::cut(uint64_t end, CutSink& sink) {
  const uint64_t start = start_;
  start_ = end;
  next_ = end;
  sink.on_cut(start, end);
}

void BoundaryFinder::feed(std::span<const uint8_t> data, uint64_t data_offset, bool at_end,
                          CutSink& sink) {
  assert(data_offset <= retain_from());
  const uint64_t avail = data_offset + data.size();
  if (scheme_.kind == ChunkScheme::Kind::CDC) {
    feed_cdc(data, data_offset, at_end, sink);
  } else {
    feed_fixed(avail, at_end, sink);
  }
  seen_ = avail;
}

void BoundaryFinder::feed_fixed(uint64_t avail, bool at_end, CutSink& sink) {
  for (;;) {
    const uint64_t end = sat_add(start_, scheme_.size);
    if (end <= avail) {
      cut(end, sink);
    } else {
      if (at_end && start_ < avail) cut(avail, sink);
      break;
    }
  }
}

// The chunk starting at `start` ends at the first window end (position + 48) whose window
// lies at or after start + min_size, ends at or before start + max_size and hashes to a
// multiple of avg_size; else at start + max_size once every position before it has a full
// window; else at the end of the stream. A position is only examined once its 48 bytes
// are there, so at most 47 bytes wait for the next piece.
void BoundaryFinder::feed_cdc(std::span<const uint8_t> data, uint64_t data_offset, bool at_end,
                              CutSink& sink) {
  const uint64_t avail = data_offset + data.size();
  // Positions below `ready` have their whole window in view.
  const uint64_t ready = avail > kTail ? avail - kTail : 0;
  for (;;) {
    const uint64_t first = sat_add(start_, min_size_);
    const uint64_t limit = sat_add(start_, max_size_);
    if (first >= avail) {
      if (at_end && start_ < avail) cut(avail, sink);
      next_ = first;
      break;
    }
    const uint64_t from = std::max(next_, first);
    // Windows that start before `test_end` end at or before both `avail` and `limit`.
    const uint64_t test_end = std::min(ready, limit > kTail ? limit - kTail : 0);
    if (from < test_end) {
      const uint64_t count = test_end - from;
      const uint64_t hit =
          cdc::find_boundary(data.data() + (from - data_offset), count, scheme_.size);
      if (hit < count) {
        cut(from + hit + cdc::kWindow, sink);
        continue;
      }
    }
    if (ready >= limit) {
      cut(limit, sink);
    } else if (at_end) {
      cut(avail, sink);
    } else {
      next_ = std::max(from, ready);
      break;
    }
  }
}

// --- streaming chunker ---------------------------------------------------------------------

StreamingChunker::StreamingChunker(ChunkScheme scheme) : finder_(scheme) {}

uint64_t StreamingChunker::retain_from() const {
  return std::min(finder_.retain_from(), hashed_);
}

void StreamingChunker::hash_upto(std::span<const uint8_t> data, uint64_t data_offset,
                                 uint64_t pos) {
  if (pos <= hashed_) return;
  assert(hashed_ >= data_offset && pos - data_offset <= data.size());
  sha_.update(data.data() + (hashed_ - data_offset), pos - hashed_);
  hashed_ = pos;
}

void StreamingChunker::feed(std::span<const uint8_t> data, uint64_t data_offset, bool at_end,
                            ChunkSink& sink) {
  assert(data_offset <= retain_from());
  struct Cutter final : BoundaryFinder::CutSink {
    Cutter(StreamingChunker& c, std::span<const uint8_t> d, uint64_t o, ChunkSink& s)
        : chunker(c), data(d), offset(o), out(s) {}
    void on_cut(uint64_t start, uint64_t end) override {
      chunker.hash_upto(data, offset, end);
      out.on_chunk(start, end - start, chunker.sha_.finish());
    }
    StreamingChunker& chunker;
    std::span<const uint8_t> data;
    uint64_t offset;
    ChunkSink& out;
  } cutter(*this, data, data_offset, sink);
  finder_.feed(data, data_offset, at_end, cutter);
  // Whatever the current chunk's end turns out to be, it is not before this.
  hash_upto(data, data_offset, std::min(data_offset + data.size(), finder_.open_chunk_bound()));
}

}  // namespace quillmere
