// The stores' warning line on standard error, for a stored receipt that is skipped.
#pragma once

#include <string_view>

namespace quillmere {

// Writes what + name + ": " + detail as one line with a single write, so that lines
// from several threads or processes do not interleave. The name and the detail come
// from outside (file names, row keys, document text): their control characters are
// escaped, so the line stays one line and cannot drive the terminal.
void write_warning_line(std::string_view what, std::string_view name, std::string_view detail);

}  // namespace quillmere
