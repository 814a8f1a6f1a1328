// The read loop every shape function runs, and the one error type of those functions. A
// source hands out views of a stream (over bytes in memory without copying, or read into
// page-aligned blocks with the bytes still needed carried in front), a consumer chunks them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/cancellation.h"
#include "base/posix_io.h"

namespace quillmere {

struct ShapeError {
  // Chunking: a scheme that cannot chunk, or pieces that do not fit together; Read: the file
  // could not be opened or read; Interrupted: the caller's interruption check stopped the
  // work (no text of its own: the caller knows why).
  enum class Kind { Chunking, Read, Interrupted };
  Kind kind = Kind::Chunking;
  std::string message;
  std::string context;  // what the message is about; empty when the message says it all

  // The message alone, or with a context "Serialization failed: <message>. Context: <context>".
  std::string display() const {
    if (context.empty()) return message;
    return "Serialization failed: " + message + ". Context: " + context;
  }
  static ShapeError interrupted() { return ShapeError{Kind::Interrupted, {}, {}}; }
  friend bool operator==(const ShapeError&, const ShapeError&) = default;
};

// Read "Failed to read file: " + the OS text, with context "path: " + the quoted path.
ShapeError file_read_error(std::string os_text, std::string_view path);

// `path` between double quotes with backslash escapes for quotes, backslashes and
// control characters, as the file error context shows it.
std::string quote_path(std::string_view path);

// Opens `path` for reading. A path holding a NUL byte fails before any file access;
// `interrupt` is asked when a signal interrupts the open (a FIFO waiting for its writer).
std::expected<UniqueFd, ShapeError> open_for_reading(std::string_view path,
                                                     const Interruption& interrupt);

// Bytes of the stream at `pos`, into `buf` (at most `len`); 0 at the end of the stream.
class StreamReader {
 public:
  virtual ~StreamReader() = default;
  virtual std::expected<size_t, ShapeError> read_at(uint64_t pos, uint8_t* buf, size_t len) = 0;
};

// Takes views of a stream, in stream order.
class ViewConsumer {
 public:
  virtual ~ViewConsumer() = default;
  // `view` holds stream bytes [offset, offset + view.size()), begins at or before
  // retain_from() and ends at the newest byte; `at_end` ends the stream. May return before
  // the view is done with: it stays intact until the next feed() or drain().
  virtual void feed(std::span<const uint8_t> view, uint64_t offset, bool at_end) = 0;
  // Waits until the views fed so far are done with.
  virtual void drain() {}
  // The first stream position the next view must hold again.
  virtual uint64_t retain_from() const = 0;
  // Enough was seen: the loop stops after this view (without ending the stream).
  virtual bool satisfied() const { return false; }
};

struct StreamView {
  std::span<const uint8_t> bytes;
  uint64_t offset = 0;  // stream position of bytes[0]
  bool last = false;    // no bytes follow
};

class ViewSource {
 public:
  virtual ~ViewSource() = default;
  // The next view, from `keep_from` (the consumer's retain_from()) to the newest byte.
  virtual std::expected<StreamView, ShapeError> next(uint64_t keep_from) = 0;
};

// The loop: feeds `consumer` the views of `source` until the source has no more (ending the
// stream there when `end_stream`) or the consumer is satisfied, then drains it. Returns the
// stream position after the last view. A failing source drains the consumer before its
// error is returned, so that no helper still reads a buffer about to be given back.
std::expected<uint64_t, ShapeError> run_views(ViewSource& source, ViewConsumer& consumer,
                                              bool end_stream);

// Views over bytes in memory, at most kMaxView new bytes each, copying nothing.
// `interrupt` is asked before each view.
class MemoryViews final : public ViewSource {
 public:
  static constexpr size_t kMaxView = size_t{1} << 20;
  MemoryViews(std::span<const uint8_t> data, const Interruption& interrupt)
      : data_(data), interrupt_(interrupt) {}
  std::expected<StreamView, ShapeError> next(uint64_t keep_from) override;

 private:
  std::span<const uint8_t> data_;
  const Interruption& interrupt_;
  uint64_t done_ = 0;
};

// Views read through `reader` from `from` up to `to` (or its end), `block_size` bytes a
// read. Each block is read to a page-aligned spot (the kernel copies from the page cache
// into an unaligned one several times slower); the bytes the consumer still needs (at most
// a window) are copied just in front of it. With two buffers they take turns, so one is read
// into while the consumer still hashes the other.
class BlockViews final : public ViewSource {
 public:
  BlockViews(StreamReader& reader, uint64_t from, std::optional<uint64_t> to, size_t block_size,
             bool two_buffers);
  std::expected<StreamView, ShapeError> next(uint64_t keep_from) override;

 private:
  struct PageDelete {
    void operator()(uint8_t* p) const;
  };
  using Buffer = std::unique_ptr<uint8_t[], PageDelete>;

  StreamReader& reader_;
  uint64_t pos_;  // stream position after the bytes read so far
  std::optional<uint64_t> to_;
  size_t block_size_;
  Buffer buffers_[2];
  int turn_ = 0;
  const uint8_t* tail_ = nullptr;  // just past the last view's bytes
};

// The block size of file reads on one thread.
inline constexpr size_t kFileBlockSize = size_t{1} << 20;

// Reads the whole file at `path` into `consumer` as a stream, ending it at the end of the
// file (see BlockViews). Returns the file's length. Unreadable files give
// file_read_error (see open_for_reading); `interrupt` is asked between blocks and when a
// signal interrupts the open or a read, and stops the work with Interrupted.
std::expected<uint64_t, ShapeError> read_file(std::string_view path, ViewConsumer& consumer,
                                              size_t block_size, bool two_buffers,
                                              const Interruption& interrupt);

}  // namespace quillmere
