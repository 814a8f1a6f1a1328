// JSON text through the value reader and both ways of producing canonical text.
#include <string>

#include "codec/commitments.h"
#include "codec/generic_json.h"
#include "codec/jcs_text.h"
#include "codec/json_reader.h"
#include "codec/json_text.h"
#include "fuzz_support.h"
#include "shapes/manifest.h"
#include "targets.h"

namespace quillmere::fuzz {

void json_target(std::span<const uint8_t> input) {
  const std::string_view text = as_text(input);
  const auto parsed = parse_json(text);

  // A manifest's JSON form, when it reads, writes back to text that reads the same.
  if (const auto manifest = manifest_from_json(text)) {
    const std::string written = manifest_to_json(*manifest);
    const auto back = manifest_from_json(written);
    QM_FUZZ_CHECK_MSG(back.has_value(), back.error() + "\n" + written);
    QM_FUZZ_CHECK(manifest_to_json(*back) == written);
    QM_FUZZ_CHECK(back->root == manifest->root && back->total_len == manifest->total_len);
  }

  // Canonical text straight from the text: the same bytes or the same error, and a
  // failure leaves the output untouched.
  const std::string kPrefix = "prefix";
  std::string direct = kPrefix;
  const auto r = append_jcs_of_text(direct, text);
  QM_FUZZ_CHECK(r.has_value() == parsed.has_value());
  if (!parsed) {
    QM_FUZZ_CHECK_MSG(r.error() == parsed.error(),
                      r.error().display() + " / " + parsed.error().display());
    QM_FUZZ_CHECK(direct == kPrefix);
    return;
  }

  const std::string canonical = jcs(*parsed);
  QM_FUZZ_CHECK_MSG(direct == kPrefix + canonical, direct + "\n" + canonical);
  QM_FUZZ_CHECK(to_json_text(*parsed) == canonical);
  QM_FUZZ_CHECK(sort(*parsed) == *parsed);

  // Canonical text is stable: it reads back to the same value and the same text.
  const auto again = parse_json(canonical);
  QM_FUZZ_CHECK_MSG(again.has_value(), again.error().display() + "\n" + canonical);
  QM_FUZZ_CHECK_MSG(*again == *parsed, canonical);
  QM_FUZZ_CHECK_MSG(jcs(*again) == canonical, canonical);
  std::string twice;
  QM_FUZZ_CHECK(append_jcs_of_text(twice, canonical).has_value());
  QM_FUZZ_CHECK(twice == canonical);

  // As a generic value it writes as JSON again (every key is text).
  std::string generic;
  const auto g = append_generic_json(generic, generic_from_json(*parsed));
  QM_FUZZ_CHECK(g.has_value());
  const auto generic_back = parse_json(generic);
  QM_FUZZ_CHECK_MSG(generic_back.has_value(), generic);
  QM_FUZZ_CHECK_MSG(generic_from_json(*generic_back) == generic_from_json(*parsed), generic);
}

}  // namespace quillmere::fuzz
