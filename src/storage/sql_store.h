// What the SQL receipt stores share: receipts turned into rows before the connection is
// taken, one operation at a time on the store's one connection, queries answered in pages,
// and every operation written once over a few primitives each database provides (run a
// statement, run a transaction, keep a connection).
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "base/fork_safe.h"
#include "base/function_ref.h"
#include "storage/receipt_store.h"
#include "storage/side_tables.h"
#include "storage/sql_schema.h"

namespace quillmere {

namespace sql {

// The statements the shared operations run, each prepared once per connection: one per
// query shape (QueryShape::index()), then these.
enum StatementId : unsigned {
  kRidRange = kQueryShapeCount,
  kUpsert,
  kLastSeq,  // SQLite: the highest seq given so far
  kPutManifest,
  kGetManifest,
  kPutEntry,
  kPutKeys,  // SQLite: one key a row; PostgreSQL: the entry's keys as one list
  kCandidates,
  kStatementCount,
};
// The text of statement `which` in `dialect`.
std::string statement_text(Dialect dialect, StatementId which);

// One row of a statement's answer, read by column (0 first).
class ResultRow {
 public:
  virtual std::string bytes(int column) const = 0;
  virtual int64_t integer(int column) const = 0;

 protected:
  ~ResultRow() = default;
};

}  // namespace sql

class SqlStore : public ReceiptStore, public SideTables {
 public:
  std::expected<void, StorageError> store_receipt(const Receipt& receipt) final;
  // All receipts in one transaction: either every one is stored or none.
  std::expected<void, StorageError> store_receipts(std::span<const Receipt> receipts) final;
  // The matching receipts in insertion order; `limit` takes the first ones.
  std::expected<std::vector<Receipt>, StorageError> query_receipts(ReceiptQuery query) final;
  // A range on the rid key.
  std::expected<std::vector<Receipt>, StorageError> find_by_rid_prefix(std::string_view hex_prefix,
                                                                       size_t limit) final;

  std::expected<std::string, StorageError> put_manifest(std::string_view body) final;
  std::expected<std::optional<std::string>, StorageError> get_manifest(
      std::string_view digest) final;
  std::expected<void, StorageError> put_reuse_entries(std::span<const ReuseEntry> entries) final;
  std::expected<std::vector<ReuseCandidate>, StorageError> reuse_candidates(
      std::string_view method, std::span<const int64_t> keys) final;

 protected:
  using Outcome = std::expected<void, StorageError>;
  using Operation = FunctionRef<Outcome()>;
  using RowSink = FunctionRef<void(const sql::ResultRow&)>;

  explicit SqlStore(sql::Dialect dialect) : dialect_(dialect) {}

  // The primitives below run with lock_ held.
  // Opens the connection when there is none (or the process was forked since), creating or
  // upgrading the tables.
  virtual Outcome connect() = 0;
  // Runs `op` on an open connection. A database whose connection can break under a live
  // store (a server) opens it again and runs `op` once more, so `op` starts from nothing.
  virtual Outcome with_connection(Operation op);
  // Runs statement `which` with `params`, giving each row of its answer to `sink`.
  virtual Outcome run(sql::StatementId which, std::span<const sql::Param> params, RowSink sink) = 0;
  // Runs `body` in one transaction: committed when it succeeds, rolled back when not.
  virtual Outcome transaction(Operation body) = 0;

  // `store` once its first connection is open (and its tables made), or the error.
  template <class Store>
  static std::expected<std::shared_ptr<Store>, StorageError> connected(
      std::shared_ptr<Store> store) {
    SqlStore& base = *store;
    std::lock_guard guard(base.lock_);
    if (auto opened = base.connect(); !opened) return std::unexpected(opened.error());
    return store;
  }

  ForkSafeMutex lock_;  // one operation at a time on the connection

 private:
  // Takes the lock (giving up when the thread is interrupted) and runs `op` with_connection.
  Outcome locked(Operation op);
  // Writes the receipt rows in one transaction (a single row in PostgreSQL: one statement,
  // which is a transaction of its own). SQLite numbers the rows itself from the highest seq,
  // read inside the transaction, whose write lock keeps other writers out meanwhile.
  Outcome write_rows(std::span<const sql::ReceiptRow> rows);
  // The rows the select of `query`'s shape gives from `offset` on, at most `limit`.
  std::expected<std::vector<sql::StoredRow>, StorageError> fetch(const ReceiptQuery& query,
                                                                 std::optional<int64_t> limit,
                                                                 int64_t offset);

  const sql::Dialect dialect_;
};

}  // namespace quillmere
