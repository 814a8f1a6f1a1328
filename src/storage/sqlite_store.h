// The SQLite receipt store: one database file on one machine, shared safely by
// several processes, queries answered from indexes.
#pragma once

#include <array>
#include <expected>
#include <memory>
#include <string>

#include "storage/sql_store.h"

struct sqlite3;
struct sqlite3_stmt;

namespace quillmere {

class SqliteStore final : public SqlStore {
 public:
  // How long a write waits for another connection's write to finish. The wait asks the
  // thread's current interruption check (base/cancellation.h) every few milliseconds, and
  // gives up with "database is locked" when it says stop.
  static constexpr int kBusyTimeoutMs = 60'000;

  // Opens (creating if missing) the database file at `path` in WAL mode with full
  // synchronous commits, and creates the tables on first use. Errors are Database
  // errors with SQLite's message (InvalidInput for a path holding a NUL).
  static std::expected<std::shared_ptr<SqliteStore>, StorageError> create(std::string path);
  ~SqliteStore() override;

  // One durable transaction per write; a receipt with an existing rid is replaced
  // and keeps its place in the insertion order.

  // A range on the rid key.
  std::expected<std::vector<Receipt>, StorageError> find_by_rid_prefix(std::string_view hex_prefix,
                                                                       size_t limit) override;

  std::expected<std::string, StorageError> put_manifest(std::string_view body) override;
  std::expected<std::optional<std::string>, StorageError> get_manifest(
      std::string_view digest) override;
  std::expected<void, StorageError> put_reuse_entries(std::span<const ReuseEntry> entries) override;
  std::expected<std::vector<ReuseCandidate>, StorageError> reuse_candidates(
      std::string_view method, std::span<const int64_t> keys) override;

  const std::string& path() const { return path_; }

 private:
  explicit SqliteStore(std::string path) : path_(std::move(path)) {}

  std::expected<void, StorageError> connect() override;
  std::expected<void, StorageError> write_rows(std::span<const sql::ReceiptRow> rows) override;
  std::expected<std::vector<Receipt>, StorageError> answer(const ReceiptQuery& query) override;
  void disconnect();
  std::expected<std::vector<sql::StoredRow>, StorageError> fetch(const ReceiptQuery& query,
                                                                 std::optional<int64_t> limit,
                                                                 int64_t offset);
  // A cached prepared statement for `sql`, kept in `slot`.
  std::expected<sqlite3_stmt*, StorageError> prepared(sqlite3_stmt*& slot, const std::string& sql);
  std::expected<void, StorageError> exec(const char* sql);
  StorageError error() const;
  // The error of the step that just failed, once the open transaction is rolled back.
  std::unexpected<StorageError> roll_back();
  // Commits the open transaction, or rolls it back when the commit fails.
  std::expected<void, StorageError> commit();

  std::string path_;
  sqlite3* db_ = nullptr;
  int pid_ = 0;  // the process that opened db_
  sqlite3_stmt* upsert_ = nullptr;
  sqlite3_stmt* last_seq_ = nullptr;
  sqlite3_stmt* rid_range_ = nullptr;
  std::array<sqlite3_stmt*, sql::kQueryShapeCount> selects_{};
  // The side tables' statements, in the order of SideStatement.
  std::array<sqlite3_stmt*, 5> side_{};
};

}  // namespace quillmere
