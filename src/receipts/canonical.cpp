// The canonical body is written in one pass: each fixed record's keys are
// emitted in their sorted (unsigned byte) order, and generic values go through
// the canonical encoder. The bytes equal encoding the whole receipt, dropping
// `sig` and `hash`, sorting every map and encoding again.
#include "receipts/canonical.h"

#include <variant>

#include "base/utf8.h"
#include "receipts/cbor_canon.h"
#include "receipts/cbor_encode.h"
#include "receipts/receipt.h"
#include "receipts/sha256.h"

namespace quillmere {

namespace {

using cbor::key;
using cbor::Writer;

// Levels used by the envelope around a generic value: the top-level map for
// `attest`, the top-level and payload maps for `cash_instr`.
constexpr size_t kAttestNesting = kMaxCborNesting - 1;
constexpr size_t kCashInstrNesting = kMaxCborNesting - 2;

class BodyWriter {
 public:
  explicit BodyWriter(std::vector<uint8_t>& out) : w_(out) {}
  explicit BodyWriter(cbor::ByteBuffer& out) : w_(out) {}

  std::expected<void, CanonicalError> receipt(const Receipt& r) {
    w_.map(9);
    w_.raw(key("attest"));
    generic(r.attest, kAttestNesting);
    w_.raw(key("cod"));
    w_.text(r.cod);
    w_.raw(key("ctx"));
    context(r.ctx);
    w_.raw(key("dom"));
    w_.text(r.dom);
    w_.raw(key("kind"));
    w_.text(wire_name(r.kind()));
    w_.raw(key("links"));
    w_.array(r.links.size());
    for (const Uuid& id : r.links) w_.bytes(id);
    w_.raw(key("payload"));
    std::visit([this](const auto& p) { payload(p); }, r.payload);
    w_.raw(key("rid"));
    w_.bytes(r.rid);
    w_.raw(key("version"));
    w_.text(r.version);

    if (!nesting_ok_) {
      return std::unexpected(
          CanonicalError{CanonicalError::Kind::Conversion, "RecursionLimitExceeded"});
    }
    if (!w_.text_ok() || !excluded_fields_are_utf8(r)) {
      return std::unexpected(
          CanonicalError{CanonicalError::Kind::Conversion, "InvalidUtf8 in text string"});
    }
    return {};
  }

 private:
  // `sig` and `hash` are not hashed, but a body holding ill-formed text there is
  // refused all the same, so whether a receipt hashes never depends on which
  // fields are left out.
  static bool excluded_fields_are_utf8(const Receipt& r) {
    if (!utf8::is_valid(r.hash)) return false;
    if (!r.sig) return true;
    return utf8::is_valid(r.sig->alg) && utf8::is_valid(r.sig->kid) && utf8::is_valid(r.sig->sig);
  }

  void opt_text(const std::optional<std::string>& s) {
    if (s) {
      w_.text(*s);
    } else {
      w_.null();
    }
  }
  void opt_f64(const std::optional<double>& d) {
    if (d) {
      w_.float64(*d);
    } else {
      w_.null();
    }
  }
  void opt_f32(const std::optional<float>& f) {
    if (f) {
      w_.float64(static_cast<double>(*f));
    } else {
      w_.null();
    }
  }
  void texts(const std::vector<std::string>& v) {
    w_.array(v.size());
    for (const auto& s : v) w_.text(s);
  }
  // 32-byte values and other byte sequences are arrays of small integers.
  void byte_array(std::span<const uint8_t> bytes) {
    w_.array(bytes.size());
    for (uint8_t b : bytes) w_.uint(b);
  }
  void generic(const std::optional<GenericValue>& v, size_t max_nesting) {
    if (!v) {
      w_.null();
    } else if (!cbor::encode_canonical(w_, *v, max_nesting)) {
      nesting_ok_ = false;
    }
  }

  void context(const Context& c) {
    w_.map(5);
    w_.raw(key("determinism"));
    if (c.determinism) {
      w_.text(wire_name(*c.determinism));
    } else {
      w_.null();
    }
    w_.raw(key("identity_ref"));
    opt_text(c.identity_ref);
    w_.raw(key("nonce"));
    opt_text(c.nonce);
    w_.raw(key("policy_ref"));
    opt_text(c.policy_ref);
    w_.raw(key("timestamp"));
    w_.text(c.timestamp);
  }

  void payload(const DataShapePayload& p) {
    w_.map(2);
    w_.raw(key("schema_hash"));
    w_.text(p.schema_hash);
    w_.raw(key("sketch_hash"));
    opt_text(p.sketch_hash);
  }

  void payload(const MethodShapePayload& p) {
    w_.map(4);
    w_.raw(key("dag_hash"));
    opt_text(p.dag_hash);
    w_.raw(key("edges"));
    if (p.edges) {
      w_.array(p.edges->size());
      for (const Edge& e : *p.edges) {
        w_.map(2);
        w_.raw(key("from"));
        w_.text(e.from);
        w_.raw(key("to"));
        w_.text(e.to);
      }
    } else {
      w_.null();
    }
    w_.raw(key("nodes"));
    w_.array(p.nodes.size());
    for (const MethodNodeRef& n : p.nodes) {
      w_.map(2);
      w_.raw(key("id"));
      w_.text(n.id);
      w_.raw(key("span_shape_hash"));
      w_.text(n.span_shape_hash);
    }
    w_.raw(key("root_multiset"));
    w_.text(p.root_multiset);
  }

  void payload(const ReasoningShapePayload& p) {
    w_.map(5);
    w_.raw(key("dag_hash"));
    w_.text(p.dag_hash);
    w_.raw(key("intent_hash"));
    w_.text(p.intent_hash);
    w_.raw(key("node_refs"));
    w_.array(p.node_refs.size());
    for (const ReasoningNodeRef& n : p.node_refs) {
      w_.map(3);
      w_.raw(key("node_id"));
      w_.text(n.node_id);
      w_.raw(key("operator_ref"));
      w_.text(n.operator_ref);
      w_.raw(key("pox_ref"));
      opt_text(n.pox_ref);
    }
    w_.raw(key("policy_ref"));
    opt_text(p.policy_ref);
    w_.raw(key("quality"));
    if (p.quality) {
      const ReasoningQuality& q = *p.quality;
      w_.map(4);
      w_.raw(key("confidence"));
      opt_f32(q.confidence);
      w_.raw(key("eval_method"));
      opt_text(q.eval_method);
      w_.raw(key("review_hash"));
      opt_text(q.review_hash);
      w_.raw(key("success_score"));
      opt_f32(q.success_score);
    } else {
      w_.null();
    }
  }

  void locator(const EncryptedLocatorRef& l) {
    w_.map(3);
    w_.raw(key("content_hash"));
    w_.text(l.content_hash);
    w_.raw(key("encrypted_data"));
    byte_array(l.encrypted_data);
    w_.raw(key("encryption_scheme"));
    w_.text(l.encryption_scheme);
  }

  void payload(const ExecutionPayload& p) {
    // Six entries always; the fourteen optional fields after cdf_metadata only
    // when present.
    size_t entries = 6 + p.pac.has_value() + p.change_epoch.has_value() +
                     p.minhash_signature.has_value() + p.hll_cardinality.has_value() +
                     p.chunk_manifest_hash.has_value() + p.chunk_manifest_size_bytes.has_value() +
                     p.merkle_root.has_value() + p.prev_execution_rid.has_value() +
                     p.output_digest.has_value() + p.manifest_root.has_value() +
                     p.output_mime_type.has_value() + p.output_size_bytes.has_value() +
                     p.input_locator_refs.has_value() + p.output_locator_ref.has_value();
    w_.map(entries);
    w_.raw(key("cdf_metadata"));
    if (p.cdf_metadata) {
      w_.array(p.cdf_metadata->size());
      for (const CdfMetadata& c : *p.cdf_metadata) {
        w_.map(3);
        w_.raw(key("change_type"));
        w_.text(c.change_type);
        w_.raw(key("commit_timestamp"));
        w_.text(c.commit_timestamp);
        w_.raw(key("commit_version"));
        w_.int64(c.commit_version);
      }
    } else {
      w_.null();
    }
    if (p.change_epoch) {
      w_.raw(key("change_epoch"));
      w_.text(*p.change_epoch);
    }
    if (p.chunk_manifest_hash) {
      w_.raw(key("chunk_manifest_hash"));
      byte_array(*p.chunk_manifest_hash);
    }
    if (p.chunk_manifest_size_bytes) {
      w_.raw(key("chunk_manifest_size_bytes"));
      w_.uint(*p.chunk_manifest_size_bytes);
    }
    w_.raw(key("data_shape_hash"));
    w_.text(p.data_shape_hash);
    if (p.hll_cardinality) {
      w_.raw(key("hll_cardinality"));
      w_.uint(*p.hll_cardinality);
    }
    if (p.input_locator_refs) {
      w_.raw(key("input_locator_refs"));
      w_.array(p.input_locator_refs->size());
      for (const EncryptedLocatorRef& l : *p.input_locator_refs) locator(l);
    }
    if (p.manifest_root) {
      w_.raw(key("manifest_root"));
      byte_array(*p.manifest_root);
    }
    if (p.merkle_root) {
      w_.raw(key("merkle_root"));
      byte_array(*p.merkle_root);
    }
    w_.raw(key("method_ref"));
    w_.map(3);
    w_.raw(key("method_id"));
    w_.text(p.method_ref.method_id);
    w_.raw(key("method_shape_root"));
    w_.text(p.method_ref.method_shape_root);
    w_.raw(key("version"));
    w_.text(p.method_ref.version);
    if (p.minhash_signature) {
      w_.raw(key("minhash_signature"));
      byte_array(*p.minhash_signature);
    }
    if (p.output_digest) {
      w_.raw(key("output_digest"));
      w_.text(*p.output_digest);
    }
    if (p.output_locator_ref) {
      w_.raw(key("output_locator_ref"));
      locator(*p.output_locator_ref);
    }
    if (p.output_mime_type) {
      w_.raw(key("output_mime_type"));
      w_.text(*p.output_mime_type);
    }
    if (p.output_size_bytes) {
      w_.raw(key("output_size_bytes"));
      w_.uint(*p.output_size_bytes);
    }
    if (p.pac) {
      w_.raw(key("pac"));
      byte_array(*p.pac);
    }
    if (p.prev_execution_rid) {
      w_.raw(key("prev_execution_rid"));
      w_.bytes(*p.prev_execution_rid);
    }
    w_.raw(key("roots"));
    w_.map(3);
    w_.raw(key("identity_root"));
    w_.text(p.roots.identity_root);
    w_.raw(key("trace_seq_root"));
    opt_text(p.roots.trace_seq_root);
    w_.raw(key("trace_set_root"));
    w_.text(p.roots.trace_set_root);
    w_.raw(key("span_commitments"));
    texts(p.span_commitments);
    w_.raw(key("trace_id"));
    w_.text(p.trace_id);
  }

  void resources(const ResourceVector& v) {
    w_.map(5);
    w_.raw(key("energy_kwh"));
    opt_f64(v.energy_kwh);
    w_.raw(key("gb_sec"));
    opt_f64(v.gb_sec);
    w_.raw(key("gpu_sec"));
    opt_f64(v.gpu_sec);
    w_.raw(key("requests"));
    opt_f64(v.requests);
    w_.raw(key("vcpu_sec"));
    opt_f64(v.vcpu_sec);
  }

  void payload(const SpendPayload& p) {
    w_.map(7);
    w_.raw(key("currency"));
    w_.text(p.currency);
    w_.raw(key("justification"));
    if (p.justification) {
      const ReuseJustification& j = *p.justification;
      w_.map(7);
      w_.raw(key("alpha"));
      opt_f64(j.alpha);
      w_.raw(key("c_comp"));
      opt_f64(j.c_comp);
      w_.raw(key("c_id"));
      opt_f64(j.c_id);
      w_.raw(key("decision"));
      opt_text(j.decision);
      w_.raw(key("layer"));
      opt_text(j.layer);
      w_.raw(key("minhash_sketch"));
      opt_text(j.minhash_sketch);
      w_.raw(key("overlap_j"));
      opt_f64(j.overlap_j);
    } else {
      w_.null();
    }
    w_.raw(key("meter"));
    resources(p.meter);
    w_.raw(key("pointers"));
    w_.map(2);
    w_.raw(key("span_ids"));
    if (p.pointers.span_ids) {
      texts(*p.pointers.span_ids);
    } else {
      w_.null();
    }
    w_.raw(key("trace_id"));
    w_.text(p.pointers.trace_id);
    w_.raw(key("pricing_policy_ref"));
    opt_text(p.pricing_policy_ref);
    w_.raw(key("total_value"));
    w_.float64(p.total_value);
    w_.raw(key("unit_prices"));
    resources(p.unit_prices);
  }

  void payload(const SettlementPayload& p) {
    w_.map(4);
    w_.raw(key("cash_instr"));
    generic(p.cash_instr, kCashInstrNesting);
    w_.raw(key("net_positions"));
    // std::map orders std::string keys by unsigned bytes: already canonical.
    w_.map(p.net_positions.size());
    for (const auto& [name, value] : p.net_positions) {
      w_.text(name);
      w_.float64(value);
    }
    w_.raw(key("rules_ref"));
    w_.text(p.rules_ref);
    w_.raw(key("wur_refs"));
    texts(p.wur_refs);
  }

  Writer w_;
  bool nesting_ok_ = true;
};

}  // namespace

std::expected<void, CanonicalError> append_canonical_body(std::vector<uint8_t>& out,
                                                          const Receipt& receipt) {
  return BodyWriter(out).receipt(receipt);
}

std::expected<std::vector<uint8_t>, CanonicalError> canonical_body(const Receipt& receipt) {
  std::vector<uint8_t> out;
  out.reserve(1024);
  auto r = append_canonical_body(out, receipt);
  if (!r) return std::unexpected(std::move(r.error()));
  return out;
}

std::expected<std::string, CanonicalError> compute_hash(const Receipt& receipt) {
  // One buffer per thread, reused across calls.
  thread_local cbor::ByteBuffer buffer;
  buffer.clear();
  std::expected<std::string, CanonicalError> result;
  if (auto body = BodyWriter(buffer).receipt(receipt); body) {
    result = hash_string(sha256(buffer.data(), buffer.size()));
  } else {
    result = std::unexpected(std::move(body.error()));
  }
  // Do not keep a large body's buffer alive for the thread's lifetime.
  if (buffer.capacity() > (size_t{64} << 10)) buffer.release();
  return result;
}

bool validate_hash_format(std::string_view s) {
  if (s.size() != 71 || s.substr(0, 7) != "sha256:") return false;
  for (char c : s.substr(7)) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::expected<std::string, ValidationError> Receipt::compute_hash() const {
  auto r = quillmere::compute_hash(*this);
  if (r) return std::move(*r);
  const char* prefix = r.error().kind == CanonicalError::Kind::Conversion
                           ? "serde to Value failed: "
                           : "encode failed: ";
  return std::unexpected(ValidationError::serialization(prefix + r.error().detail));
}

}  // namespace quillmere
