// Reading a receipt straight from its JSON text in one pass, without building a
// JSON tree. It covers the form the writer produces (any key order, any
// whitespace, escapes, every kind and record); anything else is declined and
// left to the general reading, which also gives the exact failure texts.
#pragma once

#include <optional>
#include <string_view>

#include "receipts/receipt.h"

namespace quillmere {

// The receipt, or nothing when the text is not in the plain form: malformed
// JSON, a failing field, an unknown or repeated key, a record written as an
// array, a non-null generic value, or a number out of range. Whatever it
// returns equals what the general reading gives for the same text.
std::optional<Receipt> read_receipt_direct(std::string_view text);

// The same reading into `out`, reusing the storage of its strings and vectors
// (for reading many receipts in a row). Returns false when declined, leaving
// `out` holding parts of the text: read it again with the general reading.
bool read_receipt_direct(std::string_view text, Receipt& out);

}  // namespace quillmere
