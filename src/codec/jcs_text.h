// Canonical JSON text straight from JSON text, without building a value tree.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "codec/json_reader.h"

namespace quillmere {

// Appends jcs(parse_json(text)): the same bytes, accepting exactly the texts
// parse_json accepts; on failure `out` is left as it was and the error is
// parse_json's, position included.
std::expected<void, JsonParseError> append_jcs_of_text(std::string& out, std::string_view text);

}  // namespace quillmere
