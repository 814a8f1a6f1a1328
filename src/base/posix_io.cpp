#include "base/posix_io.h"

#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

namespace quillmere {

std::string os_error_text(int errnum) {
  char buf[256];
  const char* text = ::strerror_r(errnum, buf, sizeof buf);  // GNU form: returns the text
  return std::string(text) + " (os error " + std::to_string(errnum) + ")";
}

int PosixIo::open(const char* path, int flags, mode_t mode) {
  return ::open(path, flags, mode);
}
int PosixIo::openat(int dir_fd, const char* name, int flags, mode_t mode) {
  return ::openat(dir_fd, name, flags, mode);
}
ssize_t PosixIo::read(int fd, void* buf, size_t len) {
  return ::read(fd, buf, len);
}
ssize_t PosixIo::write(int fd, const void* buf, size_t len) {
  return ::write(fd, buf, len);
}
int PosixIo::fstat(int fd, struct stat* st) {
  return ::fstat(fd, st);
}
int PosixIo::fsync(int fd) {
  return ::fsync(fd);
}
int PosixIo::close(int fd) {
  return ::close(fd);
}
int PosixIo::linkat(int old_dir, const char* old_name, int new_dir, const char* new_name,
                    int flags) {
  return ::linkat(old_dir, old_name, new_dir, new_name, flags);
}
int PosixIo::renameat(int old_dir, const char* old_name, int new_dir, const char* new_name) {
  return ::renameat(old_dir, old_name, new_dir, new_name);
}
int PosixIo::unlinkat(int dir_fd, const char* name, int flags) {
  return ::unlinkat(dir_fd, name, flags);
}

int PosixIo::flock(int fd, int operation) {
  return ::flock(fd, operation);
}

int PosixIo::stat(const char* path, struct stat* st) {
  return ::stat(path, st);
}
int PosixIo::fstatat(int dir_fd, const char* name, struct stat* st, int flags) {
  return ::fstatat(dir_fd, name, st, flags);
}
int PosixIo::mkdir(const char* path, mode_t mode) {
  return ::mkdir(path, mode);
}
int PosixIo::access(const char* path, int mode) {
  return ::access(path, mode);
}
DIR* PosixIo::fdopendir(int fd) {
  return ::fdopendir(fd);
}
struct dirent* PosixIo::readdir(DIR* dir) {
  return ::readdir(dir);
}
int PosixIo::closedir(DIR* dir) {
  return ::closedir(dir);
}

PosixIo& PosixIo::system() {
  static PosixIo io;
  return io;
}

std::expected<void, OsError> UniqueFd::close() {
  if (fd_ < 0) return {};
  if (io_->close(std::exchange(fd_, -1)) != 0 && errno != EINTR) {
    return std::unexpected(OsError{errno});
  }
  return {};
}

namespace {

// True when the caller wants to stop after an interrupted call.
bool stop_requested(const InterruptCheck& check) {
  return check && check();
}

}  // namespace

std::expected<UniqueFd, OsError> open_file(PosixIo& io, const char* path, int flags, mode_t mode,
                                           const InterruptCheck& check) {
  for (;;) {
    const int fd = io.open(path, flags | O_CLOEXEC, mode);
    if (fd >= 0) return UniqueFd(fd, io);
    if (errno != EINTR) return std::unexpected(OsError{errno});
    if (stop_requested(check)) return std::unexpected(OsError{EINTR});
  }
}

std::expected<UniqueFd, OsError> open_file_at(PosixIo& io, int dir_fd, const char* name, int flags,
                                              mode_t mode, const InterruptCheck& check) {
  for (;;) {
    const int fd = io.openat(dir_fd, name, flags | O_CLOEXEC, mode);
    if (fd >= 0) return UniqueFd(fd, io);
    if (errno != EINTR) return std::unexpected(OsError{errno});
    if (stop_requested(check)) return std::unexpected(OsError{EINTR});
  }
}

std::expected<size_t, OsError> read_some(PosixIo& io, int fd, void* buf, size_t len,
                                         const InterruptCheck& check) {
  for (;;) {
    const ssize_t n = io.read(fd, buf, len);
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return std::unexpected(OsError{errno});
    if (stop_requested(check)) return std::unexpected(OsError{EINTR});
  }
}

std::expected<size_t, OsError> read_block(PosixIo& io, int fd, void* buf, size_t len,
                                          const InterruptCheck& check) {
  if (stop_requested(check)) return std::unexpected(OsError{EINTR});
  return read_some(io, fd, buf, len, check);
}

std::expected<void, OsError> write_all(PosixIo& io, int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = io.write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(OsError{errno});
    }
    if (n == 0) return std::unexpected(OsError{0, "failed to write whole buffer"});
    data.remove_prefix(static_cast<size_t>(n));
  }
  return {};
}

std::expected<void, OsError> sync_file(PosixIo& io, int fd) {
  while (io.fsync(fd) != 0) {
    if (errno != EINTR) return std::unexpected(OsError{errno});
  }
  return {};
}

std::expected<void, OsError> lock_exclusive(PosixIo& io, int fd, const InterruptCheck& check) {
  for (int attempt = 0;; ++attempt) {
    if (io.flock(fd, LOCK_EX | LOCK_NB) == 0) return {};
    if (errno != EWOULDBLOCK && errno != EINTR) return std::unexpected(OsError{errno});
    if (stop_requested(check)) return std::unexpected(OsError{EINTR});
    // 1, 2, 4 ... up to 16 ms between attempts.
    std::this_thread::sleep_for(std::chrono::milliseconds(1 << std::min(attempt, 4)));
  }
}

}  // namespace quillmere
