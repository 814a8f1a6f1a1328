// Work recording: payload commitment, method commitment, trace and identity roots,
// optional parent link, UTC timestamp, then the canonical hash as the seal.
#include "engine/record.h"

#include <time.h>

#include "codec/commitments.h"
#include "codec/json_text.h"
#include "codec/rfc3339.h"
#include "codec/sha256.h"
#include "codec/uuid.h"
#include "engine/random_pool.h"

namespace quillmere {

namespace {

constexpr std::string_view kVersion = "0.1.0";
constexpr std::string_view kDefaultTraceId = "trace:00000000-0000-0000-0000-000000000001";

// The system has no error variant for a missing source of randomness; fill_random
// throws, and the bindings report that (practically impossible) case as an internal fault.
Uuid system_random_bytes(void*) {
  Uuid bytes;
  fill_random(bytes);
  return bytes;
}

int64_t system_clock_ns(void*) {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// The identity root commits to one zero byte whatever the work, so it is hashed once.
const std::string& identity_root() {
  static const std::string root = sha256_prefixed(std::string_view("\0", 1));
  return root;
}

// Scratch kept by a thread between calls is bounded by this; anything larger goes back to
// the system when the call ends.
constexpr size_t kKeptScratchBytes = size_t{64} << 10;

std::string hash_workload_id(std::string_view workload_id) {
  Sha256 hasher;
  hasher.update("workload:");
  hasher.update(workload_id);
  std::string root;
  append_hash_string(root, hasher.finish());
  return root;
}

// The method commitment of a workload id; callers tend to record many units of one
// workload in a row, so each thread keeps the last one (unless it is too long to keep).
std::string method_shape_root(std::string_view workload_id) {
  thread_local std::string last_id;
  thread_local std::string last_root;
  thread_local bool cached = false;
  if (cached && last_id == workload_id) return last_root;
  if (workload_id.size() > kKeptScratchBytes) return hash_workload_id(workload_id);
  cached = false;  // stays false if hashing throws midway
  last_root = hash_workload_id(workload_id);
  last_id.assign(workload_id);
  cached = true;
  return last_root;
}

}  // namespace

namespace detail {

RecordSources system_record_sources() {
  return {&system_random_bytes, &system_clock_ns, nullptr};
}

std::expected<Receipt, ApiError> record_work_with(const RecordSources& sources,
                                                  std::string_view workload_id, JsonValue payload,
                                                  std::vector<std::string> tags,
                                                  std::optional<std::string> trace_id,
                                                  std::optional<std::string> parent_id) {
  (void)tags;  // accepted for the callers' sake; no tag reaches the receipt
  thread_local std::string text;
  text.clear();
  // Writing a JSON value cannot fail, so there is no Serialization error here.
  append_json(text, payload);
  auto receipt =
      record_work_jcs_with(sources, workload_id, text, std::move(trace_id), std::move(parent_id));
  if (text.capacity() > kKeptScratchBytes) std::string().swap(text);  // keep no large buffer
  return receipt;
}

std::expected<Receipt, ApiError> record_work_jcs_with(const RecordSources& sources,
                                                      std::string_view workload_id,
                                                      std::string_view payload_jcs,
                                                      std::optional<std::string> trace_id,
                                                      std::optional<std::string> parent_id) {
  Receipt receipt;
  // Version-4 identifier: RFC 9562 version and variant bits over random bytes.
  receipt.rid = sources.random_bytes(sources.ctx);
  receipt.rid[6] = static_cast<uint8_t>((receipt.rid[6] & 0x0F) | 0x40);
  receipt.rid[8] = static_cast<uint8_t>((receipt.rid[8] & 0x3F) | 0x80);

  std::string payload_hash = sha256_prefixed(payload_jcs);
  // The trace commits to its span commitments joined; the only span is the payload's.
  std::string trace_root = sha256_prefixed(payload_hash);
  std::optional<Uuid> parent = parent_id ? parse_uuid(*parent_id) : std::nullopt;

  auto& exec = receipt.payload.emplace<ExecutionPayload>();
  if (trace_id) {
    exec.trace_id = std::move(*trace_id);
  } else {
    exec.trace_id.assign(kDefaultTraceId);
  }
  exec.method_ref.method_id.assign(workload_id);
  exec.method_ref.version.assign(kVersion);
  exec.method_ref.method_shape_root = method_shape_root(workload_id);
  exec.data_shape_hash = payload_hash;
  exec.span_commitments.push_back(payload_hash);
  exec.roots.trace_set_root = trace_root;
  exec.roots.identity_root = identity_root();
  exec.roots.trace_seq_root = trace_root;
  exec.prev_execution_rid = parent;

  receipt.version.assign(kVersion);
  receipt.dom = std::move(payload_hash);
  receipt.cod = std::move(trace_root);
  if (parent) receipt.links.push_back(*parent);
  receipt.ctx.timestamp = format_rfc3339_utc(sources.clock_ns(sources.ctx));
  receipt.ctx.determinism = Determinism::Observational;

  auto hash = receipt.compute_hash();
  if (!hash) return std::unexpected(ApiError::hash(hash.error().display()));
  receipt.hash = std::move(*hash);
  return receipt;
}

}  // namespace detail

std::expected<Receipt, ApiError> record_work_jcs(std::string_view workload_id,
                                                 std::string_view payload_jcs,
                                                 std::optional<std::string> trace_id,
                                                 std::optional<std::string> parent_id) {
  return detail::record_work_jcs_with(detail::system_record_sources(), workload_id, payload_jcs,
                                      std::move(trace_id), std::move(parent_id));
}

std::expected<Receipt, ApiError> record_work(std::string_view workload_id, JsonValue payload,
                                             std::vector<std::string> tags,
                                             std::optional<std::string> trace_id,
                                             std::optional<std::string> parent_id) {
  return detail::record_work_with(detail::system_record_sources(), workload_id, std::move(payload),
                                  std::move(tags), std::move(trace_id), std::move(parent_id));
}

}  // namespace quillmere
