// Signing receipts and checking their hash and signature.
#include "engine/sign.h"

#include <utility>

#include "base/quote.h"
#include "codec/base64url.h"
#include "receipts/validation.h"

namespace quillmere {
namespace {

std::span<const uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// A key id or algorithm read from a document, as a message shows it: quoted, controls
// escaped, and cut short, since the text comes from whoever wrote the receipt.
std::string shown(std::string_view text) {
  constexpr size_t kShownLength = 80;
  const bool cut = text.size() > kShownLength;
  std::string out = quoted(cut ? text.substr(0, kShownLength) : text, Controls::kAsciiAndC1);
  if (cut) out += "...";
  return out;
}

SignatureStatus check_signature(const std::optional<Signature>& sig, const std::string* body_hash,
                                const Keyring* keyring, std::string& problem) {
  if (!sig) return SignatureStatus::Absent;
  if (sig->alg != kSignatureAlgorithm) {
    problem = "unknown signature algorithm " + shown(sig->alg);
    return SignatureStatus::Bad;
  }
  auto bytes = decode_base64url(sig->sig);
  if (!bytes) {
    problem = "signature is not base64url: " + bytes.error();
    return SignatureStatus::Bad;
  }
  if (bytes->size() != kEd25519SignatureSize) {
    problem = "signature is " + std::to_string(bytes->size()) + " bytes, not 64";
    return SignatureStatus::Bad;
  }
  if (body_hash == nullptr) {
    problem = "signature cannot be checked: the body cannot be hashed";
    return SignatureStatus::Bad;
  }
  const PublicKey* key = keyring == nullptr ? nullptr : keyring->find(sig->kid);
  if (key == nullptr) {
    problem = "key " + shown(sig->kid) + " is not in the keyring";
    return SignatureStatus::UnknownKey;
  }
  if (!key->verify(bytes_of(signed_message(*body_hash)), *bytes)) {
    problem = "signature does not match the receipt under key " + shown(sig->kid);
    return SignatureStatus::Bad;
  }
  return SignatureStatus::Valid;
}

}  // namespace

std::string signed_message(std::string_view receipt_hash) {
  std::string message;
  message.reserve(kSignedMessagePrefix.size() + receipt_hash.size());
  message += kSignedMessagePrefix;
  message += receipt_hash;
  return message;
}

void Keyring::add(PublicKey key) {
  std::string kid = key.kid();
  keys_.try_emplace(std::move(kid), std::move(key));
}

const PublicKey* Keyring::find(std::string_view kid) const {
  auto it = keys_.find(kid);
  return it == keys_.end() ? nullptr : &it->second;
}

std::vector<std::string> Keyring::kids() const {
  std::vector<std::string> out;
  out.reserve(keys_.size());
  for (const auto& entry : keys_) out.push_back(entry.first);
  return out;
}

std::expected<Receipt, std::string> sign_receipt(Receipt receipt, const SigningKey& key) {
  auto computed = receipt.compute_hash();
  if (!computed) return std::unexpected("cannot hash the receipt: " + computed.error().display());
  if (*computed != receipt.hash) {
    return std::unexpected(
        "cannot sign a receipt whose stored hash does not match its body (it changed after it "
        "was sealed)");
  }
  auto signature = key.sign(bytes_of(signed_message(receipt.hash)));
  if (!signature) return std::unexpected(signature.error().display());
  receipt.sig =
      Signature{std::string(kSignatureAlgorithm), key.kid(), encode_base64url(*signature)};
  return receipt;
}

std::string_view status_name(HashStatus status) {
  switch (status) {
    case HashStatus::Valid:
      return "valid";
    case HashStatus::Mismatch:
      return "mismatch";
    case HashStatus::Invalid:
      return "invalid";
  }
  return "invalid";
}

std::string_view status_name(SignatureStatus status) {
  switch (status) {
    case SignatureStatus::Valid:
      return "valid";
    case SignatureStatus::Absent:
      return "absent";
    case SignatureStatus::UnknownKey:
      return "unknown_key";
    case SignatureStatus::Bad:
      return "bad";
  }
  return "bad";
}

ReceiptCheck check_receipt(const Receipt& receipt, const Keyring* keyring) {
  ReceiptCheck check;
  auto computed = receipt.compute_hash();
  if (!computed) {
    check.hash = HashStatus::Invalid;
    check.hash_problem = "HashError: " + computed.error().display();
  } else if (*computed != receipt.hash) {
    check.hash = HashStatus::Mismatch;
    check.hash_problem = "hash mismatch: the receipt changed after it was sealed";
  } else if (auto valid = validate_after_hash_check(receipt); !valid) {
    check.hash = HashStatus::Invalid;
    check.hash_problem = "ValidationError: " + valid.error().display();
  }
  check.signature = check_signature(receipt.sig, computed ? &*computed : nullptr, keyring,
                                    check.signature_problem);
  return check;
}

}  // namespace quillmere
