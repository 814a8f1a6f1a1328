#include "storage/warning_line.h"

#include <unistd.h>

#include <string>

#include "base/posix_io.h"
#include "base/quote.h"
#include "base/utf8.h"

namespace quillmere {

void write_warning_line(std::string_view what, std::string_view name, std::string_view detail) {
  std::string line(what);
  append_escaping_controls(line, utf8::to_display_text(name));
  line += ": ";
  append_escaping_controls(line, detail);
  line += '\n';
  (void)write_all(PosixIo::system(), STDERR_FILENO, line);
}

}  // namespace quillmere
