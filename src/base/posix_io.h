// The POSIX I/O layer: an owning descriptor, the operating system's error text,
// and the system calls the libraries make behind one seam (PosixIo), so that
// tests can hand the store and the file hashing a PosixIo that fails on purpose.
// The helpers below retry what a signal interrupts; those that take an
// InterruptCheck let the caller decide instead (run signal handlers, give up).
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <utility>

namespace quillmere {

// "<description> (os error N)", e.g. "Is a directory (os error 21)".
std::string os_error_text(int errnum);

// A failed operating system call.
struct OsError {
  int code = 0;  // errno; 0 for a failure the system did not number
  // The text of an unnumbered failure ("failed to write whole buffer").
  const char* note = nullptr;

  std::string text() const { return note ? std::string(note) : os_error_text(code); }
  // True when an InterruptCheck asked to stop (the caller knows why).
  bool interrupted() const { return code == EINTR && !note; }
  friend bool operator==(const OsError&, const OsError&) = default;
};

// Asked after a call was interrupted by a signal, and before each block by
// read_block: true stops the operation with OsError{EINTR}, false retries. An
// empty check always retries.
using InterruptCheck = std::function<bool()>;

// The system calls, one virtual each, with their usual results (-1 and errno on
// failure). The defaults make the real calls; a test overrides what it wants to
// fail.
class PosixIo {
 public:
  virtual ~PosixIo() = default;
  virtual int open(const char* path, int flags, mode_t mode);
  virtual int openat(int dir_fd, const char* name, int flags, mode_t mode);
  virtual ssize_t read(int fd, void* buf, size_t len);
  virtual ssize_t write(int fd, const void* buf, size_t len);
  virtual int fstat(int fd, struct stat* st);
  virtual int fsync(int fd);
  virtual int close(int fd);
  virtual int linkat(int old_dir, const char* old_name, int new_dir, const char* new_name,
                     int flags);
  virtual int renameat(int old_dir, const char* old_name, int new_dir, const char* new_name);
  virtual int unlinkat(int dir_fd, const char* name, int flags);
  virtual int flock(int fd, int operation);
  virtual int stat(const char* path, struct stat* st);
  virtual int fstatat(int dir_fd, const char* name, struct stat* st, int flags);
  virtual int mkdir(const char* path, mode_t mode);
  virtual int access(const char* path, int mode);
  // A directory stream over an open descriptor (which it then owns), its entries
  // (nullptr at the end, or with errno set on failure) and its closing.
  virtual DIR* fdopendir(int fd);
  virtual struct dirent* readdir(DIR* dir);
  virtual int closedir(DIR* dir);

  // The real calls, shared by everyone who does not inject faults.
  static PosixIo& system();
};

// An open file descriptor, closed when the owner goes (through the PosixIo that
// opened it).
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd, PosixIo& io = PosixIo::system()) : fd_(fd), io_(&io) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)), io_(other.io_) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
      io_ = other.io_;
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Hands the descriptor over; the caller closes it.
  int release() { return std::exchange(fd_, -1); }
  void reset() {
    if (fd_ >= 0) io_->close(std::exchange(fd_, -1));
  }
  // Closes now and reports the result. An EINTR from close has still released
  // the descriptor (Linux), so it counts as success.
  std::expected<void, OsError> close();

 private:
  int fd_ = -1;
  PosixIo* io_ = &PosixIo::system();
};

// open(2) / openat(2) with O_CLOEXEC added, retried when a signal interrupts them
// (opening a FIFO waits for its writer).
std::expected<UniqueFd, OsError> open_file(PosixIo& io, const char* path, int flags,
                                           mode_t mode = 0, const InterruptCheck& check = {});
std::expected<UniqueFd, OsError> open_file_at(PosixIo& io, int dir_fd, const char* name, int flags,
                                              mode_t mode = 0, const InterruptCheck& check = {});

// One read(2) of at most `len` bytes, retried on EINTR; 0 at end of file.
std::expected<size_t, OsError> read_some(PosixIo& io, int fd, void* buf, size_t len,
                                         const InterruptCheck& check = {});

// read_some that asks `check` first: a loop reading a stream block after block
// through it can be stopped between blocks and while a read waits.
std::expected<size_t, OsError> read_block(PosixIo& io, int fd, void* buf, size_t len,
                                          const InterruptCheck& check);

// Writes all of `data`, repeating partial writes and retrying interrupted ones; a
// write that takes no bytes fails with "failed to write whole buffer".
std::expected<void, OsError> write_all(PosixIo& io, int fd, std::string_view data);

// fsync(2), retried on EINTR.
std::expected<void, OsError> sync_file(PosixIo& io, int fd);

// An exclusive flock(2) on `fd`, waited for in short sleeps while another open file
// holds it; `check` is asked before each sleep and stops the wait with OsError{EINTR}.
// A file system without such locks (ENOLCK, EOPNOTSUPP) fails with its error.
std::expected<void, OsError> lock_exclusive(PosixIo& io, int fd, const InterruptCheck& check);

}  // namespace quillmere
