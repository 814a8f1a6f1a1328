// The filesystem receipt store. Every operation holds the store's lock from
// start to end. Writes go through a synced temporary file renamed over
// <rid>.json, so a crash, a kill or a full disk never leaves a partial receipt
// under its final name.
#include "storage/filesystem_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "base/posix_io.h"
#include "base/utf8.h"
#include "receipts/json_adapter.h"
#include "receipts/receipt_reader.h"

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

// Receipts are a few kilobytes; larger files grow the buffer.
constexpr size_t kInitialReadBuffer = 64 * 1024;

// A name in the receipts directory that is unique to this write and is never
// taken for a receipt (its extension is not "json").
std::string temporary_name(std::string_view rid) {
  static std::atomic<uint64_t> counter{0};
  uint64_t salt = 0;
  if (::getrandom(&salt, sizeof salt, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof salt)) {
    salt = 0;
  }
  char suffix[64];
  const int n = std::snprintf(suffix, sizeof suffix, ".json.tmp.%ld.%016llx%llx",
                              static_cast<long>(::getpid()), static_cast<unsigned long long>(salt),
                              static_cast<unsigned long long>(counter.fetch_add(1)));
  std::string name;
  name.reserve(1 + rid.size() + static_cast<size_t>(n));
  name.push_back('.');
  name.append(rid);
  name.append(suffix, static_cast<size_t>(n));
  return name;
}

// Creates a fresh temporary file next to `final_path`, fills and syncs it,
// renames it over `final_path` and syncs the directory. Any failure removes the
// temporary file; the error is the operating system's text.
std::expected<void, std::string> write_file_durably(const std::string& dir, std::string_view rid,
                                                    const std::string& final_path,
                                                    std::string_view text) {
  std::string tmp_path;
  int fd = -1;
  for (int attempt = 0; fd < 0; ++attempt) {
    tmp_path = join_path(dir, temporary_name(rid));
    fd = ::open(tmp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && (errno != EEXIST || attempt >= 16)) return std::unexpected(os_error_text(errno));
  }
  PosixIo& io = PosixIo::system();
  UniqueFd file(fd, io);
  auto fail = [&](const OsError& error) -> std::expected<void, std::string> {
    ::unlink(tmp_path.c_str());
    return std::unexpected(error.text());
  };

  if (auto written = write_all(io, file.get(), text); !written) return fail(written.error());
  if (auto synced = sync_file(io, file.get()); !synced) return fail(synced.error());
  if (auto closed = file.close(); !closed) return fail(closed.error());
  if (::rename(tmp_path.c_str(), final_path.c_str()) != 0) return fail(OsError{errno});

  // Make the rename itself durable. A file system that cannot sync directories
  // (EINVAL) leaves nothing more to do.
  auto dir_fd = open_file(io, dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (!dir_fd) return std::unexpected(dir_fd.error().text());
  if (auto synced = sync_file(io, dir_fd->get()); !synced && synced.error().code != EINVAL) {
    return std::unexpected(synced.error().text());
  }
  return {};
}

// Reads a whole file (relative to an open directory) into `buf`, reusing its
// storage; returns the number of bytes read or the operating system's error
// text. Reading until end of file, rather than asking for the size first, costs
// one call fewer per file once the buffer has grown to fit.
std::expected<size_t, std::string> read_file_at(int dir_fd, const char* name, std::string& buf) {
  // O_NONBLOCK: a FIFO named like a receipt must not hang the listing; it has
  // no effect on regular files.
  PosixIo& io = PosixIo::system();
  auto fd = open_file_at(io, dir_fd, name, O_RDONLY | O_NOCTTY | O_NONBLOCK);
  if (!fd) return std::unexpected(fd.error().text());
  if (buf.size() < kInitialReadBuffer) buf.resize(kInitialReadBuffer);
  size_t len = 0;
  for (;;) {
    if (len == buf.size()) buf.resize(buf.size() * 2);
    auto n = read_some(io, fd->get(), buf.data() + len, buf.size() - len);
    if (!n) return std::unexpected(n.error().text());
    if (*n == 0) return len;
    len += *n;
  }
}

// One line on standard error, written with a single call so that lines from
// several threads or processes do not interleave.
void write_warning(const std::string& line) {
  std::string_view rest = line;
  while (!rest.empty()) {
    const ssize_t n = ::write(STDERR_FILENO, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    rest.remove_prefix(static_cast<size_t>(n));
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

}  // namespace

bool has_json_extension(std::string_view file_name) {
  const size_t dot = file_name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return false;
  return file_name.substr(dot + 1) == "json";
}

std::expected<std::shared_ptr<FilesystemStore>, StorageError> FilesystemStore::create(
    std::string base_path) {
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
  return std::shared_ptr<FilesystemStore>(
      new FilesystemStore(std::move(base_path), std::move(receipts_dir)));
}

std::expected<void, StorageError> FilesystemStore::store_receipt(const Receipt& receipt) {
  std::lock_guard guard(*lock_);
  auto text = receipt_to_json(receipt);
  if (!text) {
    return std::unexpected(
        StorageError::serialization("JSON serialization failed: " + text.error().message()));
  }
  const std::string rid = uuid_to_string(receipt.rid);
  const std::string path = join_path(receipts_dir_, rid + ".json");
  if (auto written = write_file_durably(receipts_dir_, rid, path, *text); !written) {
    return std::unexpected(
        StorageError::io("Failed to write receipt to " + path + ": " + written.error()));
  }
  return {};
}

std::expected<std::vector<Receipt>, StorageError> FilesystemStore::query_receipts(
    ReceiptQuery query) {
  std::lock_guard guard(*lock_);
  DirectoryStream dir(::opendir(receipts_dir_.c_str()));
  if (!dir.get()) {
    return std::unexpected(StorageError::io("Failed to read receipts directory " + receipts_dir_ +
                                            ": " + os_error_text(errno)));
  }
  const int dir_fd = ::dirfd(dir.get());
  std::vector<Receipt> results;
  std::string buf;
  Receipt current;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir.get());
    if (!entry) {
      if (errno != 0) {
        return std::unexpected(
            StorageError::io("Failed to read directory entry: " + os_error_text(errno)));
      }
      break;
    }
    const std::string_view name(entry->d_name);
    if (name == "." || name == ".." || !has_json_extension(name)) continue;

    auto len = read_file_at(dir_fd, entry->d_name, buf);
    if (!len)
      return std::unexpected(StorageError::io("Failed to read receipt file: " + len.error()));
    const std::string_view text(buf.data(), *len);
    // Receipts as written are read into `current`, whose storage is reused for
    // the next file unless it is kept; other forms and failures take the
    // general reading.
    if (!read_receipt_direct(text, current)) {
      auto receipt = receipt_from_json(text);
      if (!receipt) {
        // Text that reads as a receipt is valid UTF-8 (the reader checks every
        // string, and all else must be ASCII), so only a failure needs the check.
        if (!utf8::is_valid(text)) {
          return std::unexpected(
              StorageError::io("Failed to read receipt file: stream did not contain valid UTF-8"));
        }
        write_warning("Warning: Failed to parse receipt file " +
                      utf8::to_display_text(join_path(receipts_dir_, name)) + ": " +
                      receipt.error().message() + "\n");
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
