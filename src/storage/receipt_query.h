// The query record of the receipt store: optional filters joined by AND, and a
// limit applied after the listing; and the one list of its filters, from which the
// in-memory matcher and the SQL stores' statements and parameters are all built.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "receipts/indexed_fields.h"
#include "receipts/receipt.h"

namespace quillmere {

struct ReceiptQuery {
  // Execution receipts whose method_ref.method_id equals this.
  std::optional<std::string> workload_id = std::nullopt;
  // Execution receipts whose payload trace_id equals this.
  std::optional<std::string> trace_id = std::nullopt;
  // Inclusive bounds on ctx.timestamp, in UTC seconds since the epoch; a receipt
  // whose timestamp is not RFC 3339 fails any bound.
  std::optional<int64_t> start_time = std::nullopt;
  std::optional<int64_t> end_time = std::nullopt;
  std::optional<std::string> policy_ref = std::nullopt;
  // Execution receipts whose change_epoch / pac is present and equal.
  std::optional<std::string> change_epoch = std::nullopt;
  std::optional<Bytes32> pac = std::nullopt;
  // Not a filter: at most this many of the matches, in listing order.
  std::optional<uint64_t> limit = std::nullopt;
};

enum class Compare { Equal, AtLeast, AtMost };

// One filter: the query's member that sets it, the indexed field it compares (a
// member or a getter of IndexedFields, also the SQL column's name) and how. A receipt
// whose field is absent fails the filter.
template <auto QueryMember, auto Field>
struct QueryFilter {
  std::string_view column;
  Compare compare;

  static bool present(const ReceiptQuery& query) { return (query.*QueryMember).has_value(); }

  // The query's value as the field holds it: a view of text and bytes, or a number.
  static auto value(const ReceiptQuery& query) {
    const auto& v = *(query.*QueryMember);
    if constexpr (std::is_same_v<std::remove_cvref_t<decltype(v)>, Bytes32>) {
      return bytes_view(v);
    } else if constexpr (std::is_same_v<std::remove_cvref_t<decltype(v)>, std::string>) {
      return std::string_view(v);
    } else {
      return v;
    }
  }

  // Whether the fields pass this filter, which the query sets.
  bool passes(const IndexedFields& fields, const ReceiptQuery& query) const {
    const auto field = std::invoke(Field, fields);
    if (!field) return false;
    switch (compare) {
      case Compare::Equal:
        return *field == value(query);
      case Compare::AtLeast:
        return *field >= value(query);
      case Compare::AtMost:
        return *field <= value(query);
    }
    return false;
  }
};

// The filters in the order they are checked and numbered (bits of a query's shape,
// SQL parameters).
inline constexpr auto kQueryFilters = std::make_tuple(
    QueryFilter<&ReceiptQuery::trace_id, &IndexedFields::trace_id>{"trace_id", Compare::Equal},
    QueryFilter<&ReceiptQuery::workload_id, &IndexedFields::workload_id>{"workload_id",
                                                                         Compare::Equal},
    QueryFilter<&ReceiptQuery::start_time, &IndexedFields::timestamp_s>{"timestamp_s",
                                                                        Compare::AtLeast},
    QueryFilter<&ReceiptQuery::end_time, &IndexedFields::timestamp_s>{"timestamp_s",
                                                                      Compare::AtMost},
    QueryFilter<&ReceiptQuery::policy_ref, &IndexedFields::policy_ref>{"policy_ref",
                                                                       Compare::Equal},
    QueryFilter<&ReceiptQuery::change_epoch, &IndexedFields::change_epoch>{"change_epoch",
                                                                           Compare::Equal},
    QueryFilter<&ReceiptQuery::pac, &IndexedFields::pac>{"pac", Compare::Equal});

inline constexpr unsigned kQueryFilterCount = std::tuple_size_v<decltype(kQueryFilters)>;

// Calls f(filter, i) for each filter in order, stopping at the first false; whether
// none was.
template <typename F>
bool all_query_filters(F&& f) {
  return [&]<unsigned... I>(std::integer_sequence<unsigned, I...>) {
    return (f(std::get<I>(kQueryFilters), I) && ...);
  }(std::make_integer_sequence<unsigned, kQueryFilterCount>());
}

// True when the receipt passes every filter of the query, checked in list order.
bool matches_query(const Receipt& receipt, const ReceiptQuery& query);

}  // namespace quillmere
