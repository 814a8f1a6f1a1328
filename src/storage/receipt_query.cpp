// Matching a receipt against a query's filters.
#include "storage/receipt_query.h"

namespace quillmere {

bool matches_query(const Receipt& receipt, const ReceiptQuery& query) {
  const IndexedFields fields = indexed_fields(receipt);
  return all_query_filters([&](const auto& filter, unsigned) {
    return !filter.present(query) || filter.passes(fields, query);
  });
}

}  // namespace quillmere
