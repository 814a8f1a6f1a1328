// The kind table: each kind of receipt with its payload record, its wire name (the
// `kind` value of the JSON form and of the canonical body) and its display name. Every
// place that goes from a kind to its record or its names looks it up here; the table
// is checked at compile time against the payload variant, row I for alternative I.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>

#include "receipts/payloads.h"

namespace quillmere {

enum class ReceiptKind { DataShape, MethodShape, ReasoningShape, Execution, Spend, Settlement };

template <typename P>
struct KindRow {
  using Record = P;
  ReceiptKind kind;
  std::string_view wire;
  std::string_view display;
};

inline constexpr auto kKindTable = std::make_tuple(
    KindRow<DataShapePayload>{ReceiptKind::DataShape, "data_shape", "DataShape"},
    KindRow<MethodShapePayload>{ReceiptKind::MethodShape, "method_shape", "MethodShape"},
    KindRow<ReasoningShapePayload>{ReceiptKind::ReasoningShape, "reasoning_shape",
                                   "ReasoningShape"},
    KindRow<ExecutionPayload>{ReceiptKind::Execution, "execution", "Execution"},
    KindRow<SpendPayload>{ReceiptKind::Spend, "spend", "Spend"},
    KindRow<SettlementPayload>{ReceiptKind::Settlement, "settlement", "Settlement"});

inline constexpr size_t kKindCount = std::tuple_size_v<decltype(kKindTable)>;

// The payload record of row I.
template <size_t I>
using KindRecord = typename std::tuple_element_t<I, decltype(kKindTable)>::Record;

namespace detail {
template <size_t... I>
constexpr bool kind_table_matches_payload(std::index_sequence<I...>) {
  return ((std::is_same_v<KindRecord<I>, std::variant_alternative_t<I, Payload>> &&
           std::get<I>(kKindTable).kind == static_cast<ReceiptKind>(I)) &&
          ...);
}
}  // namespace detail

static_assert(kKindCount == std::variant_size_v<Payload>,
              "the kind table has one row per payload alternative");
static_assert(detail::kind_table_matches_payload(std::make_index_sequence<kKindCount>()),
              "row I of the kind table holds kind I and payload alternative I");

// The names of every kind, in kind order.
inline constexpr auto kKindWireNames = []<size_t... I>(std::index_sequence<I...>) {
  return std::array<std::string_view, kKindCount>{std::get<I>(kKindTable).wire...};
}(std::make_index_sequence<kKindCount>());
inline constexpr auto kKindDisplayNames = []<size_t... I>(std::index_sequence<I...>) {
  return std::array<std::string_view, kKindCount>{std::get<I>(kKindTable).display...};
}(std::make_index_sequence<kKindCount>());

inline std::string_view wire_name(ReceiptKind kind) {
  return kKindWireNames[static_cast<size_t>(kind)];
}
inline std::string_view display_name(ReceiptKind kind) {
  return kKindDisplayNames[static_cast<size_t>(kind)];
}
std::optional<ReceiptKind> receipt_kind_from_wire(std::string_view name);

// "data_shape, method_shape, ...": the wire names joined, for failure texts.
std::string kind_wire_list();

// Calls f(std::type_identity<P>{}) with the payload record P of `kind`.
template <typename F, size_t I = 0>
decltype(auto) with_kind_record(ReceiptKind kind, F&& f) {
  if constexpr (I + 1 == kKindCount) {
    return f(std::type_identity<KindRecord<I>>{});
  } else {
    if (static_cast<size_t>(kind) == I) return f(std::type_identity<KindRecord<I>>{});
    return with_kind_record<F, I + 1>(kind, std::forward<F>(f));
  }
}

}  // namespace quillmere
