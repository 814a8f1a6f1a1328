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

  // Every operation runs on the store's one connection, one thread at a time. A
  // connection found broken (server restarted, network dropped) is opened again and
  // the operation retried once; writes are upserts, so a retry never duplicates.

  // A range on the rid key.
  std::expected<std::vector<Receipt>, StorageError> find_by_rid_prefix(std::string_view hex_prefix,
                                                                       size_t limit) override;

  std::expected<std::string, StorageError> put_manifest(std::string_view body) override;
  std::expected<std::optional<std::string>, StorageError> get_manifest(
      std::string_view digest) override;
  std::expected<void, StorageError> put_reuse_entries(std::span<const ReuseEntry> entries) override;
  std::expected<std::vector<ReuseCandidate>, StorageError> reuse_candidates(
      std::string_view method, std::span<const int64_t> keys) override;

 private:
  explicit PostgresStore(std::string conninfo) : conninfo_(std::move(conninfo)) {}

  std::expected<void, StorageError> connect() override;
  std::expected<void, StorageError> write_rows(std::span<const sql::ReceiptRow> rows) override;
  std::expected<std::vector<Receipt>, StorageError> answer(const ReceiptQuery& query) override;
  void disconnect();
  // Runs `op` on a live connection, reconnecting and retrying once when the
  // connection turns out to be broken.
  template <class Op>
  auto with_connection(Op&& op) -> decltype(op());
  std::expected<void, StorageError> upsert_rows(std::span<const sql::ReceiptRow> rows);
  std::expected<std::vector<sql::StoredRow>, StorageError> fetch(const ReceiptQuery& query,
                                                                 std::optional<int64_t> limit,
                                                                 int64_t offset);
  std::expected<void, StorageError> exec(const char* sql);
  // Prepares the statement named by `name` once per connection.
  std::expected<void, StorageError> prepare(const std::string& name, const std::string& sql,
                                            std::span<const sql::Param> params);
  StorageError error() const;
  // Waits for the answer to a statement just sent (`sent`: what PQsend* returned) and gives
  // its last result, as PQexec does; null when sending failed or the wait was stopped.
  struct PgResultDeleter {
    void operator()(pg_result* r) const;
  };
  using Result = std::unique_ptr<pg_result, PgResultDeleter>;
  Result await_result(int sent);
  // Runs the side table statement `which` (prepared once per connection) with `params`;
  // its result (values binary with `binary_result`, else text), or the error.
  std::expected<Result, StorageError> run_side(int which, std::span<const sql::Param> params,
                                               bool binary_result);
  std::expected<void, StorageError> connect_polling();
  // A Database error of libpq's text, without any secret of the connection text.
  StorageError database_error(const char* text) const;

  std::string conninfo_;
  pg_conn* conn_ = nullptr;
  int pid_ = 0;  // the process that opened conn_
  bool upsert_prepared_ = false;
  bool rid_range_prepared_ = false;
  bool interrupted_ = false;  // the last wait was stopped (conn_ is gone)
  std::bitset<sql::kQueryShapeCount> selects_prepared_;
  std::bitset<8> side_prepared_;
};

}  // namespace quillmere
