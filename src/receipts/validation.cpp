// Receipt validation rules, applied in a fixed order; the first failure wins.
#include "receipts/validation.h"

#include <charconv>
#include <cmath>
#include <iterator>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "codec/json_text.h"
#include "codec/rfc3339.h"
#include "receipts/canonical.h"

namespace quillmere {

namespace {

using Result = std::expected<void, ValidationError>;

Result invalid(std::string text) {
  return std::unexpected(ValidationError::invalid_value(std::move(text)));
}

Result check_opt(const std::optional<std::string>& s) {
  return s ? validate_hash_format_str(*s) : Result{};
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}
bool is_lower_alnum(char c) {
  return (c >= 'a' && c <= 'z') || is_digit(c);
}
bool is_alnum(char c) {
  return is_lower_alnum(c) || (c >= 'A' && c <= 'Z');
}
bool is_name_char(char c) {
  return is_alnum(c) || c == '.' || c == '_' || c == '-';
}

template <typename Pred>
bool all_of(std::string_view s, Pred pred) {
  for (char c : s) {
    if (!pred(c)) return false;
  }
  return true;
}

// One or more digits, optionally after a single "+", that fit in 64 bits.
bool is_u64_decimal(std::string_view s) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty() || !all_of(s, is_digit)) return false;
  uint64_t value = 0;
  auto r = std::from_chars(s.data(), s.data() + s.size(), value);
  return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

Result check_payload(const DataShapePayload& p) {
  if (auto r = validate_hash_format_str(p.schema_hash); !r) return r;
  return check_opt(p.sketch_hash);
}

Result check_payload(const MethodShapePayload& p) {
  if (auto r = validate_hash_format_str(p.root_multiset); !r) return r;
  for (const MethodNodeRef& n : p.nodes) {
    if (auto r = validate_hash_format_str(n.span_shape_hash); !r) return r;
  }
  return check_opt(p.dag_hash);
}

Result check_payload(const ReasoningShapePayload& p) {
  if (auto r = validate_hash_format_str(p.intent_hash); !r) return r;
  if (auto r = validate_hash_format_str(p.dag_hash); !r) return r;
  if (p.quality) return check_opt(p.quality->review_hash);
  return {};
}

Result check_payload(const ExecutionPayload& p) {
  if (auto r = validate_hash_format_str(p.data_shape_hash); !r) return r;
  if (auto r = validate_hash_format_str(p.method_ref.method_shape_root); !r) return r;
  for (const std::string& s : p.span_commitments) {
    if (auto r = validate_hash_format_str(s); !r) return r;
  }
  if (auto r = validate_hash_format_str(p.roots.trace_set_root); !r) return r;
  if (auto r = validate_hash_format_str(p.roots.identity_root); !r) return r;
  if (auto r = check_opt(p.roots.trace_seq_root); !r) return r;
  if (p.change_epoch && p.change_epoch->empty()) {
    return invalid("change_epoch must be non-empty if present");
  }
  if (p.hll_cardinality && *p.hll_cardinality == 0) {
    return invalid("hll_cardinality must be > 0 if present");
  }
  return {};
}

Result check_payload(const SpendPayload& p) {
  if (p.currency.size() != 3 || !all_of(p.currency, [](char c) { return c >= 'A' && c <= 'Z'; })) {
    return invalid("Invalid currency code: " + p.currency +
                   " (expected ISO-4217, 3 uppercase letters)");
  }
  const ResourceVector& m = p.meter;
  const ResourceVector& u = p.unit_prices;
  const std::optional<double>* pairs[][2] = {{&m.vcpu_sec, &u.vcpu_sec},
                                             {&m.gpu_sec, &u.gpu_sec},
                                             {&m.gb_sec, &u.gb_sec},
                                             {&m.requests, &u.requests},
                                             {&m.energy_kwh, &u.energy_kwh}};
  double sum = 0.0;
  for (const auto& [meter, price] : pairs) {
    if (meter->has_value() && price->has_value()) {
      double product = **meter * **price;
      sum += product;
    }
  }
  // Written so that a NaN sum or total fails: the total must be shown to match.
  if (!(std::fabs(sum - p.total_value) <= 0.0001)) {
    return invalid("total_value mismatch: expected ~" + plain_decimal(sum) + ", got " +
                   plain_decimal(p.total_value));
  }
  if (p.justification && p.justification->layer) {
    const std::string& layer = *p.justification->layer;
    if (layer != "data" && layer != "method" && layer != "reasoning" && layer != "execution") {
      return invalid("Invalid layer value: " + layer +
                     " (must be one of: [\"data\", \"method\", \"reasoning\", \"execution\"])");
    }
  }
  return {};
}

// Settlement payloads have no rule at this step.
Result check_payload(const SettlementPayload&) {
  return {};
}

Result check_kind_rules(const Payload& payload) {
  return std::visit([](const auto& p) { return check_payload(p); }, payload);
}

Result check_non_empty(const Payload& payload) {
  if (const auto* m = std::get_if<MethodShapePayload>(&payload); m && m->nodes.empty()) {
    return invalid("method_shape.nodes must not be empty");
  }
  if (const auto* r = std::get_if<ReasoningShapePayload>(&payload); r && r->node_refs.empty()) {
    return invalid("reasoning_shape.node_refs must not be empty");
  }
  if (const auto* e = std::get_if<ExecutionPayload>(&payload); e && e->span_commitments.empty()) {
    return invalid("execution.span_commitments must not be empty");
  }
  if (const auto* s = std::get_if<SettlementPayload>(&payload); s && s->wur_refs.empty()) {
    return invalid("settlement.wur_refs must not be empty");
  }
  return {};
}

}  // namespace

std::expected<void, ValidationError> validate_hash_format_str(std::string_view s) {
  if (validate_hash_format(s)) return {};
  return std::unexpected(ValidationError::invalid_hash_format(std::string(s)));
}

bool validate_version_format(std::string_view s) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  while (true) {
    size_t dot = s.find('.', start);
    pieces.push_back(s.substr(start, dot == std::string_view::npos ? s.npos : dot - start));
    if (dot == std::string_view::npos || pieces.size() > 3) break;
    start = dot + 1;
  }
  if (pieces.size() < 2 || pieces.size() > 3) return false;
  return is_u64_decimal(pieces[0]) && is_u64_decimal(pieces[1]);
}

bool validate_timestamp_format(std::string_view s) {
  return rfc3339_loose_shape(s);
}

bool validate_policy_ref(std::string_view s) {
  if (!s.starts_with("pol:")) return false;
  std::string_view ref = s.substr(4);
  size_t slash = ref.find('/');
  if (slash == std::string_view::npos) return !ref.empty() && all_of(ref, is_name_char);
  std::string_view ns = ref.substr(0, slash);
  std::string_view tail = ref.substr(slash + 1);
  size_t at = tail.find('@');
  if (at == std::string_view::npos) return false;
  return all_of(ns, is_name_char) && all_of(tail.substr(0, at), is_name_char) &&
         validate_version_format(tail.substr(at + 1));
}

bool validate_identity_ref(std::string_view s) {
  if (!s.starts_with("did:")) return false;
  std::string_view body = s.substr(4);
  size_t colon = body.find(':');
  if (colon == std::string_view::npos) return false;
  std::string_view method = body.substr(0, colon);
  std::string_view id = body.substr(colon + 1);
  return !method.empty() && all_of(method, is_lower_alnum) && !id.empty() &&
         all_of(id, [](char c) { return is_name_char(c) || c == ':'; });
}

std::expected<void, ValidationError> validate(const Receipt& receipt) {
  if (auto r = validate_hash_format_str(receipt.hash); !r) return r;
  auto computed = receipt.compute_hash();
  if (!computed) return std::unexpected(std::move(computed.error()));
  if (*computed != receipt.hash) {
    return std::unexpected(ValidationError::hash_mismatch(receipt.hash, std::move(*computed)));
  }
  return validate_after_hash_check(receipt);
}

std::expected<void, ValidationError> validate_after_hash_check(const Receipt& receipt) {
  if (auto r = check_kind_rules(receipt.payload); !r) return r;
  if (auto r = validate_hash_format_str(receipt.dom); !r) return r;
  if (auto r = validate_hash_format_str(receipt.cod); !r) return r;
  if (!validate_version_format(receipt.version)) {
    return invalid("Invalid version format: " + receipt.version + " (expected semver-like format)");
  }
  const Context& ctx = receipt.ctx;
  if (!validate_timestamp_format(ctx.timestamp)) {
    return invalid("Invalid timestamp format: " + ctx.timestamp + " (expected RFC3339)");
  }
  if (ctx.policy_ref && !validate_policy_ref(*ctx.policy_ref)) {
    return invalid("Invalid policy_ref format: " + *ctx.policy_ref +
                   " (expected pol:<namespace>/<name>@<semver>)");
  }
  if (ctx.identity_ref && !validate_identity_ref(*ctx.identity_ref)) {
    return invalid("Invalid identity_ref format: " + *ctx.identity_ref + " (expected DID URI)");
  }
  return check_non_empty(receipt.payload);
}

}  // namespace quillmere
