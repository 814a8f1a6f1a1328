// Recording a unit of work as a sealed execution receipt.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/json_value.h"
#include "engine/api_error.h"
#include "receipts/receipt.h"

namespace quillmere {

// Builds an execution receipt for `payload` under `workload_id`, stamped with a new
// random identifier and the current UTC time, and sealed with its canonical hash.
// `tags` are accepted and discarded; `trace_id` defaults to the fixed default trace;
// a `parent_id` that parses as a UUID becomes the receipt's only link, anything
// else is ignored. The receipt is neither validated nor stored.
std::expected<Receipt, ApiError> record_work(std::string_view workload_id, JsonValue payload,
                                             std::vector<std::string> tags,
                                             std::optional<std::string> trace_id,
                                             std::optional<std::string> parent_id);

// record_work for a payload given as its canonical JSON text (jcs of the payload, as
// append_jcs_of_text writes it): the same receipt without a JSON value in between.
std::expected<Receipt, ApiError> record_work_jcs(std::string_view workload_id,
                                                 std::string_view payload_jcs,
                                                 std::optional<std::string> trace_id,
                                                 std::optional<std::string> parent_id);

namespace detail {

// Where record_work gets its identifier bytes and time; tests fix both.
struct RecordSources {
  // 16 random bytes; the version-4 and variant bits are set afterwards.
  Uuid (*random_bytes)(void* ctx);
  // Nanoseconds since 1970-01-01T00:00:00Z.
  int64_t (*clock_ns)(void* ctx);
  void* ctx;
};

// The sources record_work uses: a thread-safe CSPRNG and the real-time clock.
RecordSources system_record_sources();

std::expected<Receipt, ApiError> record_work_with(const RecordSources& sources,
                                                  std::string_view workload_id, JsonValue payload,
                                                  std::vector<std::string> tags,
                                                  std::optional<std::string> trace_id,
                                                  std::optional<std::string> parent_id);

std::expected<Receipt, ApiError> record_work_jcs_with(const RecordSources& sources,
                                                      std::string_view workload_id,
                                                      std::string_view payload_jcs,
                                                      std::optional<std::string> trace_id,
                                                      std::optional<std::string> parent_id);

}  // namespace detail
}  // namespace quillmere
