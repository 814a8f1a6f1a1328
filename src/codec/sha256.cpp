// OpenSSL-backed SHA-256. The low-level SHA256_* calls run the same assembly as the EVP
// interface without its provider dispatch, which costs about as much as hashing a short
// input; most digests here are of short inputs.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "codec/sha256.h"

#include <array>

namespace quillmere {
namespace {

// Two hex digits per byte value, so each byte is one two-character copy.
constexpr std::array<char, 512> kHexPairs = [] {
  constexpr char kDigits[] = "0123456789abcdef";
  std::array<char, 512> table{};
  for (size_t b = 0; b < 256; ++b) {
    table[2 * b] = kDigits[b >> 4];
    table[2 * b + 1] = kDigits[b & 0xF];
  }
  return table;
}();

void write_hex(char* out, const uint8_t* bytes, size_t len) {
  for (size_t i = 0; i < len; ++i) {
    const char* pair = &kHexPairs[2 * size_t{bytes[i]}];
    out[2 * i] = pair[0];
    out[2 * i + 1] = pair[1];
  }
}

constexpr std::string_view kPrefix = "sha256:";
constexpr size_t kHashStringSize = 71;

}  // namespace

Sha256::Sha256() : ctx_{} {
  reset();
}

void Sha256::reset() {
  SHA256_Init(&ctx_);
}

void Sha256::update(const void* data, size_t len) {
  if (len != 0) SHA256_Update(&ctx_, data, len);
}

Digest Sha256::finish() {
  Digest d{};
  SHA256_Final(d.data(), &ctx_);
  reset();
  return d;
}

Digest sha256(const void* data, size_t len) {
  SHA256_CTX ctx;
  SHA256_Init(&ctx);
  if (len != 0) SHA256_Update(&ctx, data, len);
  Digest d{};
  SHA256_Final(d.data(), &ctx);
  return d;
}

void append_hex(std::string& out, const uint8_t* bytes, size_t len) {
  const size_t pos = out.size();
  out.resize(pos + 2 * len);
  write_hex(out.data() + pos, bytes, len);
}

void append_hash_string(std::string& out, const Digest& d) {
  const size_t pos = out.size();
  out.resize(pos + kHashStringSize);
  char* p = out.data() + pos;
  kPrefix.copy(p, kPrefix.size());
  write_hex(p + kPrefix.size(), d.data(), d.size());
}

std::string hash_string(const Digest& d) {
  std::string out;
  append_hash_string(out, d);
  return out;
}

}  // namespace quillmere
