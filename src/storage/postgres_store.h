// The PostgreSQL receipt store: receipts on a database server shared by a team's
// machines, queries answered from indexes.
#pragma once

#include <bitset>
#include <expected>
#include <memory>
#include <string>

#include "storage/sql_store.h"

struct pg_conn;
struct pg_result;

namespace quillmere {

class PostgresStore final : public SqlStore {
 public:
  // Connects with `conninfo` (a postgresql:// URI or key=value text, given to libpq
  // as is) and creates the tables on first use. Errors are Database errors with
  // libpq's message (InvalidInput for text holding a NUL), secrets masked.
  //
  // Every wait on the server (connecting, each statement) polls the socket in short
  // slices and asks the thread's current interruption check (base/cancellation.h): when
  // it says stop, the connection is dropped (the server rolls back what was open) and the
  // operation fails. connect_timeout in the connection text bounds the connection, as
  // libpq's own does; statement_timeout (options=-c statement_timeout=...) bounds
  // statements on the server.
  static std::expected<std::shared_ptr<PostgresStore>, StorageError> create(std::string conninfo);
  ~PostgresStore() override;

 private:
  explicit PostgresStore(std::string conninfo)
      : SqlStore(sql::Dialect::Postgres), conninfo_(std::move(conninfo)) {}

  Outcome connect() override;
  // A connection found broken (server restarted, network dropped) is opened again and the
  // operation retried once; writes are upserts, so a retry never duplicates.
  Outcome with_connection(Operation op) override;
  Outcome run(sql::StatementId which, std::span<const sql::Param> params, RowSink sink) override;
  Outcome transaction(Operation body) override;
  void disconnect();
  Outcome exec(const char* sql);
  // Prepares the statement named by `name` once per connection.
  Outcome prepare(const std::string& name, const std::string& sql,
                  std::span<const sql::Param> params);
  StorageError error() const;
  // Waits for the answer to a statement just sent (`sent`: what PQsend* returned) and gives
  // its last result, as PQexec does; null when sending failed or the wait was stopped.
  struct PgResultDeleter {
    void operator()(pg_result* r) const;
  };
  using Result = std::unique_ptr<pg_result, PgResultDeleter>;
  Result await_result(int sent);
  Outcome connect_polling();
  // A Database error of libpq's text, without any secret of the connection text.
  StorageError database_error(const char* text) const;

  std::string conninfo_;
  pg_conn* conn_ = nullptr;
  int pid_ = 0;                                 // the process that opened conn_
  bool interrupted_ = false;                    // the last wait was stopped (conn_ is gone)
  std::bitset<sql::kStatementCount> prepared_;  // by StatementId, on this connection
};

}  // namespace quillmere
