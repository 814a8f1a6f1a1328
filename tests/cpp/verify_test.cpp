// Verification outcomes: true for an intact recorded receipt, false for any body
// change or a stored hash in another form, and the errors for a matching receipt
// that breaks a rule or a body that cannot be hashed.
#include "engine/verify.h"

#include <gtest/gtest.h>

#include <cctype>
#include <functional>

#include "engine/record.h"
#include "receipts/canonical.h"

namespace quillmere {
namespace {

Receipt recorded(std::optional<std::string> parent = std::nullopt) {
  JsonObject payload;
  payload.insert("input", JsonValue("data"));
  auto r = record_work("normalize-prices", JsonValue(std::move(payload)), {"etl"}, std::nullopt,
                       std::move(parent));
  EXPECT_TRUE(r.has_value());
  return r.value_or(Receipt{});
}

ExecutionPayload& exec(Receipt& r) {
  return std::get<ExecutionPayload>(r.payload);
}

TEST(VerifyReceipt, RecordedReceiptIsTrue) {
  for (auto parent : {std::optional<std::string>(),
                      std::optional<std::string>("0b6f2a8e-1c3d-4e5f-8a9b-0c1d2e3f4a5b")}) {
    auto v = verify_receipt(recorded(parent));
    ASSERT_TRUE(v.has_value()) << v.error().display();
    EXPECT_TRUE(*v);
  }
}

struct Tamper {
  const char* name;
  std::function<void(Receipt&)> change;
};

class TamperedBody : public ::testing::TestWithParam<Tamper> {};

TEST_P(TamperedBody, IsFalseNotAnError) {
  Receipt r = recorded("0b6f2a8e-1c3d-4e5f-8a9b-0c1d2e3f4a5b");
  GetParam().change(r);
  auto v = verify_receipt(r);
  ASSERT_TRUE(v.has_value()) << v.error().display();
  EXPECT_FALSE(*v);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, TamperedBody,
    ::testing::Values(Tamper{"Dom",
                             [](Receipt& r) { r.dom.back() = r.dom.back() == '0' ? '1' : '0'; }},
                      Tamper{"Cod", [](Receipt& r) { r.cod[10] = r.cod[10] == 'a' ? 'b' : 'a'; }},
                      Tamper{"Version", [](Receipt& r) { r.version = "0.1.1"; }},
                      Tamper{"Rid", [](Receipt& r) { r.rid[0] ^= 0x80; }},
                      Tamper{"Timestamp", [](Receipt& r) { r.ctx.timestamp += " "; }},
                      Tamper{"Nonce", [](Receipt& r) { r.ctx.nonce = ""; }},
                      Tamper{"Determinism", [](Receipt& r) { r.ctx.determinism.reset(); }},
                      Tamper{"Link", [](Receipt& r) { r.links[0][15] ^= 1; }},
                      Tamper{"ExtraLink", [](Receipt& r) { r.links.push_back(r.rid); }},
                      Tamper{"TraceId", [](Receipt& r) { exec(r).trace_id = "trace:other"; }},
                      Tamper{"MethodId", [](Receipt& r) { exec(r).method_ref.method_id += "x"; }},
                      Tamper{"PrevRid", [](Receipt& r) { exec(r).prev_execution_rid.reset(); }},
                      Tamper{"Cardinality", [](Receipt& r) { exec(r).hll_cardinality = 3; }},
                      Tamper{"Attest", [](Receipt& r) { r.attest = GenericValue("note"); }},
                      Tamper{"UppercaseHash",
                             [](Receipt& r) {
                               for (char& c : r.hash) c = static_cast<char>(std::toupper(c));
                             }},
                      Tamper{"EmptyHash", [](Receipt& r) { r.hash.clear(); }},
                      Tamper{"HashOfAnotherReceipt", [](Receipt& r) { r.hash = recorded().hash; }}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(VerifyReceipt, SignatureDoesNotMatter) {
  Receipt r = recorded();
  r.sig = Signature{"ed25519", "k1", "abc"};
  EXPECT_EQ(verify_receipt(r), true);
  r.sig->sig = "changed";
  EXPECT_EQ(verify_receipt(r), true);
  r.sig.reset();
  EXPECT_EQ(verify_receipt(r), true);
}

void reseal(Receipt& r) {
  auto h = compute_hash(r);
  ASSERT_TRUE(h.has_value());
  r.hash = *h;
}

TEST(VerifyReceipt, MatchingHashWithBrokenRuleIsAValidationError) {
  Receipt no_spans = recorded();
  exec(no_spans).span_commitments.clear();
  reseal(no_spans);
  EXPECT_EQ(verify_receipt(no_spans),
            std::unexpected(ApiError::validation(
                "Invalid value: execution.span_commitments must not be empty")));

  Receipt one_piece = recorded();
  one_piece.version = "1";
  reseal(one_piece);
  auto v = verify_receipt(one_piece);
  ASSERT_FALSE(v.has_value());
  EXPECT_EQ(v.error().kind, ApiError::Kind::Validation);
  EXPECT_TRUE(v.error().message.starts_with("Invalid value: Invalid version format: "));
  EXPECT_EQ(v.error().display(),
            "ValidationError: Invalid value: Invalid version format: 1 (expected semver-like "
            "format)");

  Receipt bad_dom = recorded();
  bad_dom.dom = "sha256:short";
  reseal(bad_dom);
  EXPECT_EQ(verify_receipt(bad_dom),
            std::unexpected(ApiError::validation(
                "Invalid hash format: sha256:short (must match ^sha256:[0-9a-f]{64}$)")));
}

TEST(VerifyReceipt, UnhashableBodyIsAHashError) {
  Receipt r = recorded();
  GenericValue v = GenericValue::integer(1);
  for (int i = 0; i < 256; ++i) {
    CborArray a;
    a.items.push_back(std::move(v));
    v = std::move(a);
  }
  r.attest = std::move(v);
  auto result = verify_receipt(r);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind, ApiError::Kind::Hash);
  EXPECT_TRUE(result.error().display().starts_with(
      "HashError: Serialization error: serde to Value failed: "))
      << result.error().display();
}

}  // namespace
}  // namespace quillmere
