// The receipt store interface: write one receipt, list receipts matching a query.
#pragma once

#include <expected>
#include <span>
#include <vector>

#include "receipts/receipt.h"
#include "storage/receipt_query.h"
#include "storage/storage_error.h"

namespace quillmere {

class ReceiptStore {
 public:
  virtual ~ReceiptStore() = default;

  // Keeps the receipt; a receipt with the same rid is replaced.
  virtual std::expected<void, StorageError> store_receipt(const Receipt& receipt) = 0;

  // Keeps every receipt of the batch, as store_receipt does for each. This default
  // stores them one by one and stops at the first failure; stores that can write a
  // batch more cheaply (one transaction, one directory sync) override it.
  virtual std::expected<void, StorageError> store_receipts(std::span<const Receipt> receipts) {
    for (const Receipt& receipt : receipts) {
      if (auto stored = store_receipt(receipt); !stored) return stored;
    }
    return {};
  }

  // The stored receipts that match every filter of the query, at most `limit` of them.
  virtual std::expected<std::vector<Receipt>, StorageError> query_receipts(ReceiptQuery query) = 0;
};

}  // namespace quillmere
