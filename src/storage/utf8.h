// Strict UTF-8 validation for receipt files read from disk.
#pragma once

#include <string>
#include <string_view>

namespace quillmere {

// True when `bytes` is well-formed UTF-8: no overlong forms, no surrogates, no
// code points past U+10FFFF, no truncated sequences.
bool is_valid_utf8(std::string_view bytes);

}  // namespace quillmere

namespace quillmere {

// `bytes` as UTF-8 text for display: each ill-formed subsequence becomes one U+FFFD.
std::string to_display_text(std::string_view bytes);

}  // namespace quillmere
