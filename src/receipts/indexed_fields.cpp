// Reading the indexed fields of a receipt.
#include "receipts/indexed_fields.h"

#include <variant>

#include "codec/rfc3339.h"

namespace quillmere {

IndexedFields indexed_fields(const Receipt& receipt) {
  IndexedFields out;
  out.kind = receipt.kind();
  if (const auto* exec = std::get_if<ExecutionPayload>(&receipt.payload)) {
    out.workload_id = exec->method_ref.method_id;
    out.trace_id = exec->trace_id;
    if (exec->change_epoch) out.change_epoch = *exec->change_epoch;
    if (exec->pac) out.pac = bytes_view(*exec->pac);
  }
  if (receipt.ctx.policy_ref) out.policy_ref = *receipt.ctx.policy_ref;
  out.timestamp = receipt.ctx.timestamp;
  out.hash = receipt.hash;
  out.parents = receipt.links;
  return out;
}

std::optional<int64_t> IndexedFields::timestamp_s() const {
  return parse_rfc3339_seconds(timestamp);
}

}  // namespace quillmere
