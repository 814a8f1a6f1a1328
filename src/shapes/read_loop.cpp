// The shape functions' read loop, its sources and the file access they share.
#include "shapes/read_loop.h"

#include <fcntl.h>

#include <algorithm>
#include <cstring>
#include <new>

#include "base/quote.h"
#include "shapes/window_hash.h"

namespace quillmere {
namespace {

constexpr size_t kPage = 4096;
// Room in front of a block for the bytes a consumer still needs from the one before.
constexpr size_t kCarryRoom = kPage;
static_assert(kCarryRoom >= cdc::kWindow);

ShapeError os_fault(const OsError& error, std::string_view path) {
  if (error.interrupted()) return ShapeError::interrupted();
  return file_read_error(error.text(), path);
}

}  // namespace

ShapeError file_read_error(std::string os_text, std::string_view path) {
  return ShapeError{ShapeError::Kind::Read, "Failed to read file: " + std::move(os_text),
                    "path: " + quote_path(path)};
}

std::string quote_path(std::string_view path) {
  return quoted(path, Controls::kAsciiAndC1);
}

std::expected<UniqueFd, ShapeError> open_for_reading(std::string_view path,
                                                     const Interruption& interrupt) {
  if (path.find('\0') != std::string_view::npos) {
    return std::unexpected(file_read_error("file name contained an unexpected NUL byte", path));
  }
  const InterruptCheck after_signal = [&] { return interrupt(true); };
  auto file = open_file(PosixIo::system(), std::string(path).c_str(), O_RDONLY, 0, after_signal);
  if (!file) return std::unexpected(os_fault(file.error(), path));
  return std::move(*file);
}

namespace {

// Reads an open file from where it stands (pipes and files of unknown size alike; `pos` is
// not used). `interrupt` is asked before every read but the first and when a signal
// interrupts one.
class SequentialFileReader final : public StreamReader {
 public:
  SequentialFileReader(int fd, std::string_view path, const Interruption& interrupt)
      : fd_(fd), path_(path), interrupt_(interrupt) {}
  std::expected<size_t, ShapeError> read_at(uint64_t /*pos*/, uint8_t* buf, size_t len) override {
    if (started_ && interrupt_()) return std::unexpected(ShapeError::interrupted());
    started_ = true;
    const InterruptCheck after_signal = [&] { return interrupt_(true); };
    auto n = read_some(PosixIo::system(), fd_, buf, len, after_signal);
    if (!n) return std::unexpected(os_fault(n.error(), path_));
    return *n;
  }

 private:
  int fd_;
  std::string_view path_;
  const Interruption& interrupt_;
  bool started_ = false;
};

}  // namespace

std::expected<uint64_t, ShapeError> run_views(ViewSource& source, ViewConsumer& consumer,
                                              bool end_stream) {
  uint64_t reached = 0;
  for (;;) {
    auto view = source.next(consumer.retain_from());
    if (!view) {
      consumer.drain();
      return std::unexpected(std::move(view.error()));
    }
    reached = view->offset + view->bytes.size();
    consumer.feed(view->bytes, view->offset, view->last && end_stream);
    if (view->last || consumer.satisfied()) break;
  }
  consumer.drain();
  return reached;
}

std::expected<StreamView, ShapeError> MemoryViews::next(uint64_t keep_from) {
  if (done_ < data_.size() && interrupt_()) return std::unexpected(ShapeError::interrupted());
  const uint64_t to = std::min<uint64_t>(data_.size(), done_ + kMaxView);
  done_ = to;
  return StreamView{data_.subspan(keep_from, to - keep_from), keep_from, to == data_.size()};
}

void BlockViews::PageDelete::operator()(uint8_t* p) const {
  ::operator delete[](p, std::align_val_t{kPage});
}

BlockViews::BlockViews(StreamReader& reader, uint64_t from, std::optional<uint64_t> to,
                       size_t block_size, bool two_buffers)
    : reader_(reader), pos_(from), to_(to), block_size_(std::max<size_t>(block_size, 1)) {
  // Left uninitialised: only bytes read into them are used.
  const auto buffer = [&] {
    return Buffer(
        static_cast<uint8_t*>(::operator new[](kCarryRoom + block_size_, std::align_val_t{kPage})));
  };
  buffers_[0] = buffer();
  if (two_buffers) buffers_[1] = buffer();
}

std::expected<StreamView, ShapeError> BlockViews::next(uint64_t keep_from) {
  uint8_t* const block = buffers_[turn_].get() + kCarryRoom;
  if (buffers_[1]) turn_ ^= 1;
  const size_t carried = static_cast<size_t>(pos_ - keep_from);
  if (carried > 0) std::memmove(block - carried, tail_ - carried, carried);
  size_t want = block_size_;
  if (to_) want = static_cast<size_t>(std::min<uint64_t>(want, *to_ - pos_));
  size_t got = 0;
  if (want > 0) {
    auto n = reader_.read_at(pos_, block, want);
    if (!n) return std::unexpected(std::move(n.error()));
    got = *n;
  }
  const StreamView view{{block - carried, carried + got}, pos_ - carried, got == 0};
  pos_ += got;
  tail_ = block + got;
  return view;
}

std::expected<uint64_t, ShapeError> read_file(std::string_view path, ViewConsumer& consumer,
                                              size_t block_size, bool two_buffers,
                                              const Interruption& interrupt) {
  auto file = open_for_reading(path, interrupt);
  if (!file) return std::unexpected(std::move(file.error()));
  ::posix_fadvise(file->get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  SequentialFileReader reader(file->get(), path, interrupt);
  BlockViews views(reader, 0, std::nullopt, block_size, two_buffers);
  return run_views(views, consumer, true);
}

}  // namespace quillmere
