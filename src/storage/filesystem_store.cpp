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

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "base/cancellation.h"
#include "base/utf8.h"
#include "receipts/json_adapter.h"
#include "receipts/receipt_reader.h"
#include "storage/file_names.h"
#include "storage/rid_prefix.h"
#include "storage/warning_line.h"

namespace quillmere {

namespace {

// The store's failures, each text a fixed beginning, the path where it names one, and the
// operating system's (or the reader's) text.
enum class Failure { kCreateDirectory, kWriteReceipt, kReadDirectory, kReadEntry, kReadFile };

StorageError failure(Failure what, std::string_view path, std::string_view detail) {
  // In the order of Failure.
  constexpr std::string_view kBeginnings[] = {
      "Failed to create receipts directory ", "Failed to write receipt to ",
      "Failed to read receipts directory ", "Failed to read directory entry",
      "Failed to read receipt file"};
  std::string text(kBeginnings[static_cast<size_t>(what)]);
  text.append(path);
  text.append(": ");
  text.append(detail);
  return StorageError::io(std::move(text));
}

StorageError failure(Failure what, std::string_view path, const OsError& error) {
  return failure(what, path, error.text());
}

// The interruption check of the operation running on this thread, for waits on file locks.
bool interruption_requested() {
  return current_interruption()();
}

bool is_directory(PosixIo& io, const std::string& path) {
  struct stat st;
  return io.stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
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
int create_directories(PosixIo& io, const std::string& path) {
  if (path.empty()) return 0;
  if (io.mkdir(path.c_str(), 0777) == 0) return 0;
  int err = errno;
  if (err == ENOENT) {
    const std::string parent = parent_path(path);
    if (!parent.empty() && parent != path) {
      if (const int perr = create_directories(io, parent); perr != 0) return perr;
      if (io.mkdir(path.c_str(), 0777) == 0) return 0;
      err = errno;
    }
  }
  return is_directory(io, path) ? 0 : err;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Marks a file that will carry a temporary name as having a live writer, until
// the descriptor is closed (or the process dies). Where the file system has no
// such locks, nobody can take them to remove the file either, so going on
// without is safe. Someone else holding the lock (a sweep, briefly) is waited for
// as long as the operation's interruption check allows: OsError{EINTR} when it
// said stop.
std::expected<void, OsError> lock_for_life(PosixIo& io, int fd) {
  auto locked = lock_exclusive(io, fd, interruption_requested);
  if (!locked && locked.error().interrupted()) return locked;
  return {};
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
  if (io.fstatat(dir_fd, name, &named, AT_SYMLINK_NOFOLLOW) == 0 && same_file(held, named)) {
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

// A directory open for listing, read through the PosixIo that opened it.
class DirectoryStream {
 public:
  DirectoryStream(PosixIo& io, DIR* dir) : io_(io), dir_(dir) {}
  ~DirectoryStream() {
    if (dir_) io_.closedir(dir_);
  }
  DirectoryStream(const DirectoryStream&) = delete;
  DirectoryStream& operator=(const DirectoryStream&) = delete;
  int fd() const { return ::dirfd(dir_); }
  // The next entry; nullptr at the end, or with errno set when the listing failed.
  const dirent* next() {
    errno = 0;
    return io_.readdir(dir_);
  }

 private:
  PosixIo& io_;
  DIR* dir_;
};

// Opens a directory for listing through `io`; the stream owns the descriptor.
std::expected<DirectoryStream, OsError> open_directory(PosixIo& io, const std::string& path) {
  auto fd = open_file(io, path.c_str(), O_RDONLY | O_DIRECTORY);
  if (!fd) return std::unexpected(fd.error());
  DIR* dir = io.fdopendir(fd->get());
  if (!dir) return std::unexpected(OsError{errno});
  fd->release();
  return std::expected<DirectoryStream, OsError>(std::in_place, io, dir);
}

// Calls visit(entry) for every entry in listing order, stopping at the first failure: its
// own, or the listing's (kReadEntry).
template <class Visit>
std::expected<void, StorageError> each_entry(DirectoryStream& dir, Visit&& visit) {
  while (const dirent* entry = dir.next()) {
    if (auto visited = visit(*entry); !visited) return visited;
  }
  if (errno != 0) return std::unexpected(failure(Failure::kReadEntry, "", OsError{errno}));
  return {};
}

void remove_abandoned_files(PosixIo& io, const std::string& dir_path) {
  auto dir = open_directory(io, dir_path);
  if (!dir) return;
  while (const dirent* entry = dir->next()) {
    if (is_temp_file_name(entry->d_name)) remove_if_abandoned(io, dir->fd(), entry->d_name);
  }
}

// Reads the receipt file `name` of an open directory into `current` (whose storage is
// reused), with `buf` as the read buffer: true when it holds the receipt, false when the
// file was skipped with a warning (too long for what it is, or no receipt), or the
// failure that fails the whole operation. `dir_path` names the file in warnings.
std::expected<bool, StorageError> read_receipt_entry(PosixIo& io, int dir_fd,
                                                     const std::string& dir_path, const char* name,
                                                     std::string& buf, Receipt& current) {
  size_t len = 0;
  auto read = read_receipt_file(io, dir_fd, name, buf, len);
  if (!read) return std::unexpected(failure(Failure::kReadFile, "", read.error()));
  if (*read == ReadOutcome::kTooLong) {
    write_warning_line(
        "Warning: Skipped receipt file ", join_path(dir_path, name),
        "not a regular file, and longer than " + std::to_string(kNonRegularReadLimit) + " bytes");
    return false;
  }
  const std::string_view text(buf.data(), len);
  // Receipts as written are read into `current`; other forms and failures take the
  // general reading alone (the one-pass reading has already declined them).
  if (read_receipt_direct(text, current)) return true;
  auto receipt = receipt_from_json_tree(text);
  if (!receipt) {
    // Text that reads as a receipt is valid UTF-8 (the reader checks every
    // string, and all else must be ASCII), so only a failure needs the check.
    if (!utf8::is_valid(text)) {
      return std::unexpected(failure(Failure::kReadFile, "", "stream did not contain valid UTF-8"));
    }
    write_warning_line("Warning: Failed to parse receipt file ", join_path(dir_path, name),
                       receipt.error().display());
    return false;
  }
  current = std::move(*receipt);
  return true;
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
    if (auto locked = lock_for_life(io_, file->get()); !locked) return locked;
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
    if (err == ENOENT && io_.access("/proc/self/fd", F_OK) != 0) return kNoUnnamedFiles;
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
      if (auto locked = lock_for_life(io_, opened->get()); !locked) {
        io_.unlinkat(dir_.get(), temp.c_str(), 0);
        return locked;
      }
      // A sweep that took the lock first has removed the name: take another.
      struct stat held, named;
      if (io_.fstat(opened->get(), &held) == 0 &&
          io_.fstatat(dir_.get(), temp.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
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
  std::string receipts_dir = receipts_folder(base_path);
  // The OS would silently cut the path at a NUL and create a directory nobody named.
  if (base_path.find('\0') != std::string::npos) {
    return std::unexpected(failure(Failure::kCreateDirectory, receipts_dir,
                                   "file name contained an unexpected NUL byte"));
  }
  if (const int err = create_directories(io, receipts_dir); err != 0) {
    return std::unexpected(failure(Failure::kCreateDirectory, receipts_dir, OsError{err}));
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
  if (!lock_interruptibly(*lock_)) return std::unexpected(kInterruptedWaitingForStore);
  std::lock_guard guard(*lock_, std::adopt_lock);
  if (receipts.empty()) return {};
  std::string path;  // of the receipt being written
  auto io_error = [&](const OsError& error) {
    return std::unexpected(failure(Failure::kWriteReceipt, path, error));
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
  if (!lock_interruptibly(*lock_)) return std::unexpected(kInterruptedWaitingForStore);
  std::lock_guard guard(*lock_, std::adopt_lock);
  auto dir = open_directory(*io_, receipts_dir_);
  if (!dir) return std::unexpected(failure(Failure::kReadDirectory, receipts_dir_, dir.error()));
  std::vector<Receipt> results;
  std::string buf;
  Receipt current;
  auto listed = each_entry(*dir, [&](const dirent& entry) -> std::expected<void, StorageError> {
    const std::string_view name(entry.d_name);
    if (!is_receipt_file_name(name)) {
      if (is_temp_file_name(name)) remove_if_abandoned(*io_, dir->fd(), entry.d_name);
      return {};
    }
    // `current` is kept only when it matches; otherwise the next file reuses its storage.
    auto read = read_receipt_entry(*io_, dir->fd(), receipts_dir_, entry.d_name, buf, current);
    if (!read) return std::unexpected(std::move(read.error()));
    if (*read && matches_query(current, query)) results.push_back(std::move(current));
    return {};
  });
  if (!listed) return std::unexpected(std::move(listed.error()));
  if (query.limit && *query.limit < results.size()) {
    results.erase(results.begin() + static_cast<std::ptrdiff_t>(*query.limit), results.end());
  }
  return results;
}

std::expected<std::vector<Receipt>, StorageError> FilesystemStore::find_by_rid_prefix(
    std::string_view hex_prefix, size_t limit) {
  if (auto checked = check_rid_prefix(hex_prefix); !checked)
    return std::unexpected(checked.error());
  if (!lock_interruptibly(*lock_)) return std::unexpected(kInterruptedWaitingForStore);
  std::lock_guard guard(*lock_, std::adopt_lock);
  auto dir = open_directory(*io_, receipts_dir_);
  if (!dir) return std::unexpected(failure(Failure::kReadDirectory, receipts_dir_, dir.error()));
  const std::string start = hyphenated_rid_prefix(hex_prefix);
  std::vector<Receipt> results;
  std::string buf;
  Receipt current;
  // A file is taken when its name and its rid both begin with the prefix.
  auto take = [&](const char* name) -> std::expected<void, StorageError> {
    auto read = read_receipt_entry(*io_, dir->fd(), receipts_dir_, name, buf, current);
    if (!read) return std::unexpected(std::move(read.error()));
    if (*read && uuid_to_string(current.rid).starts_with(start)) {
      results.push_back(std::move(current));
    }
    return {};
  };
  if (hex_prefix.size() == kRidHexDigits) {
    // One rid: its file, if there is one, is the only candidate.
    const std::string name = start + ".json";
    struct stat st;
    if (io_->fstatat(dir->fd(), name.c_str(), &st, 0) == 0) {
      if (auto taken = take(name.c_str()); !taken) return std::unexpected(taken.error());
    } else if (errno != ENOENT) {
      return std::unexpected(failure(Failure::kReadFile, "", OsError{errno}));
    }
  } else {
    auto listed = each_entry(*dir, [&](const dirent& entry) -> std::expected<void, StorageError> {
      const std::string_view name(entry.d_name);
      if (!name.starts_with(start) || !is_receipt_file_name(name)) return {};
      return take(entry.d_name);
    });
    if (!listed) return std::unexpected(std::move(listed.error()));
  }
  std::sort(results.begin(), results.end(),
            [](const Receipt& a, const Receipt& b) { return a.rid < b.rid; });
  if (results.size() > limit) results.resize(limit);
  return results;
}

}  // namespace quillmere
