// OpenSSL-backed SHA-256. An allocation failure in OpenSSL surfaces as bad_alloc.
#include "receipts/sha256.h"

#include <openssl/evp.h>

#include <new>

namespace quillmere {
namespace {

// Fetched once: passing EVP_sha256() makes OpenSSL 3 look the algorithm up in its provider
// tables, under a lock, on every init, which costs more than hashing a short input.
const EVP_MD* sha256_md() {
  static const EVP_MD* const md = [] {
    const EVP_MD* fetched = EVP_MD_fetch(nullptr, "SHA256", nullptr);
    return fetched != nullptr ? fetched : EVP_sha256();
  }();
  return md;
}

}  // namespace

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  if (ctx_ == nullptr) throw std::bad_alloc();
  reset();
}

Sha256::~Sha256() { EVP_MD_CTX_free(ctx_); }

void Sha256::reset() {
  if (EVP_DigestInit_ex(ctx_, sha256_md(), nullptr) != 1) throw std::bad_alloc();
}

void Sha256::update(const void* data, size_t len) {
  if (len != 0) EVP_DigestUpdate(ctx_, data, len);
}

Digest Sha256::finish() {
  Digest d{};
  unsigned int n = 0;
  EVP_DigestFinal_ex(ctx_, d.data(), &n);
  reset();
  return d;
}

Digest sha256(const void* data, size_t len) {
  thread_local Sha256 hasher;  // one context per thread, reused for every one-shot digest
  hasher.update(data, len);
  return hasher.finish();
}

void append_hex(std::string& out, const uint8_t* bytes, size_t len) {
  static constexpr char kHex[] = "0123456789abcdef";
  size_t pos = out.size();
  out.resize(pos + 2 * len);
  for (size_t i = 0; i < len; ++i) {
    out[pos + 2 * i] = kHex[bytes[i] >> 4];
    out[pos + 2 * i + 1] = kHex[bytes[i] & 0xF];
  }
}

std::string hash_string(const Digest& d) {
  std::string out;
  out.reserve(71);
  out.append("sha256:");
  append_hex(out, d.data(), d.size());
  return out;
}

}  // namespace quillmere
