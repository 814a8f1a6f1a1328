// Opening a store from a path or a storage URL.
#include "storage/open_store.h"

#include "storage/filesystem_store.h"
#include "storage/postgres_store.h"
#include "storage/sqlite_store.h"
#include "storage/storage_url.h"

namespace quillmere {

std::expected<std::shared_ptr<ReceiptStore>, std::string> open_store(const StoreAddress& where) {
  if (where.kind == StoreAddress::Kind::kPath) {
    auto created = FilesystemStore::create(where.text);
    if (!created)
      return std::unexpected("Failed to create filesystem store: " + created.error().display());
    return std::move(*created);
  }
  auto location = parse_storage_url(where.text);
  if (!location) return std::unexpected("Invalid storage_url: " + location.error());
  const bool sqlite = location->kind == StorageUrl::Kind::Sqlite;
  auto opened = [&]() -> std::expected<std::shared_ptr<ReceiptStore>, StorageError> {
    if (sqlite) return SqliteStore::create(std::move(location->target));
    return PostgresStore::create(std::move(location->target));
  }();
  if (!opened) {
    return std::unexpected(
        (sqlite ? "Failed to create SQLite store: " : "Failed to create PostgreSQL store: ") +
        redact_secrets(opened.error().display(), where.text));
  }
  return std::move(*opened);
}

}  // namespace quillmere
