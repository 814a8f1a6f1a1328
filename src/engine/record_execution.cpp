// Execution receipts with commitments to their inputs, output, method and data sketch.
#include "engine/record_execution.h"

#include "codec/commitments.h"
#include "codec/json_value.h"
#include "codec/rfc3339.h"
#include "codec/sha256.h"
#include "receipts/validation.h"

namespace quillmere {

namespace {

constexpr std::string_view kVersion = "0.1.0";
constexpr std::string_view kDefaultTraceId = "trace:00000000-0000-0000-0000-000000000001";

Digest digest_of(std::string_view data) {
  return sha256(data);
}

void put_u64_be(Sha256& sha, uint64_t v) {
  uint8_t bytes[8];
  for (int i = 7; i >= 0; --i) {
    bytes[i] = static_cast<uint8_t>(v);
    v >>= 8;
  }
  sha.update(bytes, sizeof bytes);
}

}  // namespace

std::optional<std::string> combined_input_shape(const std::vector<std::string>& shapes) {
  if (shapes.empty()) return std::nullopt;
  if (shapes.size() == 1) return shapes.front();
  JsonArray list;
  list.reserve(shapes.size());
  for (const auto& shape : shapes) list.emplace_back(shape);
  JsonObject descriptor;
  descriptor.insert("kind", "inputs");
  descriptor.insert("inputs", JsonValue(std::move(list)));
  return sha256_prefixed(jcs(JsonValue(std::move(descriptor))));
}

Digest combined_input_root(const std::vector<Digest>& roots) {
  if (roots.size() == 1) return roots.front();
  Sha256 sha;
  const uint8_t tag = 0x02;
  sha.update(&tag, 1);
  for (const auto& root : roots) sha.update(root.data(), root.size());
  return sha.finish();
}

std::string stored_manifest_form(const CompactManifest& manifest) {
  // Only a manifest whose chunks were not kept has no binary form; its JSON form then
  // stands in (it names no chunk either).
  auto bytes = manifest_to_bytes(manifest);
  return bytes ? std::move(*bytes) : manifest_to_json(manifest);
}

namespace detail {

std::expected<Receipt, ApiError> record_execution_with(const RecordSources& sources,
                                                       const ExecutionRecord& record) {
  Receipt receipt;
  if (record.rid) {
    receipt.rid = *record.rid;
  } else {
    receipt.rid = sources.random_bytes(sources.ctx);
    receipt.rid[6] = static_cast<uint8_t>((receipt.rid[6] & 0x0F) | 0x40);
    receipt.rid[8] = static_cast<uint8_t>((receipt.rid[8] & 0x3F) | 0x80);
  }

  const std::string payload_hash = sha256_prefixed(record.payload_jcs);
  const std::string trace_root = sha256_prefixed(payload_hash);

  std::vector<std::string> shapes;
  std::vector<Digest> roots;
  shapes.reserve(record.inputs.size());
  bool all_manifests = !record.inputs.empty();
  for (const auto& input : record.inputs) {
    shapes.push_back(input.shape_hash);
    if (input.manifest == nullptr) all_manifests = false;
  }
  std::string dom = combined_input_shape(shapes).value_or(payload_hash);

  auto& exec = receipt.payload.emplace<ExecutionPayload>();
  exec.trace_id = record.trace_id ? *record.trace_id : std::string(kDefaultTraceId);
  exec.method_ref.method_id.assign(record.workload_id);
  exec.method_ref.version.assign(kVersion);
  if (record.method_shape) {
    exec.method_ref.method_shape_root = *record.method_shape;
  } else {
    exec.method_ref.method_shape_root =
        sha256_prefixed("workload:" + std::string(record.workload_id));
  }
  exec.data_shape_hash = dom;
  exec.span_commitments.push_back(payload_hash);
  exec.roots.trace_set_root = trace_root;
  exec.roots.identity_root = sha256_prefixed(std::string_view("\0", 1));
  exec.roots.trace_seq_root = trace_root;

  if (record.sketch && record.sketch->cardinality > 0 && !record.sketch->signature.empty()) {
    exec.minhash_signature = record.sketch->signature;
    exec.hll_cardinality = record.sketch->cardinality;
  }
  if (all_manifests) {
    for (const auto& input : record.inputs) roots.push_back(input.manifest->root);
    exec.merkle_root = combined_input_root(roots);
    if (record.inputs.size() == 1) {
      const std::string form = stored_manifest_form(*record.inputs.front().manifest);
      exec.chunk_manifest_hash = digest_of(form);
      exec.chunk_manifest_size_bytes = form.size();
    } else {
      Sha256 sha;
      uint64_t total = 0;
      for (const auto& input : record.inputs) {
        const std::string form = stored_manifest_form(*input.manifest);
        put_u64_be(sha, form.size());
        sha.update(form);
        total += form.size();
      }
      exec.chunk_manifest_hash = sha.finish();
      exec.chunk_manifest_size_bytes = total;
    }
  }
  exec.prev_execution_rid = record.prev_execution_rid;
  if (!record.input_locator_refs.empty()) exec.input_locator_refs = record.input_locator_refs;
  std::string cod = trace_root;
  const ExecutionOutput& output = record.output;
  if (output.data) {
    cod = output.data->shape_hash;
    exec.output_digest = output.data->shape_hash;
    if (output.data->manifest != nullptr) {
      exec.manifest_root = output.data->manifest->root;
      exec.output_size_bytes = output.data->manifest->total_len;
    }
  }
  if (output.size) exec.output_size_bytes = output.size;
  exec.output_mime_type = output.mime_type;
  exec.output_locator_ref = output.locator_ref;

  receipt.version.assign(kVersion);
  receipt.dom = std::move(dom);
  receipt.cod = std::move(cod);
  receipt.links = record.links;
  receipt.ctx.timestamp = format_rfc3339_utc(sources.clock_ns(sources.ctx));
  receipt.ctx.determinism = Determinism::Observational;

  auto hash = receipt.compute_hash();
  if (!hash) return std::unexpected(ApiError::hash(hash.error().display()));
  receipt.hash = std::move(*hash);
  // The caller's hash strings reach dom, cod and the method root unexamined; a receipt
  // that would not validate is refused here rather than stored and found later.
  if (auto valid = validate_after_hash_check(receipt); !valid) {
    return std::unexpected(ApiError::validation(valid.error().display()));
  }
  return receipt;
}

}  // namespace detail

std::expected<Receipt, ApiError> record_execution(const ExecutionRecord& record) {
  return detail::record_execution_with(detail::system_record_sources(), record);
}

}  // namespace quillmere
