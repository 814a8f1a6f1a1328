// SHA-256 through OpenSSL's libcrypto, and lowercase hex text of digests.
#pragma once

#include <openssl/sha.h>

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace quillmere {

using Digest = std::array<uint8_t, 32>;

// A reusable incremental hasher; reset() starts a new digest. Holds its state inline,
// so making one costs nothing.
class Sha256 {
 public:
  Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void reset();
  void update(const void* data, size_t len);
  void update(std::string_view s) { update(s.data(), s.size()); }
  Digest finish();  // also resets

 private:
  SHA256_CTX ctx_;
};

// One-shot digest over a contiguous buffer.
Digest sha256(const void* data, size_t len);
inline Digest sha256(std::string_view s) {
  return sha256(s.data(), s.size());
}

// Appends the 2 * len lowercase hex digits of `bytes`.
void append_hex(std::string& out, const uint8_t* bytes, size_t len);
// Appends "sha256:" followed by the 64 lowercase hex digits of `d`.
void append_hash_string(std::string& out, const Digest& d);
// "sha256:" followed by the 64 lowercase hex digits of `d`.
std::string hash_string(const Digest& d);

}  // namespace quillmere
