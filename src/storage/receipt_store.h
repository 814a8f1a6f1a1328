// The receipt store interface: write receipts, list those matching a query, look them up
// by rid or its start.
#pragma once

#include <expected>
#include <span>
#include <string_view>
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

  // The stored receipts whose rid begins with `hex_prefix` (lowercase hex digits of the rid,
  // hyphens left out, 1 to 32 of them: all 32 name one rid), in rid order, at most `limit`
  // of them. A prefix of any other form is InvalidInput. Answered from the store's index of
  // rids (file names, the rid column), without reading the other receipts.
  virtual std::expected<std::vector<Receipt>, StorageError> find_by_rid_prefix(
      std::string_view hex_prefix, size_t limit) = 0;
};

}  // namespace quillmere
