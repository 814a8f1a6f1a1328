// The receipt operations both SQL stores run alike, around their own statements.
#include "storage/sql_store.h"

#include "base/cancellation.h"

namespace quillmere {

std::expected<void, StorageError> SqlStore::store_receipt(const Receipt& receipt) {
  auto row = sql::receipt_row(receipt);
  if (!row) return std::unexpected(row.error());
  if (!lock_interruptibly(lock_)) return std::unexpected(kInterruptedWaitingForStore);
  std::lock_guard guard(lock_, std::adopt_lock);
  return write_rows(std::span(&*row, 1));
}

std::expected<void, StorageError> SqlStore::store_receipts(std::span<const Receipt> receipts) {
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
  if (!lock_interruptibly(lock_)) return std::unexpected(kInterruptedWaitingForStore);
  std::lock_guard guard(lock_, std::adopt_lock);
  return write_rows(rows);
}

std::expected<std::vector<Receipt>, StorageError> SqlStore::query_receipts(ReceiptQuery query) {
  if (!lock_interruptibly(lock_)) return std::unexpected(kInterruptedWaitingForStore);
  std::lock_guard guard(lock_, std::adopt_lock);
  return answer(query);
}

}  // namespace quillmere
