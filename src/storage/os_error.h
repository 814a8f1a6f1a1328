// The text of an operating system error as the store reports it.
#pragma once

#include <string>
#include <system_error>

namespace quillmere {

// "<strerror description> (os error N)", e.g. "Is a directory (os error 21)".
inline std::string os_error_text(int errnum) {
  return std::system_category().message(errnum) + " (os error " + std::to_string(errnum) + ")";
}

}  // namespace quillmere
