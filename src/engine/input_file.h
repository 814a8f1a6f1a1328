// Reading a file as a stream for hashing: open and read that resume after signals unless
// the caller's interruption check says stop, and the operating system's error texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "engine/interruption.h"

namespace quillmere {

struct ReadFault {
  int errnum = 0;            // the failed call's error number
  bool interrupted = false;  // the interruption check asked to stop
};

// "<strerror text> (os error N)".
std::string os_error_text(int errnum);

class InputFile {
 public:
  // Opens `path` (which must not hold a NUL byte) read-only. An open interrupted by a
  // signal (a FIFO waiting for its writer) asks `interrupt` and is retried unless it says stop.
  static std::expected<InputFile, ReadFault> open(std::string_view path,
                                                  const Interruption& interrupt);
  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&&) = delete;
  ~InputFile();

  // Up to `len` bytes; 0 at the end of the file. Interrupted reads ask `interrupt` and are
  // retried unless it says stop.
  std::expected<size_t, ReadFault> read(uint8_t* buffer, size_t len, const Interruption& interrupt);

 private:
  explicit InputFile(int fd) : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace quillmere
