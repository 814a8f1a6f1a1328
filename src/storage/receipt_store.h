// The receipt store interface: write one receipt, list receipts matching a query.
#pragma once

#include <expected>
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

  // The stored receipts that match every filter of the query, at most `limit` of them.
  virtual std::expected<std::vector<Receipt>, StorageError> query_receipts(ReceiptQuery query) = 0;
};

}  // namespace quillmere
