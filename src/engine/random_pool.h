// Random bytes for identifiers, handed out from a per-thread buffer of CSPRNG output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace quillmere {

// Fills `out` with bytes from the operating system's CSPRNG (through OpenSSL, with
// getrandom as the fallback), drawn a few KiB at a time into a buffer of the calling
// thread. A forked child never hands out bytes its parent buffered: the buffer is wiped
// on fork, and a fork handler marks every buffer stale as well. Throws
// std::system_error when no random source works at all.
void fill_random(std::span<uint8_t> out);

}  // namespace quillmere
