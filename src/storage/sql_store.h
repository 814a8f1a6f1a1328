// What the SQL receipt stores share: receipts turned into rows before the connection is
// taken, one operation at a time on the store's one connection, queries answered in pages.
#pragma once

#include <expected>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "base/fork_safe.h"
#include "storage/receipt_store.h"
#include "storage/side_tables.h"
#include "storage/sql_schema.h"

namespace quillmere {

class SqlStore : public ReceiptStore, public SideTables {
 public:
  std::expected<void, StorageError> store_receipt(const Receipt& receipt) final;
  // All receipts in one transaction: either every one is stored or none.
  std::expected<void, StorageError> store_receipts(std::span<const Receipt> receipts) final;
  // The matching receipts in insertion order; `limit` takes the first ones.
  std::expected<std::vector<Receipt>, StorageError> query_receipts(ReceiptQuery query) final;

 protected:
  // The three below run with lock_ held.
  // Opens the connection when there is none (or the process was forked since).
  virtual std::expected<void, StorageError> connect() = 0;
  // Writes the rows in one transaction.
  virtual std::expected<void, StorageError> write_rows(std::span<const sql::ReceiptRow> rows) = 0;
  // Answers the query from the tables.
  virtual std::expected<std::vector<Receipt>, StorageError> answer(const ReceiptQuery& query) = 0;

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
};

}  // namespace quillmere
