// The SQLite receipt store. Every operation holds the store's lock; writes run in
// BEGIN IMMEDIATE transactions, so the writer lock is taken (waiting up to the busy
// timeout for other processes) before anything is read, and the next seq is taken
// under that lock.
#include "storage/sqlite_store.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <initializer_list>
#include <iterator>
#include <mutex>
#include <thread>
#include <vector>

#include "base/cancellation.h"
#include "storage/rid_prefix.h"

namespace quillmere {

namespace {

enum SideStatement { kPutManifest, kGetManifest, kPutEntry, kPutKey, kCandidates };

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

std::string column_bytes(sqlite3_stmt* stmt, int column) {
  const void* data = sqlite3_column_blob(stmt, column);
  const int size = sqlite3_column_bytes(stmt, column);
  if (data == nullptr || size <= 0) return {};
  return std::string(static_cast<const char*>(data), static_cast<size_t>(size));
}

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
  sqlite3_finalize(upsert_);
  upsert_ = nullptr;
  sqlite3_finalize(last_seq_);
  last_seq_ = nullptr;
  sqlite3_finalize(rid_range_);
  rid_range_ = nullptr;
  for (sqlite3_stmt*& stmt : selects_) {
    sqlite3_finalize(stmt);
    stmt = nullptr;
  }
  for (sqlite3_stmt*& stmt : side_) {
    sqlite3_finalize(stmt);
    stmt = nullptr;
  }
  sqlite3_close(db_);
  db_ = nullptr;
}

StorageError SqliteStore::error() const {
  return StorageError::database(db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory");
}

std::expected<void, StorageError> SqliteStore::exec(const char* sql) {
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
    return std::unexpected(error());
  return {};
}

std::unexpected<StorageError> SqliteStore::roll_back() {
  StorageError err = error();
  sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  return std::unexpected(std::move(err));
}

std::expected<void, StorageError> SqliteStore::commit() {
  if (auto r = exec("COMMIT"); !r) {
    sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    return r;
  }
  return {};
}

std::expected<sqlite3_stmt*, StorageError> SqliteStore::prepared(sqlite3_stmt*& slot,
                                                                 const std::string& sql) {
  if (slot == nullptr &&
      sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()) + 1,
                         SQLITE_PREPARE_PERSISTENT, &slot, nullptr) != SQLITE_OK) {
    return std::unexpected(error());
  }
  return slot;
}

std::expected<void, StorageError> SqliteStore::connect() {
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
    upsert_ = nullptr;
    last_seq_ = nullptr;
    rid_range_ = nullptr;
    selects_.fill(nullptr);
    side_.fill(nullptr);
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

std::expected<void, StorageError> SqliteStore::write_rows(std::span<const sql::ReceiptRow> rows) {
  if (auto connected = connect(); !connected) return connected;
  auto stmt = prepared(upsert_, sql::upsert_statement(sql::Dialect::Sqlite));
  if (!stmt) return std::unexpected(stmt.error());
  auto last = prepared(last_seq_, sql::last_seq_statement());
  if (!last) return std::unexpected(last.error());
  if (auto r = exec("BEGIN IMMEDIATE"); !r) return r;
  // The write lock is held from here: no other writer takes a number meanwhile.
  int64_t seq = 0;
  {
    StatementUse use(*last);
    if (sqlite3_step(*last) != SQLITE_ROW) {
      return roll_back();
    }
    seq = sqlite3_column_int64(*last, 0);
  }
  for (const sql::ReceiptRow& row : rows) {
    StatementUse use(*stmt);
    std::vector<sql::Param> params = row.params();
    const sql::StoredViewColumns view = sql::stored_view_columns(row.body);
    for (const sql::Param& p : view.params()) params.push_back(p);
    params.push_back(sql::Param::int64(++seq));
    for (size_t i = 0; i < params.size(); ++i) {
      if (bind(*stmt, static_cast<int>(i + 1), params[i]) != SQLITE_OK) {
        return roll_back();
      }
    }
    if (sqlite3_step(*stmt) != SQLITE_DONE) {
      return roll_back();
    }
  }
  return commit();
}

std::expected<std::vector<sql::StoredRow>, StorageError> SqliteStore::fetch(
    const ReceiptQuery& query, std::optional<int64_t> limit, int64_t offset) {
  const sql::QueryShape shape = sql::query_shape(query);
  auto stmt = prepared(selects_[shape.index()], sql::select_statement(sql::Dialect::Sqlite, shape));
  if (!stmt) return std::unexpected(stmt.error());
  StatementUse use(*stmt);
  std::vector<sql::Param> params = sql::filter_params(query);
  if (shape.paged) {
    params.push_back(sql::Param::int64(limit.value_or(0)));
    params.push_back(sql::Param::int64(offset));
  }
  for (size_t i = 0; i < params.size(); ++i) {
    if (bind(*stmt, static_cast<int>(i + 1), params[i]) != SQLITE_OK) {
      return std::unexpected(error());
    }
  }
  std::vector<sql::StoredRow> rows;
  for (;;) {
    const int rc = sqlite3_step(*stmt);
    if (rc == SQLITE_DONE) break;
    if (rc != SQLITE_ROW) return std::unexpected(error());
    rows.push_back({column_bytes(*stmt, 0), column_bytes(*stmt, 1)});
  }
  return rows;
}

std::expected<std::vector<Receipt>, StorageError> SqliteStore::find_by_rid_prefix(
    std::string_view hex_prefix, size_t limit) {
  if (auto checked = check_rid_prefix(hex_prefix); !checked)
    return std::unexpected(checked.error());
  const RidRange range = rid_prefix_range(hex_prefix);
  if (!lock_interruptibly(lock_)) return std::unexpected(kInterruptedWaitingForStore);
  std::lock_guard guard(lock_, std::adopt_lock);
  if (auto connected = connect(); !connected) return std::unexpected(connected.error());
  auto stmt = prepared(rid_range_, sql::rid_range_statement(sql::Dialect::Sqlite));
  if (!stmt) return std::unexpected(stmt.error());
  StatementUse use(*stmt);
  const sql::Param params[] = {sql::Param::text(range.lower), sql::Param::text(range.upper),
                               sql::Param::int64(sql::sql_limit(limit).value_or(INT64_MAX))};
  for (size_t i = 0; i < std::size(params); ++i) {
    if (bind(*stmt, static_cast<int>(i + 1), params[i]) != SQLITE_OK) {
      return std::unexpected(error());
    }
  }
  std::vector<Receipt> results;
  for (;;) {
    const int rc = sqlite3_step(*stmt);
    if (rc == SQLITE_DONE) break;
    if (rc != SQLITE_ROW) return std::unexpected(error());
    Receipt receipt;
    if (sql::read_stored_receipt({column_bytes(*stmt, 0), column_bytes(*stmt, 1)}, receipt)) {
      results.push_back(std::move(receipt));
    }
  }
  return results;
}

std::expected<std::vector<Receipt>, StorageError> SqliteStore::answer(const ReceiptQuery& query) {
  if (auto connected = connect(); !connected) return std::unexpected(connected.error());
  return sql::answer_query(query, [&](std::optional<int64_t> limit, int64_t offset) {
    return fetch(query, limit, offset);
  });
}

std::expected<std::string, StorageError> SqliteStore::put_manifest(std::string_view body) {
  std::string digest = sql::manifest_digest(body);
  if (!lock_interruptibly(lock_)) return std::unexpected(kInterruptedWaitingForStore);
  std::lock_guard guard(lock_, std::adopt_lock);
  if (auto connected = connect(); !connected) return std::unexpected(connected.error());
  auto stmt = prepared(side_[kPutManifest], sql::put_manifest_statement(sql::Dialect::Sqlite));
  if (!stmt) return std::unexpected(stmt.error());
  // One statement, its own durable transaction.
  StatementUse use(*stmt);
  if (bind(*stmt, 1, sql::Param::text(digest)) != SQLITE_OK ||
      bind(*stmt, 2, sql::Param::blob(body)) != SQLITE_OK || sqlite3_step(*stmt) != SQLITE_DONE) {
    return std::unexpected(error());
  }
  return digest;
}

std::expected<std::optional<std::string>, StorageError> SqliteStore::get_manifest(
    std::string_view digest) {
  if (auto ok = sql::check_manifest_digest(digest); !ok) return std::unexpected(ok.error());
  if (!lock_interruptibly(lock_)) return std::unexpected(kInterruptedWaitingForStore);
  std::lock_guard guard(lock_, std::adopt_lock);
  if (auto connected = connect(); !connected) return std::unexpected(connected.error());
  auto stmt = prepared(side_[kGetManifest], sql::get_manifest_statement(sql::Dialect::Sqlite));
  if (!stmt) return std::unexpected(stmt.error());
  StatementUse use(*stmt);
  if (bind(*stmt, 1, sql::Param::text(digest)) != SQLITE_OK) return std::unexpected(error());
  const int rc = sqlite3_step(*stmt);
  if (rc == SQLITE_DONE) return std::optional<std::string>();
  if (rc != SQLITE_ROW) return std::unexpected(error());
  return std::optional<std::string>(column_bytes(*stmt, 0));
}

std::expected<void, StorageError> SqliteStore::put_reuse_entries(
    std::span<const ReuseEntry> entries) {
  for (const ReuseEntry& entry : entries) {
    if (auto ok = sql::check_reuse_entry(entry); !ok) return ok;
  }
  if (entries.empty()) return {};
  if (!lock_interruptibly(lock_)) return std::unexpected(kInterruptedWaitingForStore);
  std::lock_guard guard(lock_, std::adopt_lock);
  if (auto connected = connect(); !connected) return connected;
  auto put_entry = prepared(side_[kPutEntry], sql::put_entry_statement(sql::Dialect::Sqlite));
  if (!put_entry) return std::unexpected(put_entry.error());
  auto put_key = prepared(side_[kPutKey], sql::put_keys_statement(sql::Dialect::Sqlite));
  if (!put_key) return std::unexpected(put_key.error());
  if (auto r = exec("BEGIN IMMEDIATE"); !r) return r;
  auto step = [&](sqlite3_stmt* stmt, std::initializer_list<sql::Param> params) {
    StatementUse use(stmt);
    int i = 0;
    for (const sql::Param& p : params) {
      if (bind(stmt, ++i, p) != SQLITE_OK) return false;
    }
    return sqlite3_step(stmt) == SQLITE_DONE;
  };
  auto write = [&]() -> bool {
    for (const ReuseEntry& e : entries) {
      if (!step(*put_entry,
                {sql::Param::text(e.rid), sql::Param::text(e.method), sql::Param::text(e.entry)})) {
        return false;
      }
      for (const int64_t key : e.keys) {
        if (!step(*put_key, {sql::Param::int64(key), sql::Param::text(e.rid)})) return false;
      }
    }
    return true;
  };
  if (!write()) {
    return roll_back();
  }
  return commit();
}

std::expected<std::vector<ReuseCandidate>, StorageError> SqliteStore::reuse_candidates(
    std::string_view method, std::span<const int64_t> keys) {
  std::vector<ReuseCandidate> found;
  if (keys.empty()) return found;
  const std::string list = sql::key_list(sql::Dialect::Sqlite, keys);
  if (!lock_interruptibly(lock_)) return std::unexpected(kInterruptedWaitingForStore);
  std::lock_guard guard(lock_, std::adopt_lock);
  if (auto connected = connect(); !connected) return std::unexpected(connected.error());
  auto stmt = prepared(side_[kCandidates], sql::candidates_statement(sql::Dialect::Sqlite));
  if (!stmt) return std::unexpected(stmt.error());
  StatementUse use(*stmt);
  if (bind(*stmt, 1, sql::Param::text(list)) != SQLITE_OK ||
      bind(*stmt, 2, sql::Param::text(method)) != SQLITE_OK) {
    return std::unexpected(error());
  }
  for (;;) {
    const int rc = sqlite3_step(*stmt);
    if (rc == SQLITE_DONE) break;
    if (rc != SQLITE_ROW) return std::unexpected(error());
    found.push_back({column_bytes(*stmt, 0), sqlite3_column_int64(*stmt, 1)});
  }
  return found;
}

}  // namespace quillmere
