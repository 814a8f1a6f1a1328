// Looking receipts up by the start of their rid: the prefix as the stores take it (lowercase
// hex digits of the rid, hyphens left out), the same start in the stored hyphenated form,
// and the range of stored rids that begin with it.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "storage/storage_error.h"

namespace quillmere {

// Hex digits in a rid.
inline constexpr size_t kRidHexDigits = 32;

// True for 1 to 32 lowercase hex digits.
bool is_rid_prefix(std::string_view hex_prefix);

// InvalidInput unless is_rid_prefix: what every store answers such a prefix with.
std::expected<void, StorageError> check_rid_prefix(std::string_view hex_prefix);

// The prefix from text a person gives: the start of a rid as written (hyphens only where
// the hyphenated form has them) or its hex digits alone, in either case. Otherwise a
// sentence saying what is wrong.
std::expected<std::string, std::string> rid_prefix_from_text(std::string_view text);

// The hyphenated form of a prefix ("0123456789" -> "01234567-89"): what every stored rid
// that matches begins with.
std::string hyphenated_rid_prefix(std::string_view hex_prefix);

// The stored rids that begin with `hex_prefix` are exactly those r with
// lower <= r < upper, in byte order and in any collation that orders hex digits as
// byte order does and ignores or ranks hyphens alike (so an index on rid answers it).
struct RidRange {
  std::string lower;
  std::string upper;
};
RidRange rid_prefix_range(std::string_view hex_prefix);

}  // namespace quillmere
