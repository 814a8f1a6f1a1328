// Whether a receipt is well formed: its hash, the hash-valued payload fields, the
// kind's value rules, and the shapes of version, timestamp, policy and identity
// references. The first failing rule is reported.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "receipts/error.h"
#include "receipts/receipt.h"

namespace quillmere {

std::expected<void, ValidationError> validate(const Receipt& receipt);

// The rules that follow the hash comparison, for a caller that has already
// found the stored hash equal to the recomputed one.
std::expected<void, ValidationError> validate_after_hash_check(const Receipt& receipt);

// InvalidHashFormat carrying `s` unless it is "sha256:" + 64 lowercase hex digits.
std::expected<void, ValidationError> validate_hash_format_str(std::string_view s);

// Two or three "."-separated pieces, the first two unsigned 64-bit decimals
// (an optional leading "+"); a third piece is not examined.
bool validate_version_format(std::string_view s);

// RFC 3339 shape: 20+ bytes, separators at 4, 7, 10 ("T"), 13, 16, and a "Z"
// ending or a sign somewhere.
bool validate_timestamp_format(std::string_view s);

// "pol:<namespace>/<name>@<version>" or "pol:<name>".
bool validate_policy_ref(std::string_view s);

// "did:<method>:<identifier>".
bool validate_identity_ref(std::string_view s);

}  // namespace quillmere
