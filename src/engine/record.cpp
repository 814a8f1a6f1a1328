// Work recording: payload commitment, method commitment, trace and identity roots,
// optional parent link, UTC timestamp, then the canonical hash as the seal.
#include "engine/record.h"

#include <openssl/rand.h>
#include <sys/random.h>
#include <time.h>

#include <cerrno>
#include <system_error>

#include "engine/commitments.h"
#include "engine/rfc3339_format.h"
#include "receipts/uuid.h"

namespace quillmere {

namespace {

constexpr std::string_view kVersion = "0.1.0";
constexpr std::string_view kDefaultTraceId = "trace:00000000-0000-0000-0000-000000000001";

// OpenSSL keeps a CSPRNG per thread, seeded from the operating system and
// reseeded on its own; getrandom backs it up. Without any source of randomness no
// receipt identifier can be made, which no error variant of the engine describes,
// so that (practically impossible) case is an internal fault.
Uuid system_random_bytes(void*) {
  Uuid bytes{};
  if (RAND_bytes(bytes.data(), static_cast<int>(bytes.size())) == 1) return bytes;
  size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t n = ::getrandom(bytes.data() + filled, bytes.size() - filled, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw std::system_error(errno, std::system_category(), "no source of random bytes");
    }
    filled += static_cast<size_t>(n);
  }
  return bytes;
}

int64_t system_clock_ns(void*) {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
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

  // Version-4 identifier: RFC 9562 version and variant bits over random bytes.
  Uuid rid = sources.random_bytes(sources.ctx);
  rid[6] = static_cast<uint8_t>((rid[6] & 0x0F) | 0x40);
  rid[8] = static_cast<uint8_t>((rid[8] & 0x3F) | 0x80);

  // Writing a JSON value cannot fail, so there is no Serialization error here.
  const std::string payload_text = jcs(payload);
  std::string payload_hash = sha256_prefixed(payload_text);

  std::string trace = trace_id ? std::move(*trace_id) : std::string(kDefaultTraceId);

  std::string workload_input;
  workload_input.reserve(9 + workload_id.size());
  workload_input.append("workload:").append(workload_id);
  MethodRef method_ref{std::string(workload_id), std::string(kVersion),
                       sha256_prefixed(workload_input)};

  std::vector<std::string> span_commitments{payload_hash};
  const std::string identity_root = sha256_prefixed(std::string_view("\0", 1));
  std::string span_text;
  for (const std::string& span : span_commitments) span_text += span;
  const std::string trace_root = sha256_prefixed(span_text);

  std::optional<Uuid> parent = parent_id ? parse_uuid(*parent_id) : std::nullopt;

  std::string timestamp = format_rfc3339_utc(sources.clock_ns(sources.ctx));

  ExecutionPayload exec;
  exec.trace_id = std::move(trace);
  exec.method_ref = std::move(method_ref);
  exec.data_shape_hash = payload_hash;
  exec.span_commitments = std::move(span_commitments);
  exec.roots = ExecutionRoots{trace_root, identity_root, trace_root};
  exec.prev_execution_rid = parent;

  Receipt receipt;
  receipt.rid = rid;
  receipt.version = std::string(kVersion);
  receipt.dom = std::move(payload_hash);
  receipt.cod = trace_root;
  if (parent) receipt.links.push_back(*parent);
  receipt.ctx.timestamp = std::move(timestamp);
  receipt.ctx.determinism = Determinism::Observational;
  receipt.payload = std::move(exec);

  auto hash = receipt.compute_hash();
  if (!hash) return std::unexpected(ApiError::hash(hash.error().message()));
  receipt.hash = std::move(*hash);
  return receipt;
}

}  // namespace detail

std::expected<Receipt, ApiError> record_work(std::string_view workload_id, JsonValue payload,
                                             std::vector<std::string> tags,
                                             std::optional<std::string> trace_id,
                                             std::optional<std::string> parent_id) {
  return detail::record_work_with(detail::system_record_sources(), workload_id, std::move(payload),
                                  std::move(tags), std::move(trace_id), std::move(parent_id));
}

}  // namespace quillmere
