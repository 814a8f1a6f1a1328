// Verification of a receipt: its stored hash against the recomputed canonical
// hash, then the validation rules.
#pragma once

#include <expected>

#include "engine/api_error.h"
#include "receipts/receipt.h"

namespace quillmere {

// false when the stored hash differs from the recomputed one (any change to the
// body); ApiError Hash when the body cannot be hashed; ApiError Validation (the
// rule's display text) when the hash matches but a rule fails; true otherwise.
std::expected<bool, ApiError> verify_receipt(const Receipt& receipt);

}  // namespace quillmere
