// The UTC timestamp text that work recording stamps into receipts.
#pragma once

#include <cstdint>
#include <string>

namespace quillmere {

// RFC 3339 text of a time given in nanoseconds since 1970-01-01T00:00:00Z:
// "YYYY-MM-DDTHH:MM:SS", then a fraction only as long as the nanoseconds need
// (none, 3, 6 or 9 digits), then "+00:00".
std::string format_rfc3339_utc(int64_t unix_ns);

}  // namespace quillmere
