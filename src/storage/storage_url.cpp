// Parsing storage URLs. SQLite paths are taken literally (no percent decoding), so
// any file name can be written as it is.
#include "storage/storage_url.h"

namespace quillmere {

std::expected<StorageUrl, std::string> parse_storage_url(std::string_view url) {
  constexpr std::string_view kSqlite = "sqlite:";
  if (url.starts_with("postgresql://") || url.starts_with("postgres://")) {
    return StorageUrl{StorageUrl::Kind::Postgres, std::string(url)};
  }
  if (!url.starts_with(kSqlite)) {
    // The URL is not repeated: it may hold a password.
    return std::unexpected(
        std::string("a storage URL begins with sqlite:, postgresql:// or postgres://"));
  }
  std::string_view path = url.substr(kSqlite.size());
  if (path.starts_with("//")) {
    // An authority part: only the empty one (sqlite:///abs/path) names a file here.
    path.remove_prefix(2);
    if (!path.starts_with("/")) {
      return std::unexpected(std::string(
          "a SQLite URL names no host: sqlite:///absolute/path.db or sqlite:relative/path.db"));
    }
  }
  if (path.empty()) return std::unexpected(std::string("a SQLite URL needs a file path"));
  // SQLite would keep these in memory (receipts gone when the store closes) or read them
  // as its own URI syntax; a store is always the one named file.
  if (path == ":memory:" || path.starts_with("file:")) {
    return std::unexpected(
        std::string("a SQLite URL names a database file, not an in-memory database or a file: URI "
                    "(write sqlite:///absolute/path.db or sqlite:relative/path.db)"));
  }
  return StorageUrl{StorageUrl::Kind::Sqlite, std::string(path)};
}

}  // namespace quillmere
