// The PostgreSQL receipt store. All values travel as bound parameters in binary
// form (bytes as they are, integers as 8 big-endian bytes), so no value is ever
// part of the SQL text and no text encoding conversion touches a receipt.
#include "storage/postgres_store.h"

#include <libpq-fe.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <memory>
#include <vector>

namespace quillmere {

namespace {

constexpr const char* kUpsertName = "qm_upsert";
// Serialises first-use table creation between connections to one database.
constexpr const char* kSchemaLock = "SELECT pg_advisory_xact_lock(7235350711092451329)";

struct ResultDeleter {
  void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

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

}  // namespace

std::expected<std::shared_ptr<PostgresStore>, StorageError> PostgresStore::create(
    std::string conninfo) {
  // libpq takes a C string and would connect to something nobody named.
  if (conninfo.find('\0') != std::string::npos) {
    return std::unexpected(StorageError::invalid_input("connection text contains a NUL byte"));
  }
  std::shared_ptr<PostgresStore> store(new PostgresStore(std::move(conninfo)));
  std::lock_guard guard(store->lock_);
  if (auto connected = store->connect(); !connected) return std::unexpected(connected.error());
  return store;
}

PostgresStore::~PostgresStore() {
  if (pid_ == ::getpid()) disconnect();
}

void PostgresStore::disconnect() {
  PQfinish(conn_);
  conn_ = nullptr;
  upsert_prepared_ = false;
  selects_prepared_.reset();
}

StorageError PostgresStore::error() const {
  return StorageError::database(
      trimmed(conn_ != nullptr ? PQerrorMessage(conn_) : "out of memory"));
}

std::expected<void, StorageError> PostgresStore::exec(const char* sql) {
  Result r(PQexec(conn_, sql));
  const ExecStatusType status = r ? PQresultStatus(r.get()) : PGRES_FATAL_ERROR;
  if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
    return std::unexpected(r ? StorageError::database(trimmed(PQresultErrorMessage(r.get())))
                             : error());
  }
  return {};
}

std::expected<void, StorageError> PostgresStore::connect() {
  if (conn_ != nullptr) {
    if (pid_ != ::getpid()) {
      // A connection inherited across fork belongs to the parent: ending it would
      // end the parent's session. Drop this process's copy of the socket only.
      ::close(PQsocket(conn_));
      conn_ = nullptr;
      upsert_prepared_ = false;
      selects_prepared_.reset();
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
  conn_ = PQconnectdb(conninfo_.c_str());
  pid_ = ::getpid();
  if (conn_ == nullptr || PQstatus(conn_) != CONNECTION_OK) {
    StorageError err = error();
    disconnect();
    return std::unexpected(std::move(err));
  }
  // Server notices ("relation already exists, skipping") are no business of the caller.
  PQsetNoticeProcessor(conn_, ignore_notice, nullptr);

  auto setup = [&]() -> std::expected<void, StorageError> {
    if (auto r = exec("BEGIN"); !r) return r;
    if (auto r = exec(kSchemaLock); !r) return r;
    if (auto r = exec(sql::version_table_statement(sql::Dialect::Postgres).c_str()); !r) return r;
    Result version(PQexec(conn_, sql::select_version_statement().c_str()));
    if (!version || PQresultStatus(version.get()) != PGRES_TUPLES_OK) {
      return std::unexpected(
          version ? StorageError::database(trimmed(PQresultErrorMessage(version.get()))) : error());
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
      Result inserted(PQexecParams(conn_, insert.c_str(), 1, nullptr, values, nullptr, nullptr, 0));
      if (!inserted || PQresultStatus(inserted.get()) != PGRES_COMMAND_OK) {
        return std::unexpected(
            inserted ? StorageError::database(trimmed(PQresultErrorMessage(inserted.get())))
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

template <class Op>
auto PostgresStore::with_connection(Op&& op) -> decltype(op()) {
  if (auto connected = connect(); !connected) return std::unexpected(connected.error());
  auto result = op();
  if (!result && PQstatus(conn_) != CONNECTION_OK) {
    disconnect();
    if (auto connected = connect(); !connected) return std::unexpected(connected.error());
    result = op();
  }
  return result;
}

std::expected<void, StorageError> PostgresStore::prepare(const std::string& name,
                                                         const std::string& sql,
                                                         std::span<const sql::Param> params) {
  // Parameter types are left to the server, which infers them from the columns.
  Result r(PQprepare(conn_, name.c_str(), sql.c_str(), static_cast<int>(params.size()), nullptr));
  if (!r || PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
    return std::unexpected(r ? StorageError::database(trimmed(PQresultErrorMessage(r.get())))
                             : error());
  }
  return {};
}

std::expected<void, StorageError> PostgresStore::write_rows(std::span<const sql::ReceiptRow> rows) {
  if (!upsert_prepared_) {
    const std::vector<sql::Param> sample = rows.front().params();
    if (auto r = prepare(kUpsertName, sql::upsert_statement(sql::Dialect::Postgres), sample); !r) {
      return r;
    }
    upsert_prepared_ = true;
  }
  // One row is one statement, a transaction of its own; more share one transaction.
  const bool batch = rows.size() > 1;
  if (batch) {
    if (auto r = exec("BEGIN"); !r) return r;
  }
  for (const sql::ReceiptRow& row : rows) {
    const std::vector<sql::Param> params = row.params();
    const BoundParams bound(params);
    Result r(PQexecPrepared(conn_, kUpsertName, bound.count(), bound.values(), bound.lengths(),
                            bound.formats(), 1));
    if (!r || PQresultStatus(r.get()) != PGRES_COMMAND_OK) {
      StorageError err =
          r ? StorageError::database(trimmed(PQresultErrorMessage(r.get()))) : error();
      if (batch && PQstatus(conn_) == CONNECTION_OK) Result(PQexec(conn_, "ROLLBACK"));
      return std::unexpected(std::move(err));
    }
  }
  if (batch) {
    if (auto r = exec("COMMIT"); !r) return r;
  }
  return {};
}

std::expected<void, StorageError> PostgresStore::store_receipt(const Receipt& receipt) {
  auto row = sql::receipt_row(receipt);
  if (!row) return std::unexpected(row.error());
  std::lock_guard guard(lock_);
  return with_connection([&] { return write_rows(std::span(&*row, 1)); });
}

std::expected<void, StorageError> PostgresStore::store_receipts(std::span<const Receipt> receipts) {
  if (receipts.empty()) return {};
  // Every receipt is written out before the transaction starts: a receipt that
  // cannot be serialised stores none of them.
  std::vector<sql::ReceiptRow> rows;
  rows.reserve(receipts.size());
  for (const Receipt& receipt : receipts) {
    auto row = sql::receipt_row(receipt);
    if (!row) return std::unexpected(row.error());
    rows.push_back(std::move(*row));
  }
  std::lock_guard guard(lock_);
  return with_connection([&] { return write_rows(rows); });
}

std::expected<std::vector<sql::StoredRow>, StorageError> PostgresStore::fetch(
    const ReceiptQuery& query, std::optional<int64_t> limit, int64_t offset) {
  const sql::QueryShape shape = sql::query_shape(query);
  std::vector<sql::Param> params = sql::filter_params(query);
  if (shape.paged) {
    params.push_back(sql::Param::int64(limit.value_or(0)));
    params.push_back(sql::Param::int64(offset));
  }
  const std::string name = "qm_select_" + std::to_string(shape.index());
  if (!selects_prepared_.test(shape.index())) {
    if (auto r = prepare(name, sql::select_statement(sql::Dialect::Postgres, shape), params); !r) {
      return std::unexpected(r.error());
    }
    selects_prepared_.set(shape.index());
  }
  const BoundParams bound(params);
  Result r(PQexecPrepared(conn_, name.c_str(), bound.count(), bound.values(), bound.lengths(),
                          bound.formats(), 1));
  if (!r || PQresultStatus(r.get()) != PGRES_TUPLES_OK) {
    return std::unexpected(r ? StorageError::database(trimmed(PQresultErrorMessage(r.get())))
                             : error());
  }
  const int n = PQntuples(r.get());
  std::vector<sql::StoredRow> rows;
  rows.reserve(static_cast<size_t>(n));
  for (int i = 0; i < n; ++i)
    rows.push_back({value_bytes(r.get(), i, 0), value_bytes(r.get(), i, 1)});
  return rows;
}

std::expected<std::vector<Receipt>, StorageError> PostgresStore::query_receipts(
    ReceiptQuery query) {
  std::lock_guard guard(lock_);
  return with_connection([&]() -> std::expected<std::vector<Receipt>, StorageError> {
    return sql::answer_query(query, [&](std::optional<int64_t> limit, int64_t offset) {
      return fetch(query, limit, offset);
    });
  });
}

}  // namespace quillmere
