// Signed receipts: the bytes a signature covers, signing a sealed receipt, and checking a
// receipt's hash and then its signature against a keyring of trusted public keys.
//
// The signed bytes are the ASCII line kSignedMessagePrefix followed by the receipt hash
// text ("sha256:" and 64 hex digits): 102 bytes, so any Ed25519 verifier can check a
// receipt's signature given the hash. The prefix keeps a receipt signature from ever being
// valid for another use of the same key (a DSSE envelope signs "DSSEv1 ..." bytes instead).
// The signature record is {alg: "ed25519", kid: the signer's key id, sig: the 64 signature
// bytes in base64url without padding}; it stays outside the hash, so signing leaves the
// hash as it was.
#pragma once

#include <expected>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/ed25519.h"
#include "receipts/receipt.h"

namespace quillmere {

inline constexpr std::string_view kSignatureAlgorithm = "ed25519";
inline constexpr std::string_view kSignedMessagePrefix = "quillmere/receipt-signature/v1\n";

// kSignedMessagePrefix followed by `receipt_hash`.
std::string signed_message(std::string_view receipt_hash);

// Trusted public keys by key id. Built once, then only read (by any number of threads).
class Keyring {
 public:
  // Adds `key`; a key already present (same kid) is kept as it is.
  void add(PublicKey key);
  const PublicKey* find(std::string_view kid) const;
  size_t size() const { return keys_.size(); }
  // The key ids in ascending order.
  std::vector<std::string> kids() const;

 private:
  std::map<std::string, PublicKey, std::less<>> keys_;
};

// `receipt` signed by `key`: its `sig` set (replacing any earlier one), its hash unchanged.
// A receipt whose stored hash is not the hash of its body is refused, since the signature
// would vouch for a hash that its content does not have.
std::expected<Receipt, std::string> sign_receipt(Receipt receipt, const SigningKey& key);

enum class HashStatus { Valid, Mismatch, Invalid };
enum class SignatureStatus { Valid, Absent, UnknownKey, Bad };

// "valid", "mismatch", "invalid"; "valid", "absent", "unknown_key", "bad".
std::string_view status_name(HashStatus status);
std::string_view status_name(SignatureStatus status);

struct ReceiptCheck {
  // Valid: the stored hash is the body's and every validation rule holds; Mismatch: the
  // body no longer matches the stored hash; Invalid: the body cannot be hashed, or a rule
  // fails (hash_problem holds the "HashError: ..." / "ValidationError: ..." text).
  HashStatus hash = HashStatus::Valid;
  std::string hash_problem;
  // Absent: no signature; UnknownKey: a well-formed signature by a key not in the keyring
  // (or no keyring given); Bad: malformed (unknown alg, not base64url, not 64 bytes) or not
  // a signature of the body's hash by the key its kid names. Checked over the hash
  // recomputed from the body, never over the stored one.
  SignatureStatus signature = SignatureStatus::Absent;
  std::string signature_problem;
};

// Recomputes the hash from the body, compares it and runs the validation rules, then checks
// the signature over the recomputed hash with the key that `keyring` holds for its kid.
ReceiptCheck check_receipt(const Receipt& receipt, const Keyring* keyring);

}  // namespace quillmere
