// The SQLite receipt store. Every operation holds the store's lock; writes run in
// BEGIN IMMEDIATE transactions, so the writer lock is taken (waiting up to the busy
// timeout for other processes) before anything is read, and the next seq is taken
// under that lock.
#include "storage/sqlite_store.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

#include "base/cancellation.h"

namespace quillmere {

namespace {

// Resets a statement and drops its bindings when leaving scope, so a cached
// statement never holds a read transaction open or points at freed values.
class StatementUse {
 public:
  explicit StatementUse(sqlite3_stmt* stmt) : stmt_(stmt) {}
  ~StatementUse() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  StatementUse(const StatementUse&) = delete;
  StatementUse& operator=(const StatementUse&) = delete;

 private:
  sqlite3_stmt* stmt_;
};

int bind(sqlite3_stmt* stmt, int index, const sql::Param& p) {
  // A null data pointer would bind NULL; an empty value must stay an empty value.
  const char* data = p.bytes.data() != nullptr ? p.bytes.data() : "";
  switch (p.kind) {
    case sql::Param::Kind::Null:
      return sqlite3_bind_null(stmt, index);
    case sql::Param::Kind::Text:
      return sqlite3_bind_text64(stmt, index, data, p.bytes.size(), SQLITE_STATIC, SQLITE_UTF8);
    case sql::Param::Kind::Bytes:
      return sqlite3_bind_blob64(stmt, index, data, p.bytes.size(), SQLITE_STATIC);
    case sql::Param::Kind::Int64:
      return sqlite3_bind_int64(stmt, index, p.integer);
  }
  return SQLITE_MISUSE;
}

// The row a statement has just stepped to.
class SqliteRow final : public sql::ResultRow {
 public:
  explicit SqliteRow(sqlite3_stmt* stmt) : stmt_(stmt) {}
  std::string bytes(int column) const override {
    const void* data = sqlite3_column_blob(stmt_, column);
    const int size = sqlite3_column_bytes(stmt_, column);
    if (data == nullptr || size <= 0) return {};
    return std::string(static_cast<const char*>(data), static_cast<size_t>(size));
  }
  int64_t integer(int column) const override { return sqlite3_column_int64(stmt_, column); }

 private:
  sqlite3_stmt* stmt_;
};

// SQLite's busy handler: waits in short sleeps for another connection's lock, up to the
// busy timeout, and stops early when the thread's interruption check says so.
int wait_while_busy(void*, int attempt) {
  using Clock = std::chrono::steady_clock;
  thread_local Clock::time_point started;
  const Clock::time_point now = Clock::now();
  if (attempt == 0) started = now;
  if (now - started >= std::chrono::milliseconds(SqliteStore::kBusyTimeoutMs)) return 0;
  if (current_interruption()()) return 0;
  // 1, 2, 4 ... up to 16 ms between attempts.
  std::this_thread::sleep_for(std::chrono::milliseconds(1 << std::min(attempt, 4)));
  return 1;
}

// SQLite's process-wide mutexes (memory accounting, page cache, file locks of the VFS) are
// taken briefly by every connection; a fork while another thread held one would leave it
// held forever in the child. They are taken before fork and released after, in SQLite's
// own order (OPEN before MAIN, the memory one last: nothing is taken while it is held).
constexpr int kGlobalMutexes[] = {
    SQLITE_MUTEX_STATIC_OPEN, SQLITE_MUTEX_STATIC_MAIN, SQLITE_MUTEX_STATIC_PRNG,
    SQLITE_MUTEX_STATIC_LRU,  SQLITE_MUTEX_STATIC_PMEM, SQLITE_MUTEX_STATIC_VFS1,
    SQLITE_MUTEX_STATIC_VFS2, SQLITE_MUTEX_STATIC_VFS3, SQLITE_MUTEX_STATIC_MEM,
};

void enter_global_mutexes() {
  for (const int id : kGlobalMutexes) {
    if (sqlite3_mutex* m = sqlite3_mutex_alloc(id)) sqlite3_mutex_enter(m);
  }
}

void leave_global_mutexes() {
  for (auto it = std::rbegin(kGlobalMutexes); it != std::rend(kGlobalMutexes); ++it) {
    if (sqlite3_mutex* m = sqlite3_mutex_alloc(*it)) sqlite3_mutex_leave(m);
  }
}

// After the stores' own locks have settled (so no store waits for these meanwhile).
void guard_fork() {
  static std::once_flag once;
  std::call_once(once, [] {
    sqlite3_initialize();  // the mutexes exist from here on
    at_fork(&enter_global_mutexes, &leave_global_mutexes);
  });
}

}  // namespace

std::expected<std::shared_ptr<SqliteStore>, StorageError> SqliteStore::create(std::string path) {
  // SQLite takes a C string and would open a file nobody named.
  if (path.find('\0') != std::string::npos) {
    return std::unexpected(StorageError::invalid_input("database path contains a NUL byte"));
  }
  guard_fork();
  return connected(std::shared_ptr<SqliteStore>(new SqliteStore(std::move(path))));
}

SqliteStore::~SqliteStore() {
  if (pid_ == ::getpid()) disconnect();
}

void SqliteStore::disconnect() {
  for (sqlite3_stmt*& stmt : statements_) {
    sqlite3_finalize(stmt);
    stmt = nullptr;
  }
  sqlite3_close(db_);
  db_ = nullptr;
}

StorageError SqliteStore::error() const {
  return StorageError::database(db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory");
}

SqliteStore::Outcome SqliteStore::exec(const char* sql) {
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
    return std::unexpected(error());
  return {};
}

std::expected<sqlite3_stmt*, StorageError> SqliteStore::prepared(sqlite3_stmt*& slot,
                                                                 FunctionRef<std::string()> sql) {
  if (slot != nullptr) return slot;
  const std::string text = sql();
  if (sqlite3_prepare_v3(db_, text.c_str(), static_cast<int>(text.size()) + 1,
                         SQLITE_PREPARE_PERSISTENT, &slot, nullptr) != SQLITE_OK) {
    return std::unexpected(error());
  }
  return slot;
}

SqliteStore::Outcome SqliteStore::connect() {
  if (lock_.torn()) {
    // SQLite keeps the file's locks of the whole process in memory: with a write of the
    // parent cut off halfway, every connection to this file here would wait forever.
    return std::unexpected(StorageError::database(
        "the store was in use by another thread when this process was forked; SQLite "
        "cannot use the file in this process"));
  }
  if (db_ != nullptr) {
    if (pid_ == ::getpid()) return {};
    // A connection inherited across fork must not be used or closed here (its
    // locks belong to the parent); leave it to the parent and open a new one.
    db_ = nullptr;
    statements_.fill(nullptr);
  }
  // A relative name gets "./" in front, so SQLite never reads it as ":memory:" or a
  // "file:" URI: the store is always exactly the named file.
  const std::string name = path_.starts_with('/') ? path_ : "./" + path_;
  const int rc =
      sqlite3_open_v2(name.c_str(), &db_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  pid_ = ::getpid();
  if (rc != SQLITE_OK) {
    StorageError err = error();
    disconnect();
    return std::unexpected(std::move(err));
  }
  auto setup = [&]() -> std::expected<void, StorageError> {
    if (sqlite3_busy_handler(db_, &wait_while_busy, nullptr) != SQLITE_OK) {
      return std::unexpected(error());
    }
    // Set before the first write creates the file (an existing database keeps its own):
    // receipts of a kilobyte or more fill 4 KiB pages a few rows at a time, and a batch
    // then spends its time splitting pages and writing them to the log.
    if (auto r = exec("PRAGMA page_size=16384"); !r) return r;
    if (auto r = exec("PRAGMA journal_mode=WAL"); !r) return r;
    if (auto r = exec("PRAGMA synchronous=FULL"); !r) return r;
    if (auto r = exec("PRAGMA cache_size=-16384"); !r) return r;
    if (auto r = exec("BEGIN IMMEDIATE"); !r) return r;
    auto in_transaction = [&]() -> std::expected<void, StorageError> {
      if (auto r = exec(sql::version_table_statement(sql::Dialect::Sqlite).c_str()); !r) return r;
      sqlite3_stmt* stmt = nullptr;
      const std::string select = sql::select_version_statement();
      if (sqlite3_prepare_v2(db_, select.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
        return std::unexpected(error());
      }
      const int fetched = sqlite3_step(stmt);
      // MAX over no rows (a new database) is NULL, read as version 0.
      const int64_t version = fetched == SQLITE_ROW ? sqlite3_column_int64(stmt, 0) : 0;
      sqlite3_finalize(stmt);
      if (fetched != SQLITE_ROW) return std::unexpected(error());
      if (version > sql::kSchemaVersion) {
        return std::unexpected(StorageError::database(
            "receipt tables have schema version " + std::to_string(version) +
            ", newer than this library's " + std::to_string(sql::kSchemaVersion)));
      }
      if (version == sql::kSchemaVersion) return {};
      const std::string insert = sql::insert_version_statement(sql::Dialect::Sqlite);
      for (const sql::SchemaStep& step : sql::schema_steps(sql::Dialect::Sqlite)) {
        if (step.version <= version) continue;
        for (const std::string& statement : step.statements) {
          if (auto r = exec(statement.c_str()); !r) return r;
        }
        if (sqlite3_prepare_v2(db_, insert.c_str(), -1, &stmt, nullptr) != SQLITE_OK) {
          return std::unexpected(error());
        }
        sqlite3_bind_int64(stmt, 1, step.version);
        const int inserted = sqlite3_step(stmt);
        sqlite3_finalize(stmt);
        if (inserted != SQLITE_DONE) return std::unexpected(error());
      }
      return {};
    };
    if (auto r = in_transaction(); !r) {
      sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
      return r;
    }
    return exec("COMMIT");
  };
  if (auto r = setup(); !r) {
    disconnect();
    return r;
  }
  return {};
}

SqliteStore::Outcome SqliteStore::run(sql::StatementId which, std::span<const sql::Param> params,
                                      RowSink sink) {
  auto stmt = prepared(statements_[which],
                       [which] { return sql::statement_text(sql::Dialect::Sqlite, which); });
  if (!stmt) return std::unexpected(stmt.error());
  StatementUse use(*stmt);
  for (size_t i = 0; i < params.size(); ++i) {
    if (bind(*stmt, static_cast<int>(i + 1), params[i]) != SQLITE_OK) {
      return std::unexpected(error());
    }
  }
  const SqliteRow row(*stmt);
  for (;;) {
    const int rc = sqlite3_step(*stmt);
    if (rc == SQLITE_DONE) return {};
    if (rc != SQLITE_ROW) return std::unexpected(error());
    sink(row);
  }
}

SqliteStore::Outcome SqliteStore::transaction(Operation body) {
  if (auto r = exec("BEGIN IMMEDIATE"); !r) return r;
  auto done = body();
  if (done) done = exec("COMMIT");
  if (!done) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  return done;
}

}  // namespace quillmere
