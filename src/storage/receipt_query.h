// The query record of the receipt store: optional filters joined by AND, and a
// limit applied after the listing.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "receipts/receipt.h"

namespace quillmere {

struct ReceiptQuery {
  // Execution receipts whose method_ref.method_id equals this.
  std::optional<std::string> workload_id = std::nullopt;
  // Execution receipts whose payload trace_id equals this.
  std::optional<std::string> trace_id = std::nullopt;
  // Inclusive bounds on ctx.timestamp, in UTC seconds since the epoch; a receipt
  // whose timestamp is not RFC 3339 fails any bound.
  std::optional<int64_t> start_time = std::nullopt;
  std::optional<int64_t> end_time = std::nullopt;
  std::optional<std::string> policy_ref = std::nullopt;
  // Execution receipts whose change_epoch / pac is present and equal.
  std::optional<std::string> change_epoch = std::nullopt;
  std::optional<Bytes32> pac = std::nullopt;
  // Not a filter: at most this many of the matches, in listing order.
  std::optional<uint64_t> limit = std::nullopt;
};

// True when the receipt passes every filter of the query, checked in the order
// trace_id, workload_id, time range, policy_ref, change_epoch, pac.
bool matches_query(const Receipt& receipt, const ReceiptQuery& query);

}  // namespace quillmere
