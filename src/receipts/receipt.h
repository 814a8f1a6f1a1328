// The receipt envelope, its context and signature.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/generic_value.h"
#include "receipts/error.h"
#include "receipts/kinds.h"
#include "receipts/payloads.h"

namespace quillmere {

enum class Determinism { Strict, Bounded, Observational };

std::string_view wire_name(Determinism d);
std::optional<Determinism> determinism_from_wire(std::string_view name);

struct Context {
  std::optional<std::string> policy_ref;
  std::string timestamp;
  std::optional<std::string> nonce;
  std::optional<Determinism> determinism;
  std::optional<std::string> identity_ref;
  friend bool operator==(const Context&, const Context&) = default;
};

struct Signature {
  std::string alg;
  std::string kid;
  std::string sig;
  friend bool operator==(const Signature&, const Signature&) = default;
};

struct Receipt {
  Uuid rid{};
  std::string version;
  // The kind is the payload's alternative; see kind().
  std::string dom;
  std::string cod;
  std::vector<Uuid> links;
  Context ctx;
  Payload payload;
  std::optional<GenericValue> attest;
  std::optional<Signature> sig;
  std::string hash;

  // The kind always follows from the payload record held, so the two never disagree.
  ReceiptKind kind() const { return static_cast<ReceiptKind>(payload.index()); }

  // The canonical hash of the body (everything but `sig` and `hash`); a failure is
  // the Serialization variant ("serde to Value failed: ..." / "encode failed: ...").
  std::expected<std::string, ValidationError> compute_hash() const;

  friend bool operator==(const Receipt&, const Receipt&) = default;
};

// Lowercase hyphenated 8-4-4-4-12 text of a UUID.
std::string uuid_to_string(const Uuid& id);

}  // namespace quillmere
