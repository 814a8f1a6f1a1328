// The PostgreSQL receipt store. All values travel as bound parameters in binary
// form (bytes as they are, integers as 8 big-endian bytes), so no value is ever
// part of the SQL text and no text encoding conversion touches a receipt.
#include "storage/postgres_store.h"

#include <libpq-fe.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string_view>
#include <vector>

#include "base/cancellation.h"
#include "storage/storage_url.h"

namespace quillmere {

namespace {

// Serialises first-use table creation between connections to one database.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(7235350711092451329)";

// One slice of a wait on the server: the interruption check is asked this often.
constexpr int kPollSliceMs = 50;

enum class Waited { Ready, Stopped, TimedOut };

// Waits for `events` on the connection's socket, asking the thread's interruption check
// between slices; `deadline_ms` (a steady-clock time in ms, or 0 for none) bounds it.
Waited wait_socket(PGconn* conn, short events, int64_t deadline_ms) {
  using namespace std::chrono;
  for (;;) {
    if (current_interruption()()) return Waited::Stopped;
    int slice = kPollSliceMs;
    if (deadline_ms != 0) {
      const int64_t now =
          duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
      if (now >= deadline_ms) return Waited::TimedOut;
      slice = static_cast<int>(std::min<int64_t>(slice, deadline_ms - now));
    }
    pollfd fd{PQsocket(conn), events, 0};
    if (fd.fd < 0) return Waited::Ready;  // libpq reports the broken connection itself
    const int n = ::poll(&fd, 1, slice);
    if (n > 0 || (n < 0 && errno != EINTR)) return Waited::Ready;
    if (n < 0 && current_interruption()(true)) return Waited::Stopped;
  }
}

// connect_timeout of the connection text (or PGCONNECT_TIMEOUT) in seconds; 0: none. As in
// libpq, a value of 1 counts as 2.
int64_t connect_timeout_of(const std::string& conninfo) {
  int64_t seconds = 0;
  if (const char* env = std::getenv("PGCONNECT_TIMEOUT")) seconds = std::atoll(env);
  if (PQconninfoOption* options = PQconninfoParse(conninfo.c_str(), nullptr)) {
    for (PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
      if (std::string_view(o->keyword) == "connect_timeout" && o->val != nullptr) {
        seconds = std::atoll(o->val);
      }
    }
    PQconninfoFree(options);
  }
  if (seconds <= 0) return 0;
  return std::max<int64_t>(seconds, 2);
}

std::string trimmed(const char* text) {
  std::string out = text != nullptr ? text : "";
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

// The values of `params` laid out as libpq takes them, all in binary format.
class BoundParams {
 public:
  explicit BoundParams(std::span<const sql::Param> params) {
    const size_t n = params.size();
    integers_.resize(n);
    values_.resize(n);
    lengths_.resize(n);
    formats_.assign(n, 1);
    for (size_t i = 0; i < n; ++i) {
      const sql::Param& p = params[i];
      switch (p.kind) {
        case sql::Param::Kind::Null:
          values_[i] = nullptr;
          break;
        case sql::Param::Kind::Text:
        case sql::Param::Kind::Bytes:
          // A null pointer would mean SQL NULL; an empty value stays empty.
          values_[i] = p.bytes.data() != nullptr ? p.bytes.data() : "";
          lengths_[i] = static_cast<int>(p.bytes.size());
          break;
        case sql::Param::Kind::Int64: {
          auto v = static_cast<uint64_t>(p.integer);
          for (int b = 7; b >= 0; --b, v >>= 8) integers_[i][b] = static_cast<char>(v & 0xFF);
          values_[i] = integers_[i].data();
          lengths_[i] = 8;
          break;
        }
      }
    }
  }
  int count() const { return static_cast<int>(values_.size()); }
  const char* const* values() const { return values_.data(); }
  const int* lengths() const { return lengths_.data(); }
  const int* formats() const { return formats_.data(); }

 private:
  std::vector<std::array<char, 8>> integers_;
  std::vector<const char*> values_;
  std::vector<int> lengths_;
  std::vector<int> formats_;
};

std::string value_bytes(const PGresult* r, int row, int column) {
  return std::string(PQgetvalue(r, row, column), static_cast<size_t>(PQgetlength(r, row, column)));
}

void ignore_notice(void*, const char*) {}

constexpr const char* kInterrupted = "interrupted while waiting for the server";

// The row `row` of a result whose values came in binary form.
class PgRow final : public sql::ResultRow {
 public:
  PgRow(const PGresult* result, int row) : result_(result), row_(row) {}
  std::string bytes(int column) const override { return value_bytes(result_, row_, column); }
  // A bigint arrives as 8 big-endian bytes (an integer as 4).
  int64_t integer(int column) const override {
    const auto* p = reinterpret_cast<const unsigned char*>(PQgetvalue(result_, row_, column));
    const int n = PQgetlength(result_, row_, column);
    uint64_t v = n > 0 && (p[0] & 0x80) != 0 ? ~uint64_t{0} : 0;
    for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
    return static_cast<int64_t>(v);
  }

 private:
  const PGresult* result_;
  int row_;
};

}  // namespace

void PostgresStore::PgResultDeleter::operator()(pg_result* r) const {
  PQclear(r);
}

PostgresStore::Result PostgresStore::await_result(int sent) {
  if (sent == 0) return nullptr;
  Result last;
  for (;;) {
    while (PQisBusy(conn_) != 0) {
      if (wait_socket(conn_, POLLIN, 0) != Waited::Ready) {
        // Dropping the connection ends the statement: the server rolls back what was open.
        disconnect();
        interrupted_ = true;
        return nullptr;
      }
      if (PQconsumeInput(conn_) == 0) break;  // PQgetResult reports the failure
    }
    PGresult* next = PQgetResult(conn_);
    if (next == nullptr) break;
    last.reset(next);
    if (PQstatus(conn_) == CONNECTION_BAD) break;
  }
  return last;
}

PostgresStore::Outcome PostgresStore::connect_polling() {
  using namespace std::chrono;
  const int64_t timeout_s = connect_timeout_of(conninfo_);
  const int64_t deadline_ms =
      timeout_s == 0 ? 0
                     : duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count() +
                           timeout_s * 1000;
  conn_ = PQconnectStart(conninfo_.c_str());
  pid_ = ::getpid();
  if (conn_ == nullptr) return std::unexpected(error());
  PostgresPollingStatusType status = PGRES_POLLING_WRITING;
  while (PQstatus(conn_) != CONNECTION_BAD && status != PGRES_POLLING_OK &&
         status != PGRES_POLLING_FAILED) {
    const short events = status == PGRES_POLLING_READING ? POLLIN : POLLOUT;
    const Waited waited = wait_socket(conn_, events, deadline_ms);
    if (waited == Waited::Stopped) {
      disconnect();
      interrupted_ = true;
      return std::unexpected(error());
    }
    if (waited == Waited::TimedOut) {
      disconnect();
      return std::unexpected(StorageError::database("timeout expired"));
    }
    status = PQconnectPoll(conn_);
  }
  if (PQstatus(conn_) != CONNECTION_OK) {
    StorageError err = error();
    disconnect();
    return std::unexpected(std::move(err));
  }
  return {};
}

std::expected<std::shared_ptr<PostgresStore>, StorageError> PostgresStore::create(
    std::string conninfo) {
  // libpq takes a C string and would connect to something nobody named.
  if (conninfo.find('\0') != std::string::npos) {
    return std::unexpected(StorageError::invalid_input("connection text contains a NUL byte"));
  }
  return connected(std::shared_ptr<PostgresStore>(new PostgresStore(std::move(conninfo))));
}

PostgresStore::~PostgresStore() {
  if (pid_ == ::getpid()) disconnect();
}

void PostgresStore::disconnect() {
  PQfinish(conn_);
  conn_ = nullptr;
  prepared_.reset();
}

StorageError PostgresStore::error() const {
  if (conn_ == nullptr) return database_error(interrupted_ ? kInterrupted : "out of memory");
  return database_error(PQerrorMessage(conn_));
}

// libpq's texts may quote pieces of the connection URL, password included.
StorageError PostgresStore::database_error(const char* text) const {
  return StorageError::database(redact_secrets(trimmed(text), conninfo_));
}

PostgresStore::Outcome PostgresStore::exec(const char* sql) {
  Result r = await_result(PQsendQuery(conn_, sql));
  const ExecStatusType status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    return std::unexpected(r ? database_error(PQresultErrorMessage(r.get())) : error());
  }
  return {};
}

PostgresStore::Outcome PostgresStore::connect() {
  if (conn_ != nullptr) {
    if (pid_ != ::getpid()) {
      // A connection inherited across fork belongs to the parent: ending it would
      // end the parent's session. Drop this process's copy of the socket only.
      ::close(PQsocket(conn_));
      conn_ = nullptr;
      prepared_.reset();
    } else if (PQstatus(conn_) == CONNECTION_OK) {
      if (PQtransactionStatus(conn_) != PQTRANS_IDLE) {
        // Left inside a transaction by a failure whose rollback failed too.
        if (auto r = exec("ROLLBACK"); !r && PQstatus(conn_) == CONNECTION_OK) return r;
      }
      if (PQstatus(conn_) == CONNECTION_OK) return {};
      disconnect();
    } else {
      disconnect();
    }
  }
  interrupted_ = false;
  if (auto connected = connect_polling(); !connected) return connected;
  // Server notices ("relation already exists, skipping") are no business of the caller.
  PQsetNoticeProcessor(conn_, ignore_notice, nullptr);

  auto setup = [&]() -> std::expected<void, StorageError> {
    if (auto r = exec("BEGIN"); !r) return r;
    if (auto r = exec(kSchemaLock); !r) return r;
    if (auto r = exec(sql::version_table_statement(sql::Dialect::Postgres).c_str()); !r) return r;
    Result version = await_result(PQsendQuery(conn_, sql::select_version_statement().c_str()));
    if (!version || PQresultStatus(version.get()) != PGRES_TUPLES_OK) {
      return std::unexpected(version ? database_error(PQresultErrorMessage(version.get()))
                                     : error());
    }
    const long long found = PQntuples(version.get()) == 1 && !PQgetisnull(version.get(), 0, 0)
                                ? std::atoll(PQgetvalue(version.get(), 0, 0))
                                : 0;
    if (found > sql::kSchemaVersion) {
      return std::unexpected(StorageError::database(
          "receipt tables have schema version " + std::to_string(found) +
          ", newer than this library's " + std::to_string(sql::kSchemaVersion)));
    }
    const std::string insert = sql::insert_version_statement(sql::Dialect::Postgres) + ";";
    for (const sql::SchemaStep& step : sql::schema_steps(sql::Dialect::Postgres)) {
      if (step.version <= found) continue;
      for (const std::string& statement : step.statements) {
        if (auto r = exec(statement.c_str()); !r) return r;
      }
      const std::string version_text = std::to_string(step.version);
      const char* values[] = {version_text.c_str()};
      Result inserted = await_result(
          PQsendQueryParams(conn_, insert.c_str(), 1, nullptr, values, nullptr, nullptr, 0));
      if (!inserted || PQresultStatus(inserted.get()) != PGRES_COMMAND_OK) {
        return std::unexpected(inserted ? database_error(PQresultErrorMessage(inserted.get()))
                                        : error());
      }
    }
    return exec("COMMIT");
  };
  if (auto r = setup(); !r) {
    disconnect();
    return r;
  }
  return {};
}

PostgresStore::Outcome PostgresStore::with_connection(Operation op) {
  if (auto connected = connect(); !connected) return connected;
  auto result = op();
  if (!result && !interrupted_ && PQstatus(conn_) != CONNECTION_OK) {
    disconnect();
    if (auto connected = connect(); !connected) return connected;
    result = op();
  }
  return result;
}

PostgresStore::Outcome PostgresStore::prepare(const std::string& name, const std::string& sql,
                                              std::span<const sql::Param> params) {
  // Parameter types are left to the server, which infers them from the columns.
  Result r = await_result(
      PQsendPrepare(conn_, name.c_str(), sql.c_str(), static_cast<int>(params.size()), nullptr));
  if (!r || PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
    return std::unexpected(r ? database_error(PQresultErrorMessage(r.get())) : error());
  }
  return {};
}

PostgresStore::Outcome PostgresStore::run(sql::StatementId which,
                                          std::span<const sql::Param> params, RowSink sink) {
  const std::string name = "qm_" + std::to_string(static_cast<unsigned>(which));
  if (!prepared_.test(which)) {
    if (auto r = prepare(name, sql::statement_text(sql::Dialect::Postgres, which), params); !r)
      return r;
    prepared_.set(which);
  }
  const BoundParams bound(params);
  Result r = await_result(PQsendQueryPrepared(conn_, name.c_str(), bound.count(), bound.values(),
                                              bound.lengths(), bound.formats(), 1));
  const ExecStatusType status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    return std::unexpected(r ? database_error(PQresultErrorMessage(r.get())) : error());
  }
  for (int i = 0, n = PQntuples(r.get()); i < n; ++i) sink(PgRow(r.get(), i));
  return {};
}

PostgresStore::Outcome PostgresStore::transaction(Operation body) {
  if (auto r = exec("BEGIN"); !r) return r;
  auto written = body();
  if (written) written = exec("COMMIT");
  if (!written && conn_ != nullptr && PQstatus(conn_) == CONNECTION_OK) {
    await_result(PQsendQuery(conn_, "ROLLBACK"));
  }
  return written;
}

}  // namespace quillmere
