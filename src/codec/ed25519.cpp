// Ed25519 over OpenSSL 3. Every failure clears OpenSSL's per-thread error queue, so that no
// stale error is left for the next user of the library on this thread (Python's ssl module,
// the `cryptography` package).
#include "codec/ed25519.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <limits>

#include "codec/sha256.h"

namespace quillmere {
namespace {

using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;
using MdContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

std::unexpected<KeyError> key_error(std::string message) {
  ERR_clear_error();
  return std::unexpected(KeyError{std::move(message)});
}

std::shared_ptr<EVP_PKEY> own(EVP_PKEY* key) {
  return std::shared_ptr<EVP_PKEY>(key, EVP_PKEY_free);
}

bool is_ed25519(const EVP_PKEY* key) {
  return EVP_PKEY_get_base_id(key) == EVP_PKEY_ED25519;
}

// A read-only memory BIO over `text`; null when the text is too long to address.
Bio read_bio(std::string_view text) {
  if (text.size() > static_cast<size_t>(std::numeric_limits<int>::max())) {
    return Bio(nullptr, BIO_free);
  }
  return Bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())), BIO_free);
}

// The text written into a memory BIO by `write`, or empty when writing failed. A secure
// memory BIO is cleansed when it is freed, so a private key leaves no copy behind it.
template <class Write>
std::string written_text(const BIO_METHOD* method, Write write) {
  Bio bio(BIO_new(method), BIO_free);
  if (!bio || write(bio.get()) != 1) {
    ERR_clear_error();
    return {};
  }
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio.get(), &data);
  return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

// The passphrase callback of the PEM readers: an encrypted key is refused instead of
// prompting on the controlling terminal, which would hang a program with no one at it.
int refuse_passphrase(char*, int, int, void*) {
  return -1;
}

// A non-null pointer for the message, which OpenSSL wants even for zero bytes.
const unsigned char* message_data(std::span<const uint8_t> message) {
  static constexpr unsigned char kNothing = 0;
  return message.empty() ? &kNothing : message.data();
}

}  // namespace

std::expected<PublicKey, KeyError> PublicKey::adopt(EVP_PKEY* raw_key) {
  auto key = own(raw_key);
  unsigned char* der = nullptr;
  const int size = i2d_PUBKEY(key.get(), &der);
  if (size <= 0) return key_error("cannot encode the public key");
  const Digest digest = sha256(der, static_cast<size_t>(size));
  OPENSSL_free(der);
  PublicKey result;
  result.key_ = std::move(key);
  append_hex(result.kid_, digest.data(), digest.size());
  return result;
}

std::expected<PublicKey, KeyError> PublicKey::from_pem(std::string_view pem) {
  Bio bio = read_bio(pem);
  if (!bio) return key_error("public key text too long");
  EVP_PKEY* key = PEM_read_bio_PUBKEY(bio.get(), nullptr, refuse_passphrase, nullptr);
  if (key == nullptr) return key_error("not a PEM public key");
  if (!is_ed25519(key)) {
    EVP_PKEY_free(key);
    return key_error("not an Ed25519 public key");
  }
  return adopt(key);
}

std::expected<PublicKey, KeyError> PublicKey::from_raw(std::span<const uint8_t> raw) {
  if (raw.size() != kEd25519PublicKeySize) return key_error("an Ed25519 public key is 32 bytes");
  EVP_PKEY* key = EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, raw.data(), raw.size());
  if (key == nullptr) return key_error("cannot make an Ed25519 public key");
  return adopt(key);
}

std::array<uint8_t, kEd25519PublicKeySize> PublicKey::raw() const {
  std::array<uint8_t, kEd25519PublicKeySize> out{};
  size_t size = out.size();
  if (EVP_PKEY_get_raw_public_key(key_.get(), out.data(), &size) != 1) ERR_clear_error();
  return out;
}

std::string PublicKey::pem() const {
  return written_text(BIO_s_mem(), [&](BIO* bio) { return PEM_write_bio_PUBKEY(bio, key_.get()); });
}

bool PublicKey::verify(std::span<const uint8_t> message, std::span<const uint8_t> signature) const {
  if (signature.size() != kEd25519SignatureSize) return false;
  MdContext context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  const bool valid =
      context && EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key_.get()) == 1 &&
      EVP_DigestVerify(context.get(), signature.data(), signature.size(), message_data(message),
                       message.size()) == 1;
  if (!valid) ERR_clear_error();
  return valid;
}

std::expected<SigningKey, KeyError> SigningKey::adopt(EVP_PKEY* raw_key) {
  auto key = own(raw_key);
  std::array<uint8_t, kEd25519PublicKeySize> public_raw{};
  size_t size = public_raw.size();
  if (EVP_PKEY_get_raw_public_key(key.get(), public_raw.data(), &size) != 1 ||
      size != public_raw.size()) {
    return key_error("cannot read the public half of the key");
  }
  auto public_key = PublicKey::from_raw(public_raw);
  if (!public_key) return std::unexpected(public_key.error());
  SigningKey result;
  if (MdContext prepared(EVP_MD_CTX_new(), EVP_MD_CTX_free);
      prepared && EVP_DigestSignInit(prepared.get(), nullptr, nullptr, nullptr, key.get()) == 1) {
    result.prepared_ = std::shared_ptr<const EVP_MD_CTX>(prepared.release(), EVP_MD_CTX_free);
  } else {
    ERR_clear_error();
  }
  result.key_ = std::move(key);
  result.public_ = std::move(*public_key);
  return result;
}

std::expected<SigningKey, KeyError> SigningKey::generate() {
  EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
  if (key == nullptr) return key_error("cannot generate an Ed25519 key");
  return adopt(key);
}

std::expected<SigningKey, KeyError> SigningKey::from_pem(std::string_view pem) {
  Bio bio = read_bio(pem);
  if (!bio) return key_error("private key text too long");
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio.get(), nullptr, refuse_passphrase, nullptr);
  if (key == nullptr) return key_error("not an unencrypted PEM private key");
  if (!is_ed25519(key)) {
    EVP_PKEY_free(key);
    return key_error("not an Ed25519 private key");
  }
  return adopt(key);
}

std::string SigningKey::private_pem() const {
  return written_text(BIO_s_secmem(), [&](BIO* bio) {
    return PEM_write_bio_PrivateKey(bio, key_.get(), nullptr, nullptr, 0, nullptr, nullptr);
  });
}

std::expected<Ed25519Signature, KeyError> SigningKey::sign(std::span<const uint8_t> message) const {
  Ed25519Signature signature{};
  size_t size = signature.size();
  MdContext context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  // A copy of the prepared context: the copy only reads it (taking references), so any
  // number of threads may copy it at once; each signs with its own.
  const bool ready =
      context && prepared_ && EVP_MD_CTX_copy_ex(context.get(), prepared_.get()) == 1;
  if (!ready && context) {
    ERR_clear_error();
    EVP_MD_CTX_reset(context.get());
  }
  if (!context ||
      (!ready && EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key_.get()) != 1) ||
      EVP_DigestSign(context.get(), signature.data(), &size, message_data(message),
                     message.size()) != 1 ||
      size != signature.size()) {
    return key_error("Ed25519 signing failed");
  }
  return signature;
}

}  // namespace quillmere
