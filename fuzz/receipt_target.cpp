// Receipt JSON text through both readers, the writer, validation and hashing.
#include <optional>
#include <string>

#include "codec/json_reader.h"
#include "codec/sha256.h"
#include "fuzz_support.h"
#include "receipts/canonical.h"
#include "receipts/json_adapter.h"
#include "receipts/receipt_deser.h"
#include "receipts/receipt_reader.h"
#include "receipts/validation.h"
#include "targets.h"

namespace quillmere::fuzz {
namespace {

std::string error_text(const std::expected<void, ValidationError>& r) {
  return r ? std::string("ok") : r.error().display();
}

std::string hash_text(const Receipt& r) {
  auto h = r.compute_hash();
  return h ? *h : "error: " + h.error().display();
}

std::string written(const Receipt& r) {
  auto text = receipt_to_json(r);
  // Every generic value read from JSON has text keys, which JSON can always hold.
  QM_FUZZ_CHECK_MSG(text.has_value(), text.error().display());
  return *text;
}

// Reading the writer's text gives the same receipt, text and hash.
void check_round_trip(const Receipt& r) {
  const std::string text = written(r);
  auto back = receipt_from_json(text);
  QM_FUZZ_CHECK_MSG(back.has_value(), back.error().display() + "\n" + text);
  QM_FUZZ_CHECK_MSG(written(*back) == text, text);
  QM_FUZZ_CHECK_MSG(hash_text(*back) == hash_text(r), text);
  QM_FUZZ_CHECK(*back == r);
  if (auto direct = read_receipt_direct(text)) QM_FUZZ_CHECK_MSG(*direct == *back, text);
}

void check_hashing_and_validation(const Receipt& r) {
  auto hash = r.compute_hash();
  auto body = canonical_body(r);
  QM_FUZZ_CHECK(body.has_value() == hash.has_value());
  if (!hash) return;
  QM_FUZZ_CHECK(validate_hash_format(*hash));
  const std::string_view body_text(reinterpret_cast<const char*>(body->data()), body->size());
  QM_FUZZ_CHECK(hash_string(sha256(body_text)) == *hash);

  // Validation: the text as read, then sealed with its own hash, which then leaves
  // only the checks that follow the hash comparison.
  const auto as_read = validate(r);
  if (as_read) QM_FUZZ_CHECK(r.hash == *hash);
  Receipt sealed = r;
  sealed.hash = *hash;
  const auto sealed_result = validate(sealed);
  QM_FUZZ_CHECK_MSG(error_text(sealed_result) == error_text(validate_after_hash_check(sealed)),
                    error_text(sealed_result));
  // A sealed receipt keeps its verdict through its JSON text (what a store does).
  auto stored = receipt_from_json(written(sealed));
  QM_FUZZ_CHECK(stored.has_value());
  QM_FUZZ_CHECK_MSG(error_text(validate(*stored)) == error_text(sealed_result),
                    error_text(validate(*stored)) + " / " + error_text(sealed_result));
}

}  // namespace

void receipt_target(std::span<const uint8_t> input) {
  std::string_view text = as_text(input);
  std::string_view prior;
  if (const size_t nul = text.find('\0'); nul != std::string_view::npos) {
    prior = text.substr(0, nul);
    text = text.substr(nul + 1);
  }

  const auto general = receipt_from_json(text);

  // The one-pass reader, fresh and reusing a receipt that held another text.
  const std::optional<Receipt> direct = read_receipt_direct(text);
  Receipt reused;
  if (!prior.empty()) (void)read_receipt_direct(prior, reused);
  const bool reused_ok = read_receipt_direct(text, reused);
  QM_FUZZ_CHECK(reused_ok == direct.has_value());
  if (direct) {
    QM_FUZZ_CHECK_MSG(general.has_value(), general.error().display());
    QM_FUZZ_CHECK(*direct == *general);
    QM_FUZZ_CHECK(reused == *general);
    QM_FUZZ_CHECK(written(*direct) == written(*general));
    QM_FUZZ_CHECK(hash_text(*direct) == hash_text(*general));
  }

  // The tree reading, copying and consuming, agrees with the adapter.
  if (auto doc = parse_json(text)) {
    auto copied = deserialize_from_json_value(*doc);
    auto consumed = deserialize_consuming(*doc);
    QM_FUZZ_CHECK(copied.has_value() == general.has_value());
    QM_FUZZ_CHECK(consumed.has_value() == copied.has_value());
    if (copied) {
      QM_FUZZ_CHECK(*copied == *general);
      QM_FUZZ_CHECK(*consumed == *copied);
    }
  }

  if (!general) return;
  check_round_trip(*general);
  check_hashing_and_validation(*general);
}

}  // namespace quillmere::fuzz
