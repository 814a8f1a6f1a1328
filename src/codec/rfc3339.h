// RFC 3339 date-times: formatting, full parsing, and the looser shape rule of receipt
// validation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillmere {

// RFC 3339 text of a time given in nanoseconds since 1970-01-01T00:00:00Z:
// "YYYY-MM-DDTHH:MM:SS", then a fraction only as long as the nanoseconds need
// (none, 3, 6 or 9 digits), then "+00:00".
std::string format_rfc3339_utc(int64_t unix_ns);

// Parses a full RFC 3339 date-time ("2023-11-14T22:13:20.5+01:00": separator "T",
// "t" or a blank; optional fraction; zone "Z", "z" or +hh:mm / -hh:mm) with no text
// after it, and returns it as whole UTC seconds since 1970-01-01T00:00:00Z (the
// fraction is dropped, rounding toward the past). Out-of-range fields give nothing.
std::optional<int64_t> parse_rfc3339_seconds(std::string_view text);

// The shape rule receipt validation applies to timestamps, deliberately looser than
// parsing: at least 20 bytes, the separators "-", "-", "T", ":", ":" at character
// positions 4, 7, 10, 13 and 16, and either a final "Z" or a "+" or "-" anywhere.
// Field values are not range-checked.
bool rfc3339_loose_shape(std::string_view s);

}  // namespace quillmere
