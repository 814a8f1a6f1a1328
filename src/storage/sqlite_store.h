// The SQLite receipt store: one database file on one machine, shared safely by
// several processes, queries answered from indexes.
#pragma once

#include <array>
#include <expected>
#include <memory>
#include <mutex>
#include <string>

#include "base/fork_safe.h"
#include "storage/receipt_store.h"
#include "storage/side_tables.h"
#include "storage/sql_schema.h"

struct sqlite3;
struct sqlite3_stmt;

namespace quillmere {

class SqliteStore : public ReceiptStore, public SideTables {
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

  // One durable transaction per call; a receipt with an existing rid is replaced
  // and keeps its place in the insertion order.
  std::expected<void, StorageError> store_receipt(const Receipt& receipt) override;
  // All receipts in one transaction: either every one is stored or none.
  std::expected<void, StorageError> store_receipts(std::span<const Receipt> receipts) override;
  // The matching receipts in insertion order; `limit` takes the first ones.
  std::expected<std::vector<Receipt>, StorageError> query_receipts(ReceiptQuery query) override;
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

  // Opens the connection when there is none (or the process was forked since).
  std::expected<void, StorageError> connect();
  void disconnect();
  std::expected<void, StorageError> write_rows(std::span<const sql::ReceiptRow> rows);
  std::expected<std::vector<sql::StoredRow>, StorageError> fetch(const ReceiptQuery& query,
                                                                 std::optional<int64_t> limit,
                                                                 int64_t offset);
  // A cached prepared statement for `sql`, kept in `slot`.
  std::expected<sqlite3_stmt*, StorageError> prepared(sqlite3_stmt*& slot, const std::string& sql);
  std::expected<void, StorageError> exec(const char* sql);
  StorageError error() const;

  std::string path_;
  ForkSafeMutex lock_;  // one operation at a time on the connection
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
