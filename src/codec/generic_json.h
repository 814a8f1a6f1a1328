// JSON forms of generic values (`attest`, `cash_instr`): writing by the
// generic value rules, and reading a JSON value as a generic value.
#pragma once

#include <expected>
#include <string>

#include "codec/generic_value.h"
#include "codec/json_value.h"

namespace quillmere {

// A finite float in the float32 layout when a 32-bit float holds it exactly and
// that text reads back as the same double; otherwise the float64 layout; null
// when not finite.
void append_generic_float(std::string& out, double v);

// Appends the value; fails only on a map key that JSON cannot hold, with
// "key must be a string" or "float key must be finite (got NaN or +/-inf)".
std::expected<void, std::string> append_generic_json(std::string& out, const GenericValue& v);

// Object -> map with text keys (in the object's sorted order), array -> array,
// string -> text, integer -> integer, other number -> float, bool, null.
GenericValue generic_from_json(const JsonValue& v);

}  // namespace quillmere
