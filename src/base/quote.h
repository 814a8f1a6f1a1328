// Text from outside (paths, strings read from documents, parser messages) as
// error texts and diagnostics show it: control characters never reach a
// message or a terminal raw.
#pragma once

#include <string>
#include <string_view>

namespace quillmere {

// Which characters count as control characters to escape.
enum class Controls {
  // U+0000-U+001F and U+007F: what document values show in error texts.
  kAscii,
  // Those and U+0080-U+009F: what file paths and diagnostics show.
  kAsciiAndC1,
};

// Appends `s` between double quotes: a quote or backslash gets a backslash
// before it; NUL, tab, CR and LF are written \0, \t, \r, \n; every other control
// character \u{hex} (lowercase, no leading zeros); a byte that is not part of
// well-formed UTF-8 \xHH (uppercase); everything else as it stands.
void append_quoted(std::string& out, std::string_view s, Controls controls);

inline std::string quoted(std::string_view s, Controls controls) {
  std::string out;
  append_quoted(out, s, controls);
  return out;
}

// Appends `s` with only its control characters (kAsciiAndC1) and ill-formed
// bytes escaped as append_quoted writes them, and no quotes around it: a line of
// diagnostics stays one line whatever the text holds.
void append_escaping_controls(std::string& out, std::string_view s);

}  // namespace quillmere
