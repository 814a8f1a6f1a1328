// The field table of every record: its JSON keys in declaration order, bound to
// the members, with how each is written. The JSON writer, both JSON readers and
// the canonical body writer are all derived from these tables, so they cannot
// disagree on a key, on the order or on which fields there are. A record's table
// must name every member of the record (checked at compile time).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "receipts/payloads.h"
#include "receipts/receipt.h"

namespace quillmere {

// How a field is written; plain fields are always written, an absent optional
// one as null.
enum FieldFlags : uint8_t {
  kPlainField = 0,
  // Left out of the JSON object and of the canonical body when absent.
  kOmitWhenAbsent = 1,
  // Not part of the canonical body, and so not covered by the receipt hash.
  kNotHashed = 2,
  // May be left out, and read leniently: a malformed value leaves the field empty
  // (or drops the malformed part) instead of failing the reading.
  kLenient = 4,
};

template <typename R, typename T>
struct FieldRef {
  using Type = T;
  std::string_view key;
  T R::* member;
  uint8_t flags = kPlainField;

  const T& get(const R& record) const { return record.*member; }
};

// A field that is written but not held: the receipt's kind is the alternative
// its payload holds.
struct KindField {
  using Type = ReceiptKind;
  std::string_view key;
  uint8_t flags = kPlainField;

  ReceiptKind get(const Receipt& receipt) const { return receipt.kind(); }
};

// Specialised per record: `name` and `fields` (a tuple of field references, in
// declaration order).
template <typename R>
struct RecordFields;

template <typename R>
concept JsonRecord = requires { RecordFields<R>::fields; };

// The envelope: the eleven top-level keys, in the order the JSON writer puts them.
template <>
struct RecordFields<Receipt> {
  static constexpr std::string_view name = "Receipt";
  static constexpr auto fields = std::make_tuple(
      FieldRef{"rid", &Receipt::rid}, FieldRef{"version", &Receipt::version}, KindField{"kind"},
      FieldRef{"dom", &Receipt::dom}, FieldRef{"cod", &Receipt::cod},
      FieldRef{"links", &Receipt::links, kLenient}, FieldRef{"ctx", &Receipt::ctx},
      FieldRef{"payload", &Receipt::payload}, FieldRef{"attest", &Receipt::attest, kLenient},
      FieldRef{"sig", &Receipt::sig, kNotHashed | kLenient},
      FieldRef{"hash", &Receipt::hash, kNotHashed});
};

template <>
struct RecordFields<Context> {
  static constexpr std::string_view name = "Context";
  static constexpr auto fields = std::make_tuple(
      FieldRef{"policy_ref", &Context::policy_ref}, FieldRef{"timestamp", &Context::timestamp},
      FieldRef{"nonce", &Context::nonce}, FieldRef{"determinism", &Context::determinism},
      FieldRef{"identity_ref", &Context::identity_ref});
};

template <>
struct RecordFields<Signature> {
  static constexpr std::string_view name = "Signature";
  static constexpr auto fields =
      std::make_tuple(FieldRef{"alg", &Signature::alg}, FieldRef{"kid", &Signature::kid},
                      FieldRef{"sig", &Signature::sig});
};

template <>
struct RecordFields<DataShapePayload> {
  static constexpr std::string_view name = "DataShapePayload";
  static constexpr auto fields =
      std::make_tuple(FieldRef{"schema_hash", &DataShapePayload::schema_hash},
                      FieldRef{"sketch_hash", &DataShapePayload::sketch_hash});
};

template <>
struct RecordFields<MethodNodeRef> {
  static constexpr std::string_view name = "MethodNodeRef";
  static constexpr auto fields =
      std::make_tuple(FieldRef{"id", &MethodNodeRef::id},
                      FieldRef{"span_shape_hash", &MethodNodeRef::span_shape_hash});
};

template <>
struct RecordFields<Edge> {
  static constexpr std::string_view name = "Edge";
  static constexpr auto fields =
      std::make_tuple(FieldRef{"from", &Edge::from}, FieldRef{"to", &Edge::to});
};

template <>
struct RecordFields<MethodShapePayload> {
  static constexpr std::string_view name = "MethodShapePayload";
  static constexpr auto fields = std::make_tuple(
      FieldRef{"nodes", &MethodShapePayload::nodes}, FieldRef{"edges", &MethodShapePayload::edges},
      FieldRef{"root_multiset", &MethodShapePayload::root_multiset},
      FieldRef{"dag_hash", &MethodShapePayload::dag_hash});
};

template <>
struct RecordFields<ReasoningNodeRef> {
  static constexpr std::string_view name = "ReasoningNodeRef";
  static constexpr auto fields =
      std::make_tuple(FieldRef{"node_id", &ReasoningNodeRef::node_id},
                      FieldRef{"operator_ref", &ReasoningNodeRef::operator_ref},
                      FieldRef{"pox_ref", &ReasoningNodeRef::pox_ref});
};

template <>
struct RecordFields<ReasoningQuality> {
  static constexpr std::string_view name = "ReasoningQuality";
  static constexpr auto fields =
      std::make_tuple(FieldRef{"success_score", &ReasoningQuality::success_score},
                      FieldRef{"eval_method", &ReasoningQuality::eval_method},
                      FieldRef{"review_hash", &ReasoningQuality::review_hash},
                      FieldRef{"confidence", &ReasoningQuality::confidence});
};

template <>
struct RecordFields<ReasoningShapePayload> {
  static constexpr std::string_view name = "ReasoningShapePayload";
  static constexpr auto fields =
      std::make_tuple(FieldRef{"intent_hash", &ReasoningShapePayload::intent_hash},
                      FieldRef{"dag_hash", &ReasoningShapePayload::dag_hash},
                      FieldRef{"node_refs", &ReasoningShapePayload::node_refs},
                      FieldRef{"policy_ref", &ReasoningShapePayload::policy_ref},
                      FieldRef{"quality", &ReasoningShapePayload::quality});
};

template <>
struct RecordFields<MethodRef> {
  static constexpr std::string_view name = "MethodRef";
  static constexpr auto fields = std::make_tuple(
      FieldRef{"method_id", &MethodRef::method_id}, FieldRef{"version", &MethodRef::version},
      FieldRef{"method_shape_root", &MethodRef::method_shape_root});
};

template <>
struct RecordFields<ExecutionRoots> {
  static constexpr std::string_view name = "ExecutionRoots";
  static constexpr auto fields =
      std::make_tuple(FieldRef{"trace_set_root", &ExecutionRoots::trace_set_root},
                      FieldRef{"identity_root", &ExecutionRoots::identity_root},
                      FieldRef{"trace_seq_root", &ExecutionRoots::trace_seq_root});
};

template <>
struct RecordFields<CdfMetadata> {
  static constexpr std::string_view name = "CdfMetadata";
  static constexpr auto fields =
      std::make_tuple(FieldRef{"commit_version", &CdfMetadata::commit_version},
                      FieldRef{"change_type", &CdfMetadata::change_type},
                      FieldRef{"commit_timestamp", &CdfMetadata::commit_timestamp});
};

template <>
struct RecordFields<EncryptedLocatorRef> {
  static constexpr std::string_view name = "EncryptedLocatorRef";
  static constexpr auto fields =
      std::make_tuple(FieldRef{"encrypted_data", &EncryptedLocatorRef::encrypted_data},
                      FieldRef{"content_hash", &EncryptedLocatorRef::content_hash},
                      FieldRef{"encryption_scheme", &EncryptedLocatorRef::encryption_scheme});
};

template <>
struct RecordFields<ExecutionPayload> {
  using P = ExecutionPayload;
  static constexpr std::string_view name = "ExecutionPayload";
  // From `pac` on, an absent field is left out rather than written as null.
  static constexpr auto fields = std::make_tuple(
      FieldRef{"trace_id", &P::trace_id}, FieldRef{"method_ref", &P::method_ref},
      FieldRef{"data_shape_hash", &P::data_shape_hash},
      FieldRef{"span_commitments", &P::span_commitments}, FieldRef{"roots", &P::roots},
      FieldRef{"cdf_metadata", &P::cdf_metadata}, FieldRef{"pac", &P::pac, kOmitWhenAbsent},
      FieldRef{"change_epoch", &P::change_epoch, kOmitWhenAbsent},
      FieldRef{"minhash_signature", &P::minhash_signature, kOmitWhenAbsent},
      FieldRef{"hll_cardinality", &P::hll_cardinality, kOmitWhenAbsent},
      FieldRef{"chunk_manifest_hash", &P::chunk_manifest_hash, kOmitWhenAbsent},
      FieldRef{"chunk_manifest_size_bytes", &P::chunk_manifest_size_bytes, kOmitWhenAbsent},
      FieldRef{"merkle_root", &P::merkle_root, kOmitWhenAbsent},
      FieldRef{"prev_execution_rid", &P::prev_execution_rid, kOmitWhenAbsent},
      FieldRef{"output_digest", &P::output_digest, kOmitWhenAbsent},
      FieldRef{"manifest_root", &P::manifest_root, kOmitWhenAbsent},
      FieldRef{"output_mime_type", &P::output_mime_type, kOmitWhenAbsent},
      FieldRef{"output_size_bytes", &P::output_size_bytes, kOmitWhenAbsent},
      FieldRef{"input_locator_refs", &P::input_locator_refs, kOmitWhenAbsent},
      FieldRef{"output_locator_ref", &P::output_locator_ref, kOmitWhenAbsent});
};

template <>
struct RecordFields<ResourceVector> {
  static constexpr std::string_view name = "ResourceVector";
  static constexpr auto fields = std::make_tuple(
      FieldRef{"vcpu_sec", &ResourceVector::vcpu_sec},
      FieldRef{"gpu_sec", &ResourceVector::gpu_sec}, FieldRef{"gb_sec", &ResourceVector::gb_sec},
      FieldRef{"requests", &ResourceVector::requests},
      FieldRef{"energy_kwh", &ResourceVector::energy_kwh});
};

template <>
struct RecordFields<SpendPointers> {
  static constexpr std::string_view name = "SpendPointers";
  static constexpr auto fields = std::make_tuple(FieldRef{"trace_id", &SpendPointers::trace_id},
                                                 FieldRef{"span_ids", &SpendPointers::span_ids});
};

template <>
struct RecordFields<ReuseJustification> {
  using J = ReuseJustification;
  static constexpr std::string_view name = "ReuseJustification";
  static constexpr auto fields =
      std::make_tuple(FieldRef{"overlap_j", &J::overlap_j}, FieldRef{"alpha", &J::alpha},
                      FieldRef{"c_id", &J::c_id}, FieldRef{"c_comp", &J::c_comp},
                      FieldRef{"decision", &J::decision}, FieldRef{"layer", &J::layer},
                      FieldRef{"minhash_sketch", &J::minhash_sketch});
};

template <>
struct RecordFields<SpendPayload> {
  using P = SpendPayload;
  static constexpr std::string_view name = "SpendPayload";
  static constexpr auto fields = std::make_tuple(
      FieldRef{"meter", &P::meter}, FieldRef{"unit_prices", &P::unit_prices},
      FieldRef{"currency", &P::currency}, FieldRef{"pricing_policy_ref", &P::pricing_policy_ref},
      FieldRef{"total_value", &P::total_value}, FieldRef{"pointers", &P::pointers},
      FieldRef{"justification", &P::justification});
};

template <>
struct RecordFields<SettlementPayload> {
  using P = SettlementPayload;
  static constexpr std::string_view name = "SettlementPayload";
  static constexpr auto fields = std::make_tuple(
      FieldRef{"wur_refs", &P::wur_refs}, FieldRef{"net_positions", &P::net_positions},
      FieldRef{"rules_ref", &P::rules_ref}, FieldRef{"cash_instr", &P::cash_instr});
};

// ---- what follows from the tables -------------------------------------------

template <typename T>
inline constexpr bool kIsOptional = false;
template <typename T>
inline constexpr bool kIsOptional<std::optional<T>> = true;

template <typename R>
inline constexpr size_t kFieldCount = std::tuple_size_v<decltype(RecordFields<R>::fields)>;

template <typename R, size_t I>
inline constexpr const auto& kField = std::get<I>(RecordFields<R>::fields);

// The type a field holds.
template <typename R, size_t I>
using FieldType = typename std::remove_cvref_t<decltype(kField<R, I>)>::Type;

namespace detail {

// Converts to a reference of any type: R{AnyMember{}...} compiles exactly when R
// has at least that many members.
struct AnyMember {
  template <typename T>
  operator T&() const&&;
};

template <typename R, size_t... I>
constexpr bool initialisable_with(std::index_sequence<I...>) {
  return requires { R{(void(I), AnyMember{})...}; };
}

template <typename R, size_t N = 0>
constexpr size_t member_count() {
  if constexpr (initialisable_with<R>(std::make_index_sequence<N + 1>())) {
    return member_count<R, N + 1>();
  } else {
    return N;
  }
}

template <typename R>
constexpr size_t held_field_count() {
  return [&]<size_t... I>(std::index_sequence<I...>) {
    return (size_t{0} + ... + size_t{!std::is_same_v<FieldType<R, I>, ReceiptKind>});
  }(std::make_index_sequence<kFieldCount<R>>());
}

}  // namespace detail

// Calls f(std::integral_constant<size_t, I>{}) for every field I in declaration
// order; the index is a constant, so kField<R, i> names the field.
template <typename R, typename F>
constexpr void for_each_field(F&& f) {
  static_assert(detail::held_field_count<R>() == detail::member_count<R>(),
                "every member of a record must have its field in the record's table");
  [&]<size_t... I>(std::index_sequence<I...>) {
    (f(std::integral_constant<size_t, I>{}), ...);
  }(std::make_index_sequence<kFieldCount<R>>());
}

// The same, stopping at the first call that returns false; whether none did.
template <typename R, typename F>
constexpr bool all_fields(F&& f) {
  return [&]<size_t... I>(std::index_sequence<I...>) {
    return (f(std::integral_constant<size_t, I>{}) && ...);
  }(std::make_index_sequence<kFieldCount<R>>());
}

// Calls f(std::integral_constant<size_t, I>{}) for the field I == `index`.
template <typename R, typename F>
bool with_field_at(size_t index, F&& f) {
  return [&]<size_t... I>(std::index_sequence<I...>) {
    bool result = false;
    (void)((I == index ? (result = f(std::integral_constant<size_t, I>{}), true) : false) || ...);
    return result;
  }(std::make_index_sequence<kFieldCount<R>>());
}

// The keys of a record in declaration order.
template <typename R>
inline constexpr auto kKeys = []<size_t... I>(std::index_sequence<I...>) {
  return std::array<std::string_view, sizeof...(I)>{kField<R, I>.key...};
}(std::make_index_sequence<kFieldCount<R>>());

// The index of the field named `key` (the field count when there is none).
template <typename R>
constexpr size_t field_index(std::string_view key) {
  size_t i = 0;
  while (i < kKeys<R>.size() && kKeys<R>[i] != key) ++i;
  return i;
}

// The flags of a record's fields in declaration order.
template <typename R>
inline constexpr auto kFlags = []<size_t... I>(std::index_sequence<I...>) {
  return std::array<uint8_t, sizeof...(I)>{kField<R, I>.flags...};
}(std::make_index_sequence<kFieldCount<R>>());

// Whether field I of R carries one of `flags`.
template <typename R, size_t I>
constexpr bool has_flag(uint8_t flags) {
  return (kFlags<R>[I] & flags) != 0;
}

// One bit per field that a reader must find (every field neither held in an
// optional nor lenient), in declaration order.
template <typename R>
inline constexpr uint32_t kRequiredFields = []<size_t... I>(std::index_sequence<I...>) {
  static_assert(sizeof...(I) <= 32, "field bits are kept in 32 bits");
  return (uint32_t{0} | ... |
          (kIsOptional<FieldType<R, I>> || has_flag<R, I>(kLenient) ? 0u : uint32_t{1} << I));
}(std::make_index_sequence<kFieldCount<R>>());

// The fields of the canonical body, in its order: those that are hashed, sorted by
// the bytes of their keys.
template <typename R>
inline constexpr auto kBodyOrder = [] {
  constexpr size_t count = []<size_t... I>(std::index_sequence<I...>) {
    return (size_t{0} + ... + size_t{!has_flag<R, I>(kNotHashed)});
  }(std::make_index_sequence<kFieldCount<R>>());
  std::array<size_t, count> order{};
  size_t n = 0;
  for (size_t i = 0; i < kFieldCount<R>; ++i) {
    if ((kFlags<R>[i] & kNotHashed) != 0) continue;
    size_t j = n++;
    for (; j > 0 && kKeys<R>[i] < kKeys<R>[order[j - 1]]; --j) order[j] = order[j - 1];
    order[j] = i;
  }
  return order;
}();

// Entries of the canonical body that are written whatever the record holds.
template <typename R>
inline constexpr size_t kBodyAlwaysWritten = []<size_t... I>(std::index_sequence<I...>) {
  return (size_t{0} + ... + size_t{!has_flag<R, I>(kNotHashed | kOmitWhenAbsent)});
}(std::make_index_sequence<kFieldCount<R>>());

}  // namespace quillmere
