// Interruptible file reading for the shape functions.
#include "engine/input_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace quillmere {

std::string os_error_text(int errnum) {
  char buf[256];
  const char* text = strerror_r(errnum, buf, sizeof buf);  // GNU form: returns the text
  return std::string(text) + " (os error " + std::to_string(errnum) + ")";
}

std::expected<InputFile, ReadFault> InputFile::open(std::string_view path,
                                                    const Interruption& interrupt) {
  const std::string name(path);
  for (;;) {
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
      return InputFile(fd);
    }
    if (errno != EINTR) return std::unexpected(ReadFault{errno, false});
    if (interrupt(true)) return std::unexpected(ReadFault{EINTR, true});
  }
}

InputFile::InputFile(InputFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

InputFile::~InputFile() {
  if (fd_ >= 0) ::close(fd_);
}

std::expected<size_t, ReadFault> InputFile::read(uint8_t* buffer, size_t len,
                                                 const Interruption& interrupt) {
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, len);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return std::unexpected(ReadFault{errno, false});
    if (interrupt(true)) return std::unexpected(ReadFault{EINTR, true});
  }
}

}  // namespace quillmere
