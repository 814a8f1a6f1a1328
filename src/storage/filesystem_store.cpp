// The filesystem receipt store. Every operation holds the store's lock from
// start to end.
//
// Writing: the text goes into a file that has no name yet (O_TMPFILE), is
// synced, and is then linked in as <rid>.json; a receipt that already exists is
// replaced by linking the new file under a temporary name and renaming that over
// it. A reader thus sees the old receipt or the whole new one, never part of one,
// and a writer killed while writing or syncing leaves nothing (an unnamed file
// goes with its last descriptor). Only a kill in the instant between the link to
// a temporary name and the rename, or on a file system without unnamed files
// (where the whole write goes through a temporary name), can leave a temporary
// file; its writer holds an flock on it for as long as it lives, so whoever sees
// it unlocked knows it is abandoned and removes it (store creation and listing).
#include "storage/filesystem_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/utf8.h"
#include "receipts/json_adapter.h"
#include "receipts/receipt_reader.h"
#include "storage/file_names.h"
#include "storage/warning_line.h"

namespace quillmere {

namespace {

std::string join_path(std::string_view base, std::string_view name) {
  std::string out;
  out.reserve(base.size() + 1 + name.size());
  out.append(base);
  if (!out.empty() && out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

bool is_directory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The parent of a path, with trailing slashes ignored; "" when there is none.
std::string parent_path(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  const size_t slash = path.rfind('/', end - 1);
  if (slash == std::string::npos) return {};
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// mkdir -p: creates missing parents first; a directory that already exists (or
// that someone else creates meanwhile) is success. Returns 0 or an errno value.
int create_directories(const std::string& path) {
  if (path.empty()) return 0;
  if (::mkdir(path.c_str(), 0777) == 0) return 0;
  int err = errno;
  if (err == ENOENT) {
    const std::string parent = parent_path(path);
    if (!parent.empty() && parent != path) {
      if (const int perr = create_directories(parent); perr != 0) return perr;
      if (::mkdir(path.c_str(), 0777) == 0) return 0;
      err = errno;
    }
  }
  return is_directory(path) ? 0 : err;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Marks a file that will carry a temporary name as having a live writer, until
// the descriptor is closed (or the process dies). Where the file system has no
// such locks, nobody can take them to remove the file either, so going on
// without is safe.
void lock_for_life(PosixIo& io, int fd) {
  while (io.flock(fd, LOCK_EX) != 0 && errno == EINTR) {
  }
}

// Removes the temporary file `name` unless a live writer holds its lock. The
// lock is taken before the name is checked and unlinked, so a writer that has
// just created the name waits for it and then sees its name gone.
void remove_if_abandoned(PosixIo& io, int dir_fd, const char* name) {
  auto fd = open_file_at(io, dir_fd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
  if (!fd) return;
  struct stat held, named;
  if (io.fstat(fd->get(), &held) != 0 || !S_ISREG(held.st_mode)) return;
  if (io.flock(fd->get(), LOCK_EX | LOCK_NB) != 0) return;
  if (::fstatat(dir_fd, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && same_file(held, named)) {
    io.unlinkat(dir_fd, name, 0);
  }
}

// Receipts are a few kilobytes; larger files grow the buffer.
constexpr size_t kInitialReadBuffer = 64 * 1024;
// What listing reads at most from an entry that is not a regular file (a FIFO,
// a device, a link to one): such content has no end of file to trust.
constexpr size_t kNonRegularReadLimit = size_t{16} << 20;

enum class ReadOutcome { kText, kTooLong };

// Reads a receipt file (relative to an open directory) into `buf`, reusing its
// storage; sets `len` to the number of bytes read. Reading until end of file,
// rather than asking for the size first, costs one call fewer per file once the
// buffer has grown to fit. A regular file is read whole; anything else only as
// far as kNonRegularReadLimit (kTooLong beyond that) and only what is there
// now: the file is opened without blocking, so a FIFO with no data reads as
// empty rather than hanging the listing.
std::expected<ReadOutcome, std::string> read_receipt_file(PosixIo& io, int dir_fd, const char* name,
                                                          std::string& buf, size_t& len) {
  auto fd = open_file_at(io, dir_fd, name, O_RDONLY | O_NOCTTY | O_NONBLOCK);
  if (!fd) return std::unexpected(fd.error().text());
  if (buf.size() < kInitialReadBuffer) buf.resize(kInitialReadBuffer);
  len = 0;
  bool regular = false;
  for (;;) {
    if (len == buf.size()) {
      // Only a file this long is asked what it is.
      if (!regular && len >= kNonRegularReadLimit) {
        struct stat st;
        if (io.fstat(fd->get(), &st) != 0) return std::unexpected(os_error_text(errno));
        if (!S_ISREG(st.st_mode)) return ReadOutcome::kTooLong;
        regular = true;
      }
      buf.resize(buf.size() * 2);
    }
    auto n = read_some(io, fd->get(), buf.data() + len, buf.size() - len);
    if (!n) {
      if (n.error().code == EAGAIN) return ReadOutcome::kText;  // nothing more for now
      return std::unexpected(n.error().text());
    }
    if (*n == 0) return ReadOutcome::kText;
    len += *n;
  }
}

class DirectoryStream {
 public:
  explicit DirectoryStream(DIR* dir) : dir_(dir) {}
  ~DirectoryStream() {
    if (dir_) ::closedir(dir_);
  }
  DirectoryStream(const DirectoryStream&) = delete;
  DirectoryStream& operator=(const DirectoryStream&) = delete;
  DIR* get() const { return dir_; }

 private:
  DIR* dir_;
};

// Opens a directory for listing through `io`; the stream owns the descriptor.
std::expected<DirectoryStream, int> open_directory(PosixIo& io, const std::string& path) {
  auto fd = open_file(io, path.c_str(), O_RDONLY | O_DIRECTORY);
  if (!fd) return std::unexpected(fd.error().code);
  DIR* dir = ::fdopendir(fd->get());
  if (!dir) return std::unexpected(errno);
  fd->release();
  return std::expected<DirectoryStream, int>(std::in_place, dir);
}

void remove_abandoned_files(PosixIo& io, const std::string& dir_path) {
  auto dir = open_directory(io, dir_path);
  if (!dir) return;
  while (const dirent* entry = ::readdir(dir->get())) {
    if (is_temp_file_name(entry->d_name))
      remove_if_abandoned(io, ::dirfd(dir->get()), entry->d_name);
  }
}

}  // namespace

// Writes receipts into the receipts directory for one store operation: holds
// the directory open, and syncs it once at the end.
class FilesystemStore::Writer {
 public:
  explicit Writer(FilesystemStore& store) : store_(store), io_(*store.io_) {}

  // Opens the directory; nothing is created if it is gone.
  std::expected<void, OsError> open() {
    auto dir = open_file(io_, store_.receipts_dir_.c_str(), O_RDONLY | O_DIRECTORY);
    if (!dir) return std::unexpected(dir.error());
    dir_ = std::move(*dir);
    return {};
  }

  // Writes one receipt's text durably under `name` (not yet the directory entry).
  std::expected<void, OsError> write(std::string_view rid, const std::string& name,
                                     std::string_view text) {
    if (store_.unnamed_files_) {
      auto written = write_unnamed(rid, name, text);
      if (written || written.error().code != kNoUnnamedFiles) return written;
      store_.unnamed_files_ = false;
    }
    return write_named(rid, name, text);
  }

  // Makes the directory entries durable.
  std::expected<void, OsError> sync() {
    // A file system that cannot sync directories (EINVAL) leaves nothing more to do.
    if (auto synced = sync_file(io_, dir_.get()); !synced && synced.error().code != EINVAL) {
      return synced;
    }
    return {};
  }

 private:
  // Not an errno value: this file system cannot make or link unnamed files.
  static constexpr int kNoUnnamedFiles = -1;

  std::expected<void, OsError> write_unnamed(std::string_view rid, const std::string& name,
                                             std::string_view text) {
    auto file = open_file_at(io_, dir_.get(), ".", O_TMPFILE | O_WRONLY, 0666);
    if (!file) {
      const int err = file.error().code;
      if (err == EOPNOTSUPP || err == EISDIR || err == EINVAL) {
        return std::unexpected(OsError{kNoUnnamedFiles});
      }
      return std::unexpected(file.error());
    }
    if (auto written = write_all(io_, file->get(), text); !written) return written;
    if (auto synced = sync_file(io_, file->get()); !synced) return synced;

    const int linked = link_unnamed(file->get(), name.c_str());
    if (linked == 0) return {};
    if (linked != EEXIST) return std::unexpected(OsError{linked});
    // Replacing a receipt: a temporary name, locked before it exists, then a
    // rename over the old file.
    lock_for_life(io_, file->get());
    std::string temp;
    for (int attempt = 0;; ++attempt) {
      temp = temp_file_name(rid);
      const int err = link_unnamed(file->get(), temp.c_str());
      if (err == 0) break;
      if (err != EEXIST || attempt >= 16) return std::unexpected(OsError{err});
    }
    return rename_into_place(temp, name);
  }

  // Links an unnamed file into the directory: by descriptor where the process
  // may, otherwise through /proc. 0 or an errno value (kNoUnnamedFiles when
  // neither way exists here).
  int link_unnamed(int fd, const char* name) {
    if (!store_.link_through_proc_) {
      if (io_.linkat(fd, "", dir_.get(), name, AT_EMPTY_PATH) == 0) return 0;
      if (errno != ENOENT && errno != EPERM) return errno;
      store_.link_through_proc_ = true;
    }
    char proc_path[40];
    std::snprintf(proc_path, sizeof proc_path, "/proc/self/fd/%d", fd);
    if (io_.linkat(AT_FDCWD, proc_path, dir_.get(), name, AT_SYMLINK_FOLLOW) == 0) return 0;
    const int err = errno;
    if (err == ENOENT && ::access("/proc/self/fd", F_OK) != 0) return kNoUnnamedFiles;
    return err;
  }

  // Where unnamed files are missing, the whole write goes through a locked
  // temporary name.
  std::expected<void, OsError> write_named(std::string_view rid, const std::string& name,
                                           std::string_view text) {
    std::string temp;
    UniqueFd file;
    for (int attempt = 0; !file.valid(); ++attempt) {
      temp = temp_file_name(rid);
      auto opened = open_file_at(io_, dir_.get(), temp.c_str(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
      if (!opened) {
        if (opened.error().code != EEXIST || attempt >= 16) return std::unexpected(opened.error());
        continue;
      }
      lock_for_life(io_, opened->get());
      // A sweep that took the lock first has removed the name: take another.
      struct stat held, named;
      if (io_.fstat(opened->get(), &held) == 0 &&
          ::fstatat(dir_.get(), temp.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
          same_file(held, named)) {
        file = std::move(*opened);
      } else if (attempt >= 16) {
        return std::unexpected(OsError{ENOENT});
      }
    }
    auto fail = [&](OsError error) -> std::expected<void, OsError> {
      io_.unlinkat(dir_.get(), temp.c_str(), 0);
      return std::unexpected(error);
    };
    if (auto written = write_all(io_, file.get(), text); !written) return fail(written.error());
    if (auto synced = sync_file(io_, file.get()); !synced) return fail(synced.error());
    return rename_into_place(temp, name);
  }

  std::expected<void, OsError> rename_into_place(const std::string& temp, const std::string& name) {
    if (io_.renameat(dir_.get(), temp.c_str(), dir_.get(), name.c_str()) != 0) {
      const OsError error{errno};
      io_.unlinkat(dir_.get(), temp.c_str(), 0);
      return std::unexpected(error);
    }
    return {};
  }

  FilesystemStore& store_;
  PosixIo& io_;
  UniqueFd dir_;
};

std::expected<std::shared_ptr<FilesystemStore>, StorageError> FilesystemStore::create(
    std::string base_path, PosixIo& io) {
  std::string receipts_dir = join_path(base_path, "receipts");
  // The OS would silently cut the path at a NUL and create a directory nobody named.
  if (base_path.find('\0') != std::string::npos) {
    return std::unexpected(StorageError::io("Failed to create receipts directory " + receipts_dir +
                                            ": file name contained an unexpected NUL byte"));
  }
  if (const int err = create_directories(receipts_dir); err != 0) {
    return std::unexpected(StorageError::io("Failed to create receipts directory " + receipts_dir +
                                            ": " + os_error_text(err)));
  }
  remove_abandoned_files(io, receipts_dir);
  return std::shared_ptr<FilesystemStore>(
      new FilesystemStore(std::move(base_path), std::move(receipts_dir), io));
}

std::expected<void, StorageError> FilesystemStore::store_receipt(const Receipt& receipt) {
  return store_receipts(std::span<const Receipt>(&receipt, 1));
}

std::expected<void, StorageError> FilesystemStore::store_receipts(
    std::span<const Receipt> receipts) {
  std::lock_guard guard(*lock_);
  if (receipts.empty()) return {};
  std::string path;  // of the receipt being written
  auto io_error = [&](const OsError& error) {
    return std::unexpected(
        StorageError::io("Failed to write receipt to " + path + ": " + error.text()));
  };
  Writer writer(*this);
  std::expected<void, StorageError> result;
  size_t written = 0;
  for (const Receipt& receipt : receipts) {
    auto text = receipt_to_json(receipt);
    if (!text) {
      result = std::unexpected(
          StorageError::serialization("JSON serialization failed: " + text.error().display()));
      break;
    }
    const std::string name = receipt_file_name(receipt.rid);
    path = join_path(receipts_dir_, name);
    // The directory is opened once the first text is ready, as a single write
    // serialises before it touches the file system.
    if (written == 0) {
      if (auto opened = writer.open(); !opened) {
        result = io_error(opened.error());
        break;
      }
    }
    if (auto stored = writer.write(uuid_to_string(receipt.rid), name, *text); !stored) {
      result = io_error(stored.error());
      break;
    }
    ++written;
  }
  // The receipts written so far become durable also when a later one failed.
  if (written > 0) {
    if (auto synced = writer.sync(); !synced && result) result = io_error(synced.error());
  }
  return result;
}

std::expected<std::vector<Receipt>, StorageError> FilesystemStore::query_receipts(
    ReceiptQuery query) {
  std::lock_guard guard(*lock_);
  auto dir = open_directory(*io_, receipts_dir_);
  if (!dir) {
    return std::unexpected(StorageError::io("Failed to read receipts directory " + receipts_dir_ +
                                            ": " + os_error_text(dir.error())));
  }
  const int dir_fd = ::dirfd(dir->get());
  std::vector<Receipt> results;
  std::string buf;
  Receipt current;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir->get());
    if (!entry) {
      if (errno != 0) {
        return std::unexpected(
            StorageError::io("Failed to read directory entry: " + os_error_text(errno)));
      }
      break;
    }
    const std::string_view name(entry->d_name);
    if (!is_receipt_file_name(name)) {
      if (is_temp_file_name(name)) remove_if_abandoned(*io_, dir_fd, entry->d_name);
      continue;
    }

    size_t len = 0;
    auto read = read_receipt_file(*io_, dir_fd, entry->d_name, buf, len);
    if (!read)
      return std::unexpected(StorageError::io("Failed to read receipt file: " + read.error()));
    if (*read == ReadOutcome::kTooLong) {
      write_warning_line(
          "Warning: Skipped receipt file ", join_path(receipts_dir_, name),
          "not a regular file, and longer than " + std::to_string(kNonRegularReadLimit) + " bytes");
      continue;
    }
    const std::string_view text(buf.data(), len);
    // Receipts as written are read into `current`, whose storage is reused for
    // the next file unless it is kept; other forms and failures take the
    // general reading alone (the one-pass reading has already declined them).
    if (!read_receipt_direct(text, current)) {
      auto receipt = receipt_from_json_tree(text);
      if (!receipt) {
        // Text that reads as a receipt is valid UTF-8 (the reader checks every
        // string, and all else must be ASCII), so only a failure needs the check.
        if (!utf8::is_valid(text)) {
          return std::unexpected(
              StorageError::io("Failed to read receipt file: stream did not contain valid UTF-8"));
        }
        write_warning_line("Warning: Failed to parse receipt file ", join_path(receipts_dir_, name),
                           receipt.error().display());
        continue;
      }
      current = std::move(*receipt);
    }
    if (matches_query(current, query)) results.push_back(std::move(current));
  }
  if (query.limit && *query.limit < results.size()) {
    results.erase(results.begin() + static_cast<std::ptrdiff_t>(*query.limit), results.end());
  }
  return results;
}

}  // namespace quillmere
