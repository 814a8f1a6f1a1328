// The fields of a receipt that stores index and queries filter on, taken from the
// receipt in one place: the SQL stores' columns, the in-memory query matcher and the
// Python receipt's getters all read them through indexed_fields().
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "receipts/receipt.h"

namespace quillmere {

// Views into the receipt, which must outlive them.
struct IndexedFields {
  ReceiptKind kind{};
  // Of an execution receipt (absent for the other kinds): method_ref.method_id,
  // the payload's trace_id, and change_epoch and the 32 bytes of pac when present.
  std::optional<std::string_view> workload_id;
  std::optional<std::string_view> trace_id;
  std::optional<std::string_view> change_epoch;
  std::optional<std::string_view> pac;
  std::optional<std::string_view> policy_ref;
  std::string_view timestamp;
  std::string_view hash;
  std::span<const Uuid> parents;

  // ctx.timestamp as UTC seconds since the epoch; absent when it is not RFC 3339.
  // Worked out on each call.
  std::optional<int64_t> timestamp_s() const;
};

IndexedFields indexed_fields(const Receipt& receipt);

// The bytes of a 32-byte value as a view.
inline std::string_view bytes_view(const Bytes32& bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

}  // namespace quillmere
