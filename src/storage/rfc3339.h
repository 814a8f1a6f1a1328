// RFC 3339 date-time parsing for the store's time-bounded queries.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace quillmere {

// Parses a full RFC 3339 date-time ("2023-11-14T22:13:20.5+01:00": separator "T",
// "t" or a blank; optional fraction; zone "Z", "z" or +hh:mm / -hh:mm) with no text
// after it, and returns it as whole UTC seconds since 1970-01-01T00:00:00Z (the
// fraction is dropped, rounding toward the past). Out-of-range fields give nothing.
std::optional<int64_t> parse_rfc3339_seconds(std::string_view text);

}  // namespace quillmere
