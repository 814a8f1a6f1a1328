// Matching a receipt against a query's filters.
#include "storage/receipt_query.h"

#include "codec/rfc3339.h"

namespace quillmere {

bool matches_query(const Receipt& receipt, const ReceiptQuery& query) {
  const auto* exec = std::get_if<ExecutionPayload>(&receipt.payload);
  if (query.trace_id && (!exec || exec->trace_id != *query.trace_id)) return false;
  if (query.workload_id && (!exec || exec->method_ref.method_id != *query.workload_id)) {
    return false;
  }
  if (query.start_time || query.end_time) {
    const std::optional<int64_t> seconds = parse_rfc3339_seconds(receipt.ctx.timestamp);
    if (!seconds) return false;
    if (query.start_time && *seconds < *query.start_time) return false;
    if (query.end_time && *seconds > *query.end_time) return false;
  }
  if (query.policy_ref && receipt.ctx.policy_ref != query.policy_ref) return false;
  if (query.change_epoch && (!exec || exec->change_epoch != query.change_epoch)) return false;
  if (query.pac && (!exec || exec->pac != query.pac)) return false;
  return true;
}

}  // namespace quillmere
