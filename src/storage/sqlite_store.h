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

// One durable transaction per write; a receipt with an existing rid is replaced and keeps
// its place in the insertion order.
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

  const std::string& path() const { return path_; }

 private:
  explicit SqliteStore(std::string path) : SqlStore(sql::Dialect::Sqlite), path_(std::move(path)) {}

  Outcome connect() override;
  Outcome run(sql::StatementId which, std::span<const sql::Param> params, RowSink sink) override;
  Outcome transaction(Operation body) override;
  void disconnect();
  // The prepared statement kept in `slot`, prepared from `sql()` when the slot is empty (the
  // text is made only then).
  std::expected<sqlite3_stmt*, StorageError> prepared(sqlite3_stmt*& slot,
                                                      FunctionRef<std::string()> sql);
  Outcome exec(const char* sql);
  StorageError error() const;

  std::string path_;
  sqlite3* db_ = nullptr;
  int pid_ = 0;                                                   // the process that opened db_
  std::array<sqlite3_stmt*, sql::kStatementCount> statements_{};  // by StatementId
};

}  // namespace quillmere
