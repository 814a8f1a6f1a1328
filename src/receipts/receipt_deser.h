// Turning a parsed JSON document into a Receipt: every envelope step in order,
// and the payload and context records with their failure texts. A record
// failure carries its position in the compact text of that subtree (what a
// re-parse of the re-written payload or context would report).
#pragma once

#include <expected>
#include <string>

#include "codec/json_text.h"
#include "codec/json_value.h"
#include "receipts/receipt.h"

namespace quillmere {

// The receipt, or the detail text of the first failure.
std::expected<Receipt, std::string> deserialize_from_json_value(const JsonValue& doc);

// The same reading that takes strings and arrays out of `doc` instead of
// copying them. On failure `doc` is left partly emptied and the returned text
// may carry wrong positions: read the original document again with
// deserialize_from_json_value for the exact text.
std::expected<Receipt, std::string> deserialize_consuming(JsonValue& doc);

}  // namespace quillmere
