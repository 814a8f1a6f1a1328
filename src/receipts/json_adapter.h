// The receipt's JSON form: compact text with every key in declaration order,
// and reading such text back into a receipt.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "receipts/error.h"
#include "receipts/receipt.h"

namespace quillmere {

// Fails (JsonSerialization) only on a generic value map key JSON cannot hold.
std::expected<std::string, AdapterError> receipt_to_json(const Receipt& receipt);

// Fails (JsonDeserialization) with the first fault in reading order.
std::expected<Receipt, AdapterError> receipt_from_json(std::string_view text);

// receipt_from_json without the one-pass reading, for a caller whose own
// one-pass reading (read_receipt_direct) has already declined the text.
std::expected<Receipt, AdapterError> receipt_from_json_tree(std::string_view text);

}  // namespace quillmere
