// Commitment primitives. Objects of the JSON value are kept sorted by key bytes,
// so the canonical text is the compact writer's output.
#include "codec/commitments.h"

#include "codec/json_text.h"
#include "codec/sha256.h"

namespace quillmere {

std::string sha256_prefixed(std::string_view data) {
  return hash_string(sha256(data.data(), data.size()));
}

JsonValue sort(const JsonValue& value) {
  return value;
}

std::string jcs(const JsonValue& value) {
  return to_json_text(value);
}

}  // namespace quillmere
