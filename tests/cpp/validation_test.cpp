// Validation: the shape rules with their examples, the plain decimal form, and
// each rule of validate in order with its exact display text.
#include "receipts/validation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>

#include "codec/json_reader.h"
#include "codec/json_text.h"
#include "receipts/canonical.h"
#include "receipts/json_adapter.h"
#include "test_support.h"

namespace quillmere {
namespace {

using test::read_file;

// ---------------------------------------------------------------- shape rules

struct ShapeCase {
  std::string text;
  bool valid;
};

class VersionRule : public ::testing::TestWithParam<ShapeCase> {};
TEST_P(VersionRule, SemverLike) {
  EXPECT_EQ(validate_version_format(GetParam().text), GetParam().valid) << GetParam().text;
}
INSTANTIATE_TEST_SUITE_P(
    Examples, VersionRule,
    ::testing::Values(ShapeCase{"1.2", true}, ShapeCase{"1.2.3", true}, ShapeCase{"0.1.0", true},
                      ShapeCase{"1.2.beta", true}, ShapeCase{"1.2.", true},
                      ShapeCase{"+1.+2", true}, ShapeCase{"007.08", true},
                      ShapeCase{"18446744073709551615.0", true}, ShapeCase{"1", false},
                      ShapeCase{"1.2.3.4", false}, ShapeCase{"v1.2.3", false},
                      ShapeCase{"-1.2.3", false}, ShapeCase{"1..3", false}, ShapeCase{"+.1", false},
                      ShapeCase{"++1.2", false}, ShapeCase{"18446744073709551616.0", false},
                      ShapeCase{"1.2 ", false}, ShapeCase{" 1.2", false}, ShapeCase{"", false},
                      ShapeCase{".", false}));

class TimestampRule : public ::testing::TestWithParam<ShapeCase> {};
TEST_P(TimestampRule, Rfc3339Shape) {
  EXPECT_EQ(validate_timestamp_format(GetParam().text), GetParam().valid) << GetParam().text;
}
INSTANTIATE_TEST_SUITE_P(Examples, TimestampRule,
                         ::testing::Values(ShapeCase{"2025-01-02T03:04:05Z", true},
                                           ShapeCase{"2025-01-02T03:04:05.123+00:00", true},
                                           ShapeCase{"2023-11-14T22:13:20+00:00", true},
                                           ShapeCase{"2025-01-02T03:04:05x", true},
                                           ShapeCase{"abcd-ef-ghTij:kl:mnZ", true},
                                           ShapeCase{"2025-01-02 03:04:05Z", false},
                                           ShapeCase{"2025-01-02T03:04:5Z", false},
                                           ShapeCase{"2025-01-02t03:04:05Z", false},
                                           ShapeCase{"2025/01/02T03:04:05Z", false},
                                           ShapeCase{"", false},
                                           // Positions count characters, not bytes.
                                           ShapeCase{"\xC3\xA9"
                                                     "025-01-02T03:04:05Z",
                                                     true},
                                           ShapeCase{"\xC3\xA9"
                                                     "25-01-02T03:04:05Z",
                                                     false},
                                           ShapeCase{"2025-01-02T03:04:05\xC3\xA9", true},
                                           ShapeCase{"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"
                                                     "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9",
                                                     false}));

class PolicyRule : public ::testing::TestWithParam<ShapeCase> {};
TEST_P(PolicyRule, PolicyReference) {
  EXPECT_EQ(validate_policy_ref(GetParam().text), GetParam().valid) << GetParam().text;
}
INSTANTIATE_TEST_SUITE_P(
    Examples, PolicyRule,
    ::testing::Values(ShapeCase{"pol:team/default@1.0.0", true}, ShapeCase{"pol:/@1.2", true},
                      ShapeCase{"pol:legacy-policy_1", true}, ShapeCase{"pol:A.b/C_d-e@0.0", true},
                      ShapeCase{"pol:", false}, ShapeCase{"pol:ns/name", false},
                      ShapeCase{"pol:ns/na/me@1.0", false}, ShapeCase{"pol:ns/name@1", false},
                      ShapeCase{"pol:ns/name@1.0@2", false}, ShapeCase{"pol:na me", false},
                      ShapeCase{"POL:team/default@1.0", false}, ShapeCase{"team/x@1.0", false}));

class IdentityRule : public ::testing::TestWithParam<ShapeCase> {};
TEST_P(IdentityRule, DidUri) {
  EXPECT_EQ(validate_identity_ref(GetParam().text), GetParam().valid) << GetParam().text;
}
INSTANTIATE_TEST_SUITE_P(
    Examples, IdentityRule,
    ::testing::Values(ShapeCase{"did:key:z6Mk-abc.1", true}, ShapeCase{"did:ion:users:1", true},
                      ShapeCase{"did:web3:A_b", true}, ShapeCase{"did:", false},
                      ShapeCase{"did:key", false}, ShapeCase{"did:Key:abc", false},
                      ShapeCase{"did::abc", false}, ShapeCase{"did:key:", false},
                      ShapeCase{"did:key:a/b", false}, ShapeCase{"did:key:a%20b", false},
                      ShapeCase{"DID:key:abc", false}));

// ---------------------------------------------------------------- plain decimal

TEST(PlainDecimal, KnownAnswers) {
  auto doc = parse_json(read_file(std::string(QM_VECTORS_DIR) + "/numbers.json"));
  ASSERT_TRUE(doc.has_value());
  const JsonArray& cases = doc->as_object().find("plain_decimal")->as_array();
  ASSERT_FALSE(cases.empty());
  for (const JsonValue& c : cases) {
    const std::string& repr = c.as_object().find("repr")->as_string();
    double d = std::stod(repr);
    EXPECT_EQ(plain_decimal(d), c.as_object().find("text")->as_string()) << repr;
  }
}

TEST(PlainDecimal, ExtremesAndNonFinite) {
  EXPECT_EQ(plain_decimal(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(plain_decimal(5e-324), "0." + std::string(323, '0') + "5");
  EXPECT_EQ(plain_decimal(1.7976931348623157e308).substr(0, 18), "179769313486231570");
  EXPECT_EQ(plain_decimal(1.7976931348623157e308).size(), 309U);
  EXPECT_EQ(plain_decimal(-0.0), "-0");
  EXPECT_EQ(plain_decimal(std::numeric_limits<double>::quiet_NaN()), "NaN");
  EXPECT_EQ(plain_decimal(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(plain_decimal(-std::numeric_limits<double>::infinity()), "-inf");
}

// ---------------------------------------------------------------- validate

std::string h(char c) {
  return "sha256:" + std::string(64, c);
}

Receipt base(Payload payload) {
  Receipt r;
  r.rid[0] = 1;
  r.version = "0.1.0";
  r.dom = h('a');
  r.cod = h('b');
  r.ctx.timestamp = "2025-01-02T03:04:05Z";
  r.payload = std::move(payload);
  return r;
}

Receipt execution() {
  ExecutionPayload p;
  p.trace_id = "t";
  p.method_ref = {"m", "0.1.0", h('c')};
  p.data_shape_hash = h('d');
  p.span_commitments = {h('e')};
  p.roots = {h('f'), h('1'), h('2')};
  return base(std::move(p));
}

Receipt spend() {
  SpendPayload s;
  s.meter.vcpu_sec = 2.0;
  s.unit_prices.vcpu_sec = 0.5;
  s.currency = "EUR";
  s.total_value = 1.0;
  s.pointers.trace_id = "t";
  return base(std::move(s));
}

Receipt of_kind(const std::string& kind) {
  if (kind == "data_shape") return base(DataShapePayload{h('4'), std::nullopt});
  if (kind == "method_shape") {
    return base(MethodShapePayload{{{"n", h('6')}}, std::nullopt, h('7'), std::nullopt});
  }
  if (kind == "reasoning_shape") {
    return base(ReasoningShapePayload{
        h('8'), h('9'), {{"r", "op", std::nullopt}}, std::nullopt, std::nullopt});
  }
  if (kind == "spend") return spend();
  if (kind == "settlement") return base(SettlementPayload{{"w"}, {}, "r", std::nullopt});
  return execution();
}

void seal(Receipt& r) {
  auto hash = compute_hash(r);
  ASSERT_TRUE(hash.has_value());
  r.hash = *hash;
}

template <typename P>
P& payload(Receipt& r) {
  return std::get<P>(r.payload);
}

struct RuleCase {
  const char* name;
  const char* kind;
  std::function<void(Receipt&)> change;
  std::string message;  // empty: valid
  bool reseal = true;   // false: the change is made after sealing
};

class Validate : public ::testing::TestWithParam<RuleCase> {};

TEST_P(Validate, FirstFailingRuleAndItsText) {
  const RuleCase& c = GetParam();
  Receipt r = of_kind(c.kind);
  if (c.reseal) {
    c.change(r);
    seal(r);
  } else {
    seal(r);
    c.change(r);
  }
  auto result = validate(r);
  if (c.message.empty()) {
    EXPECT_TRUE(result.has_value()) << result.error().display();
  } else {
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().display(), c.message);
  }
}

const std::string kMustMatch = " (must match ^sha256:[0-9a-f]{64}$)";
const std::string kBadHash = "sha256:" + std::string(63, 'a') + "A";

RuleCase bad_hash(const char* name, const char* kind, std::function<void(Receipt&)> set) {
  return {name, kind, [set](Receipt& r) { set(r); },
          "Invalid hash format: " + kBadHash + kMustMatch};
}

INSTANTIATE_TEST_SUITE_P(
    Envelope, Validate,
    ::testing::Values(
        RuleCase{"EachKindValidWhenSealed", "execution", [](Receipt&) {}, ""},
        RuleCase{"EmptyStoredHash", "execution", [](Receipt& r) { r.hash.clear(); },
                 "Invalid hash format: " + kMustMatch, false},
        RuleCase{"KindRulesBeforeDom", "execution",
                 [](Receipt& r) {
                   r.dom = "x";
                   payload<ExecutionPayload>(r).data_shape_hash = kBadHash;
                 },
                 "Invalid hash format: " + kBadHash + kMustMatch},
        RuleCase{"BadDom", "settlement", [](Receipt& r) { r.dom = "sha256:"; },
                 "Invalid hash format: sha256:" + kMustMatch},
        RuleCase{"BadCodAfterDom", "settlement", [](Receipt& r) { r.cod = "cod"; },
                 "Invalid hash format: cod" + kMustMatch},
        RuleCase{"OnePieceVersion", "data_shape", [](Receipt& r) { r.version = "1"; },
                 "Invalid value: Invalid version format: 1 (expected semver-like format)"},
        RuleCase{"Timestamp", "data_shape", [](Receipt& r) { r.ctx.timestamp = "2025-01-02"; },
                 "Invalid value: Invalid timestamp format: 2025-01-02 (expected RFC3339)"},
        RuleCase{"TimestampBeforePolicy", "data_shape",
                 [](Receipt& r) {
                   r.ctx.timestamp = "";
                   r.ctx.policy_ref = "x";
                 },
                 "Invalid value: Invalid timestamp format:  (expected RFC3339)"},
        RuleCase{"Policy", "data_shape", [](Receipt& r) { r.ctx.policy_ref = "pol:ns/name"; },
                 "Invalid value: Invalid policy_ref format: pol:ns/name (expected "
                 "pol:<namespace>/<name>@<semver>)"},
        RuleCase{"Identity", "data_shape", [](Receipt& r) { r.ctx.identity_ref = "did:Key:abc"; },
                 "Invalid value: Invalid identity_ref format: did:Key:abc (expected DID URI)"},
        RuleCase{"AllContextFieldsValid", "data_shape",
                 [](Receipt& r) {
                   r.ctx.policy_ref = "pol:team/default@1.0.0";
                   r.ctx.identity_ref = "did:key:z6Mk-abc.1";
                   r.ctx.nonce = "";
                   r.ctx.determinism = Determinism::Strict;
                 },
                 ""},
        RuleCase{"TooDeepToHash", "data_shape",
                 [](Receipt& r) {
                   GenericValue v = nullptr;
                   for (int i = 0; i < 300; ++i) {
                     CborArray a;
                     a.items.push_back(std::move(v));
                     v = std::move(a);
                   }
                   r.attest = std::move(v);
                   r.hash = h('0');
                 },
                 "Serialization error: serde to Value failed: RecursionLimitExceeded", false}),
    [](const auto& p) { return std::string(p.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Payloads, Validate,
    ::testing::Values(
        bad_hash("SchemaHash", "data_shape",
                 [](Receipt& r) { payload<DataShapePayload>(r).schema_hash = kBadHash; }),
        bad_hash("SketchHash", "data_shape",
                 [](Receipt& r) { payload<DataShapePayload>(r).sketch_hash = kBadHash; }),
        bad_hash("RootMultiset", "method_shape",
                 [](Receipt& r) { payload<MethodShapePayload>(r).root_multiset = kBadHash; }),
        bad_hash("SpanShapeHash", "method_shape",
                 [](Receipt& r) {
                   payload<MethodShapePayload>(r).nodes.push_back({"n2", kBadHash});
                 }),
        bad_hash("MethodDagHash", "method_shape",
                 [](Receipt& r) { payload<MethodShapePayload>(r).dag_hash = kBadHash; }),
        bad_hash("IntentHash", "reasoning_shape",
                 [](Receipt& r) { payload<ReasoningShapePayload>(r).intent_hash = kBadHash; }),
        bad_hash("ReviewHash", "reasoning_shape",
                 [](Receipt& r) {
                   payload<ReasoningShapePayload>(r).quality =
                       ReasoningQuality{0.5F, std::nullopt, kBadHash, std::nullopt};
                 }),
        bad_hash("SpanCommitment", "execution",
                 [](Receipt& r) {
                   payload<ExecutionPayload>(r).span_commitments.push_back(kBadHash);
                 }),
        bad_hash("TraceSeqRoot", "execution",
                 [](Receipt& r) { payload<ExecutionPayload>(r).roots.trace_seq_root = kBadHash; }),
        RuleCase{"NoTraceSeqRoot", "execution",
                 [](Receipt& r) { payload<ExecutionPayload>(r).roots.trace_seq_root.reset(); }, ""},
        RuleCase{"EmptyChangeEpoch", "execution",
                 [](Receipt& r) { payload<ExecutionPayload>(r).change_epoch = ""; },
                 "Invalid value: change_epoch must be non-empty if present"},
        RuleCase{"ZeroCardinality", "execution",
                 [](Receipt& r) { payload<ExecutionPayload>(r).hll_cardinality = 0; },
                 "Invalid value: hll_cardinality must be > 0 if present"},
        RuleCase{"CardinalityOne", "execution",
                 [](Receipt& r) { payload<ExecutionPayload>(r).hll_cardinality = 1; }, ""},
        RuleCase{"NoSpans", "execution",
                 [](Receipt& r) { payload<ExecutionPayload>(r).span_commitments.clear(); },
                 "Invalid value: execution.span_commitments must not be empty"},
        RuleCase{"NoMethodNodes", "method_shape",
                 [](Receipt& r) { payload<MethodShapePayload>(r).nodes.clear(); },
                 "Invalid value: method_shape.nodes must not be empty"},
        RuleCase{"NoReasoningNodes", "reasoning_shape",
                 [](Receipt& r) { payload<ReasoningShapePayload>(r).node_refs.clear(); },
                 "Invalid value: reasoning_shape.node_refs must not be empty"},
        RuleCase{"NoWurRefs", "settlement",
                 [](Receipt& r) { payload<SettlementPayload>(r).wur_refs.clear(); },
                 "Invalid value: settlement.wur_refs must not be empty"},
        RuleCase{"SettlementAnyContent", "settlement",
                 [](Receipt& r) {
                   auto& s = payload<SettlementPayload>(r);
                   s.rules_ref = "";
                   s.net_positions = {{"x", std::nan("")}};
                   s.cash_instr = GenericValue("anything");
                 },
                 ""},
        RuleCase{"NonEmptyRuleComesLast", "method_shape",
                 [](Receipt& r) {
                   payload<MethodShapePayload>(r).nodes.clear();
                   r.version = "x";
                 },
                 "Invalid value: Invalid version format: x (expected semver-like format)"}),
    [](const auto& p) { return std::string(p.param.name); });

ReuseJustification with_layer(std::string layer) {
  ReuseJustification j;
  j.layer = std::move(layer);
  return j;
}

RuleCase total(const char* name, std::function<void(SpendPayload&)> set, std::string message) {
  return {name, "spend", [set](Receipt& r) { set(payload<SpendPayload>(r)); }, std::move(message)};
}

const std::string kLayers =
    " (must be one of: [\"data\", \"method\", \"reasoning\", \"execution\"])";

INSTANTIATE_TEST_SUITE_P(
    Spend, Validate,
    ::testing::Values(
        total(
            "XXX", [](SpendPayload& s) { s.currency = "XXX"; }, ""),
        total(
            "Lowercase", [](SpendPayload& s) { s.currency = "eur"; },
            "Invalid value: Invalid currency code: eur (expected ISO-4217, 3 uppercase letters)"),
        total(
            "TwoLetters", [](SpendPayload& s) { s.currency = "EU"; },
            "Invalid value: Invalid currency code: EU (expected ISO-4217, 3 uppercase letters)"),
        total(
            "FourLetters", [](SpendPayload& s) { s.currency = "EURO"; },
            "Invalid value: Invalid currency code: EURO (expected ISO-4217, 3 uppercase "
            "letters)"),
        total(
            "CurrencyBeforeTotal",
            [](SpendPayload& s) {
              s.currency = "\xC3\x89U";
              s.total_value = 5;
            },
            "Invalid value: Invalid currency code: \xC3\x89U (expected ISO-4217, 3 uppercase "
            "letters)"),
        total(
            "WithinTolerance", [](SpendPayload& s) { s.total_value = 1.00005; }, ""),
        total(
            "OutsideTolerance", [](SpendPayload& s) { s.total_value = 1.0002; },
            "Invalid value: total_value mismatch: expected ~1, got 1.0002"),
        total(
            "PriceWithoutMeter",
            [](SpendPayload& s) {
              s.unit_prices.gpu_sec = 100.0;
              s.meter.energy_kwh = 100.0;
            },
            ""),
        total(
            "SumInOrder",
            [](SpendPayload& s) {
              s.meter = {1.0, 1.0, 1.0, 1.0, 1.0};
              s.unit_prices = {0.1, 0.2, 0.0, 0.0, 0.0};
              s.total_value = 12.0;
            },
            "Invalid value: total_value mismatch: expected ~0.30000000000000004, got 12"),
        total(
            "NaNSum",
            [](SpendPayload& s) {
              s.meter = {1e200, 1e200, std::nullopt, std::nullopt, std::nullopt};
              s.unit_prices = {1e200, -1e200, std::nullopt, std::nullopt, std::nullopt};
              s.total_value = 0.0;
            },
            "Invalid value: total_value mismatch: expected ~NaN, got 0"),
        total(
            "NaNTotal", [](SpendPayload& s) { s.total_value = std::nan(""); },
            "Invalid value: total_value mismatch: expected ~1, got NaN"),
        total(
            "InfiniteBoth",
            [](SpendPayload& s) {
              s.meter.vcpu_sec = 1e300;
              s.unit_prices.vcpu_sec = 1e300;
              s.total_value = std::numeric_limits<double>::infinity();
            },
            "Invalid value: total_value mismatch: expected ~inf, got inf"),
        total(
            "NoComponents",
            [](SpendPayload& s) {
              s.meter = {};
              s.total_value = -0.0001;
            },
            ""),
        total(
            "GoodLayer", [](SpendPayload& s) { s.justification = with_layer("reasoning"); }, ""),
        total(
            "NoLayer", [](SpendPayload& s) { s.justification = ReuseJustification{}; }, ""),
        total(
            "CapitalisedLayer", [](SpendPayload& s) { s.justification = with_layer("Data"); },
            "Invalid value: Invalid layer value: Data" + kLayers),
        total(
            "TotalBeforeLayer",
            [](SpendPayload& s) {
              s.total_value = 2.0;
              s.justification = with_layer("x");
            },
            "Invalid value: total_value mismatch: expected ~1, got 2")),
    [](const auto& p) { return std::string(p.param.name); });

TEST(Validate, UppercaseHashFailsBeforeAnyHashing) {
  // Too deep to hash as well, yet the format check answers first.
  Receipt r = of_kind("execution");
  seal(r);
  std::string upper = r.hash;
  for (char& c : upper) c = static_cast<char>(std::toupper(c));
  r.hash = upper;
  GenericValue v = nullptr;
  for (int i = 0; i < 300; ++i) {
    CborArray a;
    a.items.push_back(std::move(v));
    v = std::move(a);
  }
  r.attest = std::move(v);
  auto result = validate(r);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error(), ValidationError::invalid_hash_format(upper));
}

TEST(Validate, MismatchNamesBothHashes) {
  Receipt r = of_kind("execution");
  seal(r);
  std::string stored = r.hash;
  r.dom.back() = '0';
  auto computed = compute_hash(r);
  ASSERT_TRUE(computed.has_value());
  auto result = validate(r);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().display(),
            "Hash mismatch: expected " + stored + ", computed " + *computed);
}

TEST(Validate, EveryKindSealedIsValid) {
  for (const char* kind :
       {"data_shape", "method_shape", "reasoning_shape", "execution", "spend", "settlement"}) {
    Receipt r = of_kind(kind);
    seal(r);
    EXPECT_TRUE(validate(r).has_value()) << kind;
  }
}

TEST(Validate, SealedVectorsAreValid) {
  auto doc = parse_json(read_file(std::string(QM_VECTORS_DIR) + "/receipts.json"));
  ASSERT_TRUE(doc.has_value());
  ASSERT_FALSE(doc->as_array().empty());
  for (const JsonValue& v : doc->as_array()) {
    const JsonObject& o = v.as_object();
    const std::string& name = o.find("name")->as_string();
    auto r = receipt_from_json(o.find("sealed_json")->as_string());
    ASSERT_TRUE(r.has_value()) << name << ": " << r.error().display();
    ASSERT_TRUE(o.find("validate_sealed")->is_null());
    auto valid = validate(*r);
    EXPECT_TRUE(valid.has_value()) << name << ": " << valid.error().display();
  }
}

TEST(ValidateHashFormatStr, CarriesTheOffendingText) {
  EXPECT_TRUE(validate_hash_format_str(h('0')).has_value());
  auto r = validate_hash_format_str("sha256:xyz");
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, ValidationError::Kind::InvalidHashFormat);
  EXPECT_EQ(r.error().display(), "Invalid hash format: sha256:xyz" + kMustMatch);
}

}  // namespace
}  // namespace quillmere
