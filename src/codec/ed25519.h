// Ed25519 keys and signatures through OpenSSL's EVP one-shot interface: generation, PEM
// (PKCS#8 private keys, SubjectPublicKeyInfo public keys), key ids, signing and checking.
// No curve arithmetic of our own: every operation is one OpenSSL call.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <memory>
#include <span>
#include <string>
#include <string_view>

struct evp_pkey_st;
struct evp_md_ctx_st;

namespace quillmere {

inline constexpr size_t kEd25519SignatureSize = 64;
inline constexpr size_t kEd25519PublicKeySize = 32;
using Ed25519Signature = std::array<uint8_t, kEd25519SignatureSize>;

// A key operation that failed. The text names what failed and never holds key material.
struct KeyError {
  std::string message;
  const std::string& display() const { return message; }
};

// A public key. Copies share the one immutable OpenSSL key, which any number of threads
// may use at once.
class PublicKey {
 public:
  // From PEM text holding a SubjectPublicKeyInfo ("BEGIN PUBLIC KEY") of an Ed25519 key.
  static std::expected<PublicKey, KeyError> from_pem(std::string_view pem);
  // From the 32 raw bytes of RFC 8032.
  static std::expected<PublicKey, KeyError> from_raw(std::span<const uint8_t> raw);

  // Lowercase hex SHA-256 of the key's DER SubjectPublicKeyInfo (64 digits): the same key
  // gives the same id wherever and however it is stored.
  const std::string& kid() const { return kid_; }
  std::array<uint8_t, kEd25519PublicKeySize> raw() const;
  std::string pem() const;

  // True when `signature` is a valid Ed25519 signature of `message` by this key; a
  // signature of the wrong length is simply not valid.
  bool verify(std::span<const uint8_t> message, std::span<const uint8_t> signature) const;

 private:
  friend class SigningKey;
  PublicKey() = default;
  static std::expected<PublicKey, KeyError> adopt(evp_pkey_st* key);
  std::shared_ptr<evp_pkey_st> key_;
  std::string kid_;
};

// A private key with its public half. Its material leaves only through private_pem().
class SigningKey {
 public:
  // A fresh key from OpenSSL's CSPRNG.
  static std::expected<SigningKey, KeyError> generate();
  // From unencrypted PEM text holding an Ed25519 private key ("BEGIN PRIVATE KEY"). An
  // encrypted key is refused, never prompted for.
  static std::expected<SigningKey, KeyError> from_pem(std::string_view pem);

  const PublicKey& public_key() const { return public_; }
  const std::string& kid() const { return public_.kid(); }
  // PKCS#8 PEM text of the private key: secret, for writing the key file only.
  std::string private_pem() const;

  // Fails only when OpenSSL does (out of memory).
  std::expected<Ed25519Signature, KeyError> sign(std::span<const uint8_t> message) const;

 private:
  SigningKey() = default;
  static std::expected<SigningKey, KeyError> adopt(evp_pkey_st* key);
  std::shared_ptr<evp_pkey_st> key_;
  // A signing context set up for the key once and only ever copied (never signed with):
  // setting one up looks the algorithm up in OpenSSL's tables, which costs more than the
  // copy and crowds the caches of the work around each signature. Null when OpenSSL could
  // not set one up; sign() then sets up its own.
  std::shared_ptr<const evp_md_ctx_st> prepared_;
  PublicKey public_;
};

}  // namespace quillmere
