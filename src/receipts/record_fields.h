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

// The field reference of `member` under `key`, its types taken from the member pointer.
template <typename R, typename T>
constexpr FieldRef<R, T> field_ref(std::string_view key, T R::* member,
                                   uint8_t flags = kPlainField) {
  return {key, member, flags};
}

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

// Every key below is its member's name, so each table is written as the record's
// fields in declaration order, each QM_FIELD(member) or QM_FIELD(member, flags).
#define QM_RECORD_FIELDS(R, ...)                                 \
  template <>                                                    \
  struct RecordFields<R> {                                       \
    using Record = R;                                            \
    static constexpr std::string_view name = #R;                 \
    static constexpr auto fields = std::make_tuple(__VA_ARGS__); \
  }
#define QM_FIELD(member, ...) field_ref(#member, &Record::member __VA_OPT__(, ) __VA_ARGS__)

template <typename R>
concept JsonRecord = requires { RecordFields<R>::fields; };

// The envelope: the eleven top-level keys, in the order the JSON writer puts them.
QM_RECORD_FIELDS(Receipt, QM_FIELD(rid), QM_FIELD(version), KindField{"kind"}, QM_FIELD(dom),
                 QM_FIELD(cod), QM_FIELD(links, kLenient), QM_FIELD(ctx), QM_FIELD(payload),
                 QM_FIELD(attest, kLenient), QM_FIELD(sig, kNotHashed | kLenient),
                 QM_FIELD(hash, kNotHashed));

QM_RECORD_FIELDS(Context, QM_FIELD(policy_ref), QM_FIELD(timestamp), QM_FIELD(nonce),
                 QM_FIELD(determinism), QM_FIELD(identity_ref));

QM_RECORD_FIELDS(Signature, QM_FIELD(alg), QM_FIELD(kid), QM_FIELD(sig));

QM_RECORD_FIELDS(DataShapePayload, QM_FIELD(schema_hash), QM_FIELD(sketch_hash));

QM_RECORD_FIELDS(MethodNodeRef, QM_FIELD(id), QM_FIELD(span_shape_hash));

QM_RECORD_FIELDS(Edge, QM_FIELD(from), QM_FIELD(to));

QM_RECORD_FIELDS(MethodShapePayload, QM_FIELD(nodes), QM_FIELD(edges), QM_FIELD(root_multiset),
                 QM_FIELD(dag_hash));

QM_RECORD_FIELDS(ReasoningNodeRef, QM_FIELD(node_id), QM_FIELD(operator_ref), QM_FIELD(pox_ref));

QM_RECORD_FIELDS(ReasoningQuality, QM_FIELD(success_score), QM_FIELD(eval_method),
                 QM_FIELD(review_hash), QM_FIELD(confidence));

QM_RECORD_FIELDS(ReasoningShapePayload, QM_FIELD(intent_hash), QM_FIELD(dag_hash),
                 QM_FIELD(node_refs), QM_FIELD(policy_ref), QM_FIELD(quality));

QM_RECORD_FIELDS(MethodRef, QM_FIELD(method_id), QM_FIELD(version), QM_FIELD(method_shape_root));

QM_RECORD_FIELDS(ExecutionRoots, QM_FIELD(trace_set_root), QM_FIELD(identity_root),
                 QM_FIELD(trace_seq_root));

QM_RECORD_FIELDS(CdfMetadata, QM_FIELD(commit_version), QM_FIELD(change_type),
                 QM_FIELD(commit_timestamp));

QM_RECORD_FIELDS(EncryptedLocatorRef, QM_FIELD(encrypted_data), QM_FIELD(content_hash),
                 QM_FIELD(encryption_scheme));

// From `pac` on, an absent field is left out rather than written as null.
QM_RECORD_FIELDS(
    ExecutionPayload, QM_FIELD(trace_id), QM_FIELD(method_ref), QM_FIELD(data_shape_hash),
    QM_FIELD(span_commitments), QM_FIELD(roots), QM_FIELD(cdf_metadata),
    QM_FIELD(pac, kOmitWhenAbsent), QM_FIELD(change_epoch, kOmitWhenAbsent),
    QM_FIELD(minhash_signature, kOmitWhenAbsent), QM_FIELD(hll_cardinality, kOmitWhenAbsent),
    QM_FIELD(chunk_manifest_hash, kOmitWhenAbsent),
    QM_FIELD(chunk_manifest_size_bytes, kOmitWhenAbsent), QM_FIELD(merkle_root, kOmitWhenAbsent),
    QM_FIELD(prev_execution_rid, kOmitWhenAbsent), QM_FIELD(output_digest, kOmitWhenAbsent),
    QM_FIELD(manifest_root, kOmitWhenAbsent), QM_FIELD(output_mime_type, kOmitWhenAbsent),
    QM_FIELD(output_size_bytes, kOmitWhenAbsent), QM_FIELD(input_locator_refs, kOmitWhenAbsent),
    QM_FIELD(output_locator_ref, kOmitWhenAbsent));

QM_RECORD_FIELDS(ResourceVector, QM_FIELD(vcpu_sec), QM_FIELD(gpu_sec), QM_FIELD(gb_sec),
                 QM_FIELD(requests), QM_FIELD(energy_kwh));

QM_RECORD_FIELDS(SpendPointers, QM_FIELD(trace_id), QM_FIELD(span_ids));

QM_RECORD_FIELDS(ReuseJustification, QM_FIELD(overlap_j), QM_FIELD(alpha), QM_FIELD(c_id),
                 QM_FIELD(c_comp), QM_FIELD(decision), QM_FIELD(layer), QM_FIELD(minhash_sketch));

QM_RECORD_FIELDS(SpendPayload, QM_FIELD(meter), QM_FIELD(unit_prices), QM_FIELD(currency),
                 QM_FIELD(pricing_policy_ref), QM_FIELD(total_value), QM_FIELD(pointers),
                 QM_FIELD(justification));

QM_RECORD_FIELDS(SettlementPayload, QM_FIELD(wur_refs), QM_FIELD(net_positions),
                 QM_FIELD(rules_ref), QM_FIELD(cash_instr));

#undef QM_FIELD
#undef QM_RECORD_FIELDS

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
