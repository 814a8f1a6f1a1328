// A tampered body answers false rather than an error: a mismatch is the expected
// outcome of verification, while a broken rule on an authentic receipt is not.
#include "engine/verify.h"

#include "receipts/validation.h"

namespace quillmere {

std::expected<bool, ApiError> verify_receipt(const Receipt& receipt) {
  auto computed = receipt.compute_hash();
  if (!computed) return std::unexpected(ApiError::hash(computed.error().display()));
  if (*computed != receipt.hash) return false;
  // The stored hash equals a freshly computed one, so the hash rules hold.
  if (auto valid = validate_after_hash_check(receipt); !valid) {
    return std::unexpected(ApiError::validation(valid.error().display()));
  }
  return true;
}

}  // namespace quillmere
