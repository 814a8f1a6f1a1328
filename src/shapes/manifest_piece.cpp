// Manifest pieces: building one from a byte range of a file, joining pieces into the
// one-pass manifest, and the pieces' binary form.
#include "shapes/manifest_piece.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "base/posix_io.h"
#include "codec/leb128.h"

namespace quillmere {
namespace {

// Records the chunks a chunker cuts, moved from the chunker's positions (which start at 0)
// to stream positions.
class PieceSink final : public ChunkSink {
 public:
  PieceSink(ManifestPiece& piece, uint64_t base) : piece_(piece), base_(base) {}
  void on_chunk(uint64_t offset, uint64_t len, const Digest& digest) override {
    piece_.chunks.push_back(ChunkRecord{base_ + offset, len, digest});
    piece_.settled_end = base_ + offset + len;
  }

 private:
  ManifestPiece& piece_;
  uint64_t base_;
};

ShapeError join_error(const std::string& text) {
  return ShapeError{ShapeError::Kind::Chunking, "Cannot join manifest pieces: " + text, {}};
}

// Reads a file at any position, with one descriptor kept open.
class FileReader final : public StreamReader {
 public:
  FileReader(std::string_view path, int fd, const Interruption& interrupt)
      : path_(path), fd_(fd), interrupt_(interrupt) {}

  std::expected<size_t, ShapeError> read_at(uint64_t pos, uint8_t* buf, size_t len) override {
    if (interrupt_()) return std::unexpected(ShapeError::interrupted());
    for (;;) {
      const ssize_t n = ::pread(fd_, buf, len, static_cast<off_t>(pos));
      if (n >= 0) return static_cast<size_t>(n);
      if (errno == EINTR && !interrupt_(true)) continue;
      if (errno == EINTR) return std::unexpected(ShapeError::interrupted());
      return std::unexpected(file_read_error(os_error_text(errno), path_));
    }
  }

 private:
  std::string_view path_;
  int fd_;
  const Interruption& interrupt_;
};

constexpr size_t kPieceBlock = size_t{1} << 20;
// A seam walk usually ends within a chunk or two: read it in smaller blocks, so that little
// is scanned past the meeting point.
constexpr size_t kWalkBlock = size_t{256} << 10;

// The read loop's consumer: a chunker whose positions start at `base` of the stream.
class ChunkerViews final : public ViewConsumer {
 public:
  ChunkerViews(StreamingChunker& chunker, ChunkSink& sink, uint64_t base,
               const bool* stop = nullptr)
      : chunker_(chunker), sink_(sink), base_(base), stop_(stop) {}
  void feed(std::span<const uint8_t> view, uint64_t offset, bool at_end) override {
    chunker_.feed(view, offset - base_, at_end, sink_);
  }
  uint64_t retain_from() const override { return base_ + chunker_.retain_from(); }
  bool satisfied() const override { return stop_ != nullptr && *stop_; }

 private:
  StreamingChunker& chunker_;
  ChunkSink& sink_;
  uint64_t base_;
  const bool* stop_;  // stop once it holds
};

// Feeds `consumer` the stream bytes [from, to) read from `reader`, ending the stream at `to`
// when `at_end`. Returns the position reached; a stream that ends before `to` gives a
// position below it.
std::expected<uint64_t, ShapeError> feed_range(StreamReader& reader, ViewConsumer& consumer,
                                               uint64_t from, std::optional<uint64_t> to,
                                               bool at_end, size_t block_size) {
  BlockViews views(reader, from, to, block_size, false);
  return run_views(views, consumer, at_end);
}

}  // namespace

// --- building ------------------------------------------------------------------------------

std::expected<ManifestPiece, ShapeError> build_piece_from_file(std::string_view path,
                                                               ChunkScheme scheme, uint64_t offset,
                                                               std::optional<uint64_t> length,
                                                               const Interruption& interrupt) {
  if (auto error = check_scheme(scheme, 0)) return std::unexpected(scheme_build_error(*error));
  if (length && *length > UINT64_MAX - offset) {
    return std::unexpected(ShapeError{ShapeError::Kind::Chunking,
                                      "Failed to build manifest piece: the range ends past 2^64",
                                      {}});
  }
  auto file = open_for_reading(path, interrupt);
  if (!file) return std::unexpected(file.error());
  ::posix_fadvise(file->get(), static_cast<off_t>(offset), 0, POSIX_FADV_SEQUENTIAL);
  FileReader reader(path, file->get(), interrupt);

  ManifestPiece piece;
  piece.chunk_scheme = scheme;
  piece.offset = offset;
  piece.settled_end = offset;
  PieceSink sink(piece, offset);
  StreamingChunker chunker(scheme);
  ChunkerViews consumer(chunker, sink, offset);
  const std::optional<uint64_t> to =
      length ? std::optional<uint64_t>(offset + *length) : std::nullopt;
  // The range is read first without ending the stream: whether the file ends with it is
  // known only after one more read.
  auto reached = feed_range(reader, consumer, offset, to, !to, kPieceBlock);
  if (!reached) return std::unexpected(reached.error());
  piece.length = *reached - offset;
  if (to && *reached == *to) {
    uint8_t probe = 0;
    auto more = reader.read_at(*to, &probe, 1);
    if (!more) return std::unexpected(more.error());
    piece.final = *more == 0;
  } else {
    piece.final = true;  // the file ended inside the range (or no length was given)
  }
  if (piece.final && piece.settled_end < piece.end()) {
    // Cut the last chunk: the carried bytes are passed again with the stream's end.
    auto ended =
        feed_range(reader, consumer, consumer.retain_from(), piece.end(), true, kPieceBlock);
    if (!ended) return std::unexpected(ended.error());
  }
  piece.chunks.shrink();
  return piece;
}

// --- joining -------------------------------------------------------------------------------

namespace {

class Joiner {
 public:
  Joiner(std::span<const ManifestPiece> pieces, StreamReader& reader)
      : pieces_(pieces), reader_(reader) {
    manifest_.chunk_scheme = pieces.front().chunk_scheme;
  }

  std::expected<CompactManifest, ShapeError> run() {
    const uint64_t end = pieces_.back().end();
    uint64_t pos = 0;  // a boundary of the true chain; everything before it is taken
    size_t next = 0;   // the first piece whose chunks may still be taken
    while (pos < end) {
      if (auto at = settled_start(next, pos)) {
        const ManifestPiece& piece = pieces_[at->first];
        for (size_t k = at->second; k < piece.chunks.size(); ++k) take(piece.chunks[k]);
        pos = piece.settled_end;
        next = at->first + 1;
        continue;
      }
      auto met = walk(pos, next, end);
      if (!met) return std::unexpected(met.error());
      pos = *met;
    }
    manifest_.root = folder_.root();
    manifest_.chunks.shrink();
    return std::move(manifest_);
  }

 private:
  void take(const ChunkRecord& record) {
    folder_.add_chunk(record.digest);
    manifest_.total_len += record.len;
    manifest_.chunks.push_back(record);
  }

  // (piece, chunk) of the settled chunk of pieces[first..] that starts at `pos`, if any.
  std::optional<std::pair<size_t, size_t>> settled_start(size_t first, uint64_t pos) const {
    if (first >= pieces_.size()) return std::nullopt;
    // The last piece that starts at or before `pos` (empty pieces before it hold nothing).
    const auto after =
        std::upper_bound(pieces_.begin() + static_cast<ptrdiff_t>(first), pieces_.end(), pos,
                         [](uint64_t p, const ManifestPiece& piece) { return p < piece.offset; });
    if (after == pieces_.begin() + static_cast<ptrdiff_t>(first)) return std::nullopt;
    const size_t index = static_cast<size_t>(after - pieces_.begin()) - 1;
    const ManifestPiece& piece = pieces_[index];
    if (pos >= piece.settled_end) return std::nullopt;
    size_t lo = 0, hi = piece.chunks.size();  // first chunk with offset >= pos
    while (lo < hi) {
      const size_t mid = lo + (hi - lo) / 2;
      if (piece.chunks[mid].offset < pos) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    if (lo == piece.chunks.size() || piece.chunks[lo].offset != pos) return std::nullopt;
    return std::pair{index, lo};
  }

  // Cuts the true chain from `from` (one of its boundaries), taking its chunks, until one of
  // them ends where a settled chunk of pieces[first..] starts, or the stream ends. Returns
  // that position.
  std::expected<uint64_t, ShapeError> walk(uint64_t from, size_t first, uint64_t end) {
    struct WalkSink final : ChunkSink {
      WalkSink(Joiner& j, uint64_t b, size_t f) : joiner(j), base(b), first(f) {}
      void on_chunk(uint64_t offset, uint64_t len, const Digest& digest) override {
        if (met) return;  // the rest of the block, scanned past the meeting point
        const uint64_t stop = base + offset + len;
        joiner.take(ChunkRecord{base + offset, len, digest});
        if (joiner.settled_start(first, stop)) {
          met = true;
          meeting = stop;
        }
      }
      Joiner& joiner;
      uint64_t base;
      size_t first;
      bool met = false;
      uint64_t meeting = 0;
    } sink(*this, from, first);
    StreamingChunker chunker(manifest_.chunk_scheme);
    ChunkerViews consumer(chunker, sink, from, &sink.met);
    auto reached = feed_range(reader_, consumer, from, end, true, kWalkBlock);
    if (!reached) return std::unexpected(reached.error());
    if (sink.met) return sink.meeting;
    if (*reached < end) {
      return std::unexpected(join_error("the stream ends at " + std::to_string(*reached) +
                                        ", before the end of its pieces (" + std::to_string(end) +
                                        "); it changed after they were made"));
    }
    return end;
  }

  std::span<const ManifestPiece> pieces_;
  StreamReader& reader_;
  CompactManifest manifest_;
  MerkleFolder folder_;
};

std::optional<ShapeError> check_pieces(std::span<const ManifestPiece> pieces) {
  if (pieces.empty()) return join_error("no pieces");
  uint64_t expected = 0;
  for (size_t i = 0; i < pieces.size(); ++i) {
    const ManifestPiece& piece = pieces[i];
    const std::string which = "piece " + std::to_string(i);
    if (piece.chunk_scheme != pieces.front().chunk_scheme) {
      return join_error(which + " has another chunk scheme than piece 0");
    }
    if (piece.offset != expected) {
      return join_error(which + " starts at " + std::to_string(piece.offset) +
                        ", not where the piece before it ends (" + std::to_string(expected) + ")");
    }
    if (piece.final != (i + 1 == pieces.size())) {
      return join_error(piece.final ? which + " ends the stream but is not the last piece"
                                    : "the last piece does not end the stream");
    }
    expected = piece.end();
  }
  return std::nullopt;
}

}  // namespace

std::expected<CompactManifest, ShapeError> join_pieces(std::span<const ManifestPiece> pieces,
                                                       StreamReader& reader) {
  if (auto error = check_pieces(pieces)) return std::unexpected(*error);
  return Joiner(pieces, reader).run();
}

std::expected<CompactManifest, ShapeError> join_pieces_from_file(
    std::string_view path, std::span<const ManifestPiece> pieces, const Interruption& interrupt) {
  if (auto error = check_pieces(pieces)) return std::unexpected(*error);
  auto file = open_for_reading(path, interrupt);
  if (!file) return std::unexpected(file.error());
  FileReader reader(path, file->get(), interrupt);
  return Joiner(pieces, reader).run();
}

// --- binary form ---------------------------------------------------------------------------

namespace {

constexpr char kMagic[4] = {'Q', 'M', 'P', 'C'};
constexpr uint8_t kVersion = 1;
constexpr uint8_t kFinalFlag = 1;

}  // namespace

std::string piece_to_bytes(const ManifestPiece& piece) {
  std::string out;
  out.reserve(40 + piece.chunks.size() * 35);
  out.append(kMagic, sizeof kMagic);
  out += static_cast<char>(kVersion);
  out += static_cast<char>(piece.chunk_scheme.kind == ChunkScheme::Kind::CDC ? 0 : 1);
  out += static_cast<char>(piece.final ? kFinalFlag : 0);
  out += '\0';
  append_leb128(out, piece.chunk_scheme.size);
  append_leb128(out, piece.offset);
  append_leb128(out, piece.length);
  append_leb128(out, piece.chunks.size());
  for (size_t i = 0; i < piece.chunks.size(); ++i) {
    append_leb128(out, piece.chunks[i].len);
    out.append(reinterpret_cast<const char*>(piece.chunks[i].digest.data()), 32);
  }
  return out;
}

std::expected<ManifestPiece, std::string> piece_from_bytes(std::span<const uint8_t> data) {
  using Fault = std::unexpected<std::string>;
  ByteCursor in(data);
  uint8_t head[8];
  if (!in.take(head, sizeof head) || std::memcmp(head, kMagic, sizeof kMagic) != 0) {
    return Fault("not a manifest piece (no QMPC header)");
  }
  if (head[4] != kVersion) return Fault("unknown piece version " + std::to_string(head[4]));
  if (head[5] > 1) return Fault("unknown chunk scheme kind " + std::to_string(head[5]));
  if ((head[6] & ~kFinalFlag) != 0 || head[7] != 0) return Fault("unknown flags");
  ManifestPiece piece;
  uint64_t size = 0, count = 0;
  if (!in.leb128(size) || !in.leb128(piece.offset) || !in.leb128(piece.length) ||
      !in.leb128(count)) {
    return Fault("truncated or malformed header numbers");
  }
  if (size == 0) return Fault("chunk scheme size 0");
  if (piece.length > UINT64_MAX - piece.offset) return Fault("the range ends past 2^64");
  piece.chunk_scheme = head[5] == 0 ? ChunkScheme::cdc(size) : ChunkScheme::fixed(size);
  piece.final = (head[6] & kFinalFlag) != 0;
  if (count > in.left() / 33) return Fault("more chunks than bytes to hold them");
  uint64_t pos = piece.offset;
  for (uint64_t i = 0; i < count; ++i) {
    ChunkRecord record{pos, 0, {}};
    if (!in.leb128(record.len) || !in.take(record.digest.data(), 32)) {
      return Fault("chunk " + std::to_string(i) + " is truncated or malformed");
    }
    if (record.len == 0) return Fault("chunk " + std::to_string(i) + " has length 0");
    if (record.len > piece.end() - pos) {
      return Fault("chunk " + std::to_string(i) + " ends past the piece's range");
    }
    pos += record.len;
    piece.chunks.push_back(record);
  }
  if (in.left() != 0) return Fault(std::to_string(in.left()) + " bytes after the last chunk");
  piece.settled_end = pos;
  if (piece.final && pos != piece.end()) {
    return Fault("a final piece whose chunks do not reach the end of its range");
  }
  piece.chunks.shrink();
  return piece;
}

ManifestPiece piece_of_manifest(const CompactManifest& manifest) {
  ManifestPiece piece;
  piece.chunk_scheme = manifest.chunk_scheme;
  piece.length = manifest.total_len;
  piece.final = true;
  for (size_t i = 0; i < manifest.chunks.size(); ++i) piece.chunks.push_back(manifest.chunks[i]);
  piece.settled_end = manifest.total_len;
  piece.chunks.shrink();
  return piece;
}

std::expected<CompactManifest, std::string> manifest_of_piece(ManifestPiece piece) {
  if (piece.offset != 0 || !piece.final) {
    return std::unexpected(std::string("the piece is not a whole stream (offset 0, final)"));
  }
  CompactManifest manifest;
  manifest.chunk_scheme = piece.chunk_scheme;
  manifest.total_len = piece.length;
  MerkleFolder folder;
  for (size_t i = 0; i < piece.chunks.size(); ++i) folder.add_chunk(piece.chunks[i].digest);
  manifest.root = folder.root();
  manifest.chunks = std::move(piece.chunks);
  return manifest;
}

}  // namespace quillmere
