// The canonical body of a receipt (CBOR of everything but `sig` and `hash`, every
// map sorted by key bytes) and the receipt hash taken over it.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

#include "codec/cbor_canon.h"

namespace quillmere {

struct Receipt;

// The exact bytes that are hashed.
std::expected<std::vector<uint8_t>, CanonicalError> canonical_body(const Receipt& receipt);

// Appends the canonical body to `out`; on failure `out` holds partial output.
std::expected<void, CanonicalError> append_canonical_body(std::vector<uint8_t>& out,
                                                          const Receipt& receipt);

// "sha256:" + 64 lowercase hex digits of SHA-256 over the canonical body.
std::expected<std::string, CanonicalError> compute_hash(const Receipt& receipt);

// True exactly for "sha256:" followed by 64 lowercase hexadecimal digits.
bool validate_hash_format(std::string_view s);

}  // namespace quillmere
