// The receipt's JSON form: known vectors, exact written text for every kind
// with optional fields present and absent, every reading failure with its
// exact text and position, generic values, and robustness against mutated
// input.
#include "receipts/json_adapter.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>

#include "codec/generic_json.h"
#include "codec/json_reader.h"
#include "codec/json_text.h"
#include "receipts/receipt_deser.h"
#include "test_support.h"

namespace quillmere {
namespace {

using test::read_file;

std::string h(char c) {
  return "sha256:" + std::string(64, c);
}

constexpr std::string_view kRid = "6f1c1d9e-3a53-4d6b-9b0e-2f1b7a6c5d40";
constexpr std::string_view kMinCtx = R"({"timestamp":"2025-01-02T03:04:05Z"})";
constexpr std::string_view kMinCtxOut =
    R"({"policy_ref":null,"timestamp":"2025-01-02T03:04:05Z","nonce":null,"determinism":null,"identity_ref":null})";

// A document whose envelope is valid; `tail` is spliced in before the hash key.
std::string doc(std::string_view kind, std::string_view payload, std::string_view ctx = kMinCtx,
                std::string_view tail = R"("attest":null,"sig":null,)") {
  return R"({"rid":")" + std::string(kRid) + R"(","version":"0.1.0","kind":")" + std::string(kind) +
         R"(","dom":")" + h('a') + R"(","cod":")" + h('b') + R"(","links":[],"ctx":)" +
         std::string(ctx) + R"(,"payload":)" + std::string(payload) + "," + std::string(tail) +
         R"("hash":")" + h('0') + R"("})";
}

// The text the writer gives for that document with the payload written as `payload_out`.
std::string written(std::string_view kind, std::string_view payload_out,
                    std::string_view ctx_out = kMinCtxOut,
                    std::string_view attest_sig = R"("attest":null,"sig":null)",
                    std::string_view links = "[]") {
  return R"({"rid":")" + std::string(kRid) + R"(","version":"0.1.0","kind":")" + std::string(kind) +
         R"(","dom":")" + h('a') + R"(","cod":")" + h('b') + R"(","links":)" + std::string(links) +
         R"(,"ctx":)" + std::string(ctx_out) + R"(,"payload":)" + std::string(payload_out) + "," +
         std::string(attest_sig) + R"(,"hash":")" + h('0') + R"("})";
}

std::string rewrite(std::string_view text) {
  auto r = receipt_from_json(text);
  if (!r) return "(read failed) " + r.error().display();
  auto out = receipt_to_json(*r);
  if (!out) return "(write failed) " + out.error().display();
  return *out;
}

std::string read_error(std::string_view text) {
  auto r = receipt_from_json(text);
  if (r) return "(accepted)";
  EXPECT_EQ(r.error().kind, AdapterError::Kind::JsonDeserialization);
  return r.error().display();
}

// ---- known vectors ----------------------------------------------------------

struct Vector {
  std::string name, input_json, to_json, hash, sealed_json;
};

std::vector<Vector> load_vectors() {
  auto doc_value = parse_json(read_file(QM_VECTORS_DIR "/receipts.json"));
  std::vector<Vector> out;
  if (!doc_value) return out;
  for (const auto& item : doc_value->as_array()) {
    const auto& o = item.as_object();
    out.push_back({o.find("name")->as_string(), o.find("input_json")->as_string(),
                   o.find("to_json")->as_string(), o.find("hash")->as_string(),
                   o.find("sealed_json")->as_string()});
  }
  return out;
}

TEST(JsonAdapterVectors, InputIsWrittenBackExactly) {
  auto vectors = load_vectors();
  ASSERT_GE(vectors.size(), 9u);
  for (const auto& v : vectors) EXPECT_EQ(rewrite(v.input_json), v.to_json) << v.name;
}

TEST(JsonAdapterVectors, SealedReceiptsRoundTripAndKeepTheirHash) {
  for (const auto& v : load_vectors()) {
    auto r = receipt_from_json(v.sealed_json);
    ASSERT_TRUE(r.has_value()) << v.name << ": " << r.error().display();
    EXPECT_EQ(r->hash, v.hash) << v.name;
    auto text = receipt_to_json(*r);
    ASSERT_TRUE(text.has_value());
    EXPECT_EQ(*text, v.sealed_json) << v.name;
    auto again = receipt_from_json(*text);
    ASSERT_TRUE(again.has_value());
    EXPECT_EQ(*again, *r) << v.name;
    auto recomputed = again->compute_hash();
    ASSERT_TRUE(recomputed.has_value()) << v.name;
    EXPECT_EQ(*recomputed, v.hash) << v.name;
  }
}

// ---- exact written text ---------------------------------------------------

struct WriteCase {
  std::string name;
  std::string input;
  std::string output;
};

class JsonAdapterWrites : public ::testing::TestWithParam<WriteCase> {};

TEST_P(JsonAdapterWrites, ExactText) {
  EXPECT_EQ(rewrite(GetParam().input), GetParam().output);
  // Writing is a fixed point: the output reads back to the same text.
  EXPECT_EQ(rewrite(GetParam().output), GetParam().output);
}

const std::string kExecMin =
    R"({"data_shape_hash":"d","method_ref":{"method_id":"m","method_shape_root":"r","version":"v"},"roots":{"identity_root":"i","trace_set_root":"t"},"span_commitments":["s"],"trace_id":"t")";
const std::string kExecMinOut =
    R"({"trace_id":"t","method_ref":{"method_id":"m","version":"v","method_shape_root":"r"},"data_shape_hash":"d","span_commitments":["s"],"roots":{"trace_set_root":"t","identity_root":"i","trace_seq_root":null},"cdf_metadata":null)";
const std::string kPac = "AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8";  // bytes 0..31
const std::string kSpendVectors =
    R"("meter":{"vcpu_sec":1},"unit_prices":{"vcpu_sec":2},"currency":"EUR","pointers":{"trace_id":"t"})";
const std::string kSpendVectorsOut =
    R"({"meter":{"vcpu_sec":1.0,"gpu_sec":null,"gb_sec":null,"requests":null,"energy_kwh":null},"unit_prices":{"vcpu_sec":2.0,"gpu_sec":null,"gb_sec":null,"requests":null,"energy_kwh":null},"currency":"EUR","pricing_policy_ref":null,"total_value":)";
const std::string kSpendTail =
    R"(,"pointers":{"trace_id":"t","span_ids":null},"justification":null})";

std::string ints(int from, int to) {
  std::string s = "[";
  for (int i = from; i < to; ++i) {
    if (i > from) s += ',';
    s += std::to_string(i);
  }
  return s + "]";
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, JsonAdapterWrites,
    ::testing::Values(
        WriteCase{"data_shape_absent_sketch", doc("data_shape", R"({"schema_hash":"x"})"),
                  written("data_shape", R"({"schema_hash":"x","sketch_hash":null})")},
        WriteCase{"unknown_payload_key_dropped",
                  doc("data_shape", R"({"zzz":[1,{"q":2}],"schema_hash":"x","sketch_hash":"s"})"),
                  written("data_shape", R"({"schema_hash":"x","sketch_hash":"s"})")},
        WriteCase{"payload_as_array", doc("data_shape", R"(["x",null])"),
                  written("data_shape", R"({"schema_hash":"x","sketch_hash":null})")},
        WriteCase{
            "method_edges_absent",
            doc("method_shape",
                R"({"nodes":[{"id":"n","span_shape_hash":"s"}],"root_multiset":"r"})"),
            written(
                "method_shape",
                R"({"nodes":[{"id":"n","span_shape_hash":"s"}],"edges":null,"root_multiset":"r","dag_hash":null})")},
        WriteCase{
            "method_edges_empty",
            doc("method_shape", R"({"nodes":[],"edges":[],"root_multiset":"r","dag_hash":"g"})"),
            written("method_shape",
                    R"({"nodes":[],"edges":[],"root_multiset":"r","dag_hash":"g"})")},
        WriteCase{
            "method_nested_array_forms",
            doc("method_shape", R"({"nodes":[["n","s"]],"edges":[["a","b"]],"root_multiset":"r"})"),
            written(
                "method_shape",
                R"({"nodes":[{"id":"n","span_shape_hash":"s"}],"edges":[{"from":"a","to":"b"}],"root_multiset":"r","dag_hash":null})")},
        WriteCase{
            "reasoning_only_confidence",
            doc("reasoning_shape",
                R"({"intent_hash":"i","dag_hash":"d","node_refs":[{"node_id":"n","operator_ref":"o"}],"quality":{"confidence":0.5}})"),
            written(
                "reasoning_shape",
                R"({"intent_hash":"i","dag_hash":"d","node_refs":[{"node_id":"n","operator_ref":"o","pox_ref":null}],"policy_ref":null,"quality":{"success_score":null,"eval_method":null,"review_hash":null,"confidence":0.5}})")},
        WriteCase{
            "reasoning_float32_layouts",
            doc("reasoning_shape",
                R"({"intent_hash":"i","dag_hash":"d","node_refs":[],"quality":{"success_score":0.000001,"confidence":10000000000000}})"),
            written(
                "reasoning_shape",
                R"({"intent_hash":"i","dag_hash":"d","node_refs":[],"policy_ref":null,"quality":{"success_score":0.000001,"eval_method":null,"review_hash":null,"confidence":1e13}})")},
        WriteCase{
            "reasoning_quality_absent",
            doc("reasoning_shape",
                R"({"intent_hash":"i","dag_hash":"d","node_refs":[],"policy_ref":"p","quality":null})"),
            written(
                "reasoning_shape",
                R"({"intent_hash":"i","dag_hash":"d","node_refs":[],"policy_ref":"p","quality":null})")},
        WriteCase{"execution_required_only", doc("execution", kExecMin + "}"),
                  written("execution", kExecMinOut + "}")},
        WriteCase{"execution_pac_only", doc("execution", kExecMin + R"(,"pac":")" + kPac + "\"}"),
                  written("execution", kExecMinOut + R"(,"pac":")" + kPac + "\"}")},
        WriteCase{"execution_pac_from_array",
                  doc("execution", kExecMin + R"(,"pac":)" + ints(0, 32) + "}"),
                  written("execution", kExecMinOut + R"(,"pac":")" + kPac + "\"}")},
        WriteCase{
            "execution_nulls_left_out",
            doc("execution",
                kExecMin +
                    R"(,"pac":null,"hll_cardinality":null,"cdf_metadata":[{"commit_version":-1,"change_type":"c","commit_timestamp":"t"}]})"),
            written("execution",
                    kExecMinOut.substr(0, kExecMinOut.size() - 4) +
                        R"([{"commit_version":-1,"change_type":"c","commit_timestamp":"t"}]})")},
        WriteCase{
            "execution_prev_rid_braced_upper",
            doc("execution",
                kExecMin + R"(,"prev_execution_rid":"{0B6F2A8E-1C3D-4E5F-8A9B-0C1D2E3F4A5B}"})"),
            written("execution",
                    kExecMinOut +
                        R"(,"prev_execution_rid":"0b6f2a8e-1c3d-4e5f-8a9b-0c1d2e3f4a5b"})")},
        WriteCase{
            "execution_byte_sequences",
            doc("execution",
                kExecMin +
                    R"(,"minhash_signature":[1,2,255],"output_locator_ref":{"encrypted_data":[],"content_hash":"c","encryption_scheme":"e"}})"),
            written(
                "execution",
                kExecMinOut +
                    R"(,"minhash_signature":[1,2,255],"output_locator_ref":{"encrypted_data":[],"content_hash":"c","encryption_scheme":"e"}})")},
        WriteCase{"spend_total_integer",
                  doc("spend", "{" + kSpendVectors + R"(,"total_value":12})"),
                  written("spend", kSpendVectorsOut + "12.0" + kSpendTail)},
        WriteCase{"spend_total_large",
                  doc("spend", "{" + kSpendVectors + R"(,"total_value":1e21})"),
                  written("spend", kSpendVectorsOut + "1e21" + kSpendTail)},
        WriteCase{"spend_total_small",
                  doc("spend", "{" + kSpendVectors + R"(,"total_value":0.00001})"),
                  written("spend", kSpendVectorsOut + "0.00001" + kSpendTail)},
        WriteCase{"spend_total_smaller",
                  doc("spend", "{" + kSpendVectors + R"(,"total_value":0.000001})"),
                  written("spend", kSpendVectorsOut + "1e-6" + kSpendTail)},
        WriteCase{
            "settlement_positions_sorted",
            doc("settlement",
                R"({"wur_refs":["w"],"net_positions":{"b":1,"a":2},"rules_ref":"r"})"),
            written(
                "settlement",
                R"({"wur_refs":["w"],"net_positions":{"a":2.0,"b":1.0},"rules_ref":"r","cash_instr":null})")},
        WriteCase{
            "settlement_cash_instr",
            doc("settlement",
                R"({"wur_refs":[],"net_positions":{},"rules_ref":"r","cash_instr":{"z":[-1,0.5,"\u0001"],"a":{}}})"),
            written(
                "settlement",
                R"({"wur_refs":[],"net_positions":{},"rules_ref":"r","cash_instr":{"a":{},"z":[-1,0.5,"\u0001"]}})")},
        WriteCase{
            "envelope_ids_any_form",
            R"({"rid":"urn:uuid:6F1C1D9E-3A53-4D6B-9B0E-2F1B7A6C5D40","version":"0.1.0","kind":"data_shape","dom":")" +
                h('a') + R"(","cod":")" + h('b') +
                R"(","links":["not-a-uuid",5,null,"0B6F2A8E1C3D4E5F8A9B0C1D2E3F4A5B",{}],"ctx":)" +
                std::string(kMinCtx) + R"(,"payload":{"schema_hash":"x"},"hash":")" + h('0') +
                R"(","extra":1})",
            written("data_shape", R"({"schema_hash":"x","sketch_hash":null})", kMinCtxOut,
                    R"("attest":null,"sig":null)", R"(["0b6f2a8e-1c3d-4e5f-8a9b-0c1d2e3f4a5b"])")},
        WriteCase{"links_not_an_array",
                  doc("data_shape", R"({"schema_hash":"x"})", kMinCtx,
                      R"("links":"6f1c1d9e-3a53-4d6b-9b0e-2f1b7a6c5d40",)"),
                  written("data_shape", R"({"schema_hash":"x","sketch_hash":null})", kMinCtxOut,
                          R"("attest":null,"sig":null)")},
        WriteCase{
            "context_full_and_array_form",
            doc("data_shape", R"({"schema_hash":"x"})",
                R"(["pol:a/b@1.0.0","t","n","observational","did:x:y"])"),
            written(
                "data_shape", R"({"schema_hash":"x","sketch_hash":null})",
                R"({"policy_ref":"pol:a/b@1.0.0","timestamp":"t","nonce":"n","determinism":"observational","identity_ref":"did:x:y"})")},
        WriteCase{"sig_incomplete_dropped",
                  doc("data_shape", R"({"schema_hash":"x"})", kMinCtx,
                      R"("attest":{"k":[true]},"sig":{"alg":"a","kid":"k"},)"),
                  written("data_shape", R"({"schema_hash":"x","sketch_hash":null})", kMinCtxOut,
                          R"("attest":{"k":[true]},"sig":null)")},
        WriteCase{"sig_extra_keys_ignored",
                  doc("data_shape", R"({"schema_hash":"x"})", kMinCtx,
                      R"("sig":{"x":1,"sig":"s","kid":"k","alg":"a"},)"),
                  written("data_shape", R"({"schema_hash":"x","sketch_hash":null})", kMinCtxOut,
                          R"("attest":null,"sig":{"alg":"a","kid":"k","sig":"s"})")},
        WriteCase{"sig_not_text_dropped",
                  doc("data_shape", R"({"schema_hash":"x"})", kMinCtx,
                      R"("sig":{"alg":"a","kid":"k","sig":1},)"),
                  written("data_shape", R"({"schema_hash":"x","sketch_hash":null})")},
        WriteCase{"pretty_input",
                  "\n{ \"rid\" : \"" + std::string(kRid) +
                      "\",\n  \"version\": \"0.1.0\", \"kind\": \"data_shape\",\n  \"dom\": \"" +
                      h('a') + "\", \"cod\": \"" + h('b') +
                      "\",\r\n  \"ctx\": { \"timestamp\": \"2025-01-02T03:04:05Z\" },\n  "
                      "\"payload\": { \"schema_hash\": \"x\" },\t\"hash\": \"" +
                      h('0') + "\" }\n\n",
                  written("data_shape", R"({"schema_hash":"x","sketch_hash":null})")}),
    [](const auto& param_info) { return param_info.param.name; });

TEST(JsonAdapterWrite, NonFiniteFloatsAreNullAndRequiredNullFailsOnRead) {
  auto r = receipt_from_json(doc("spend", "{" + kSpendVectors + R"(,"total_value":1})"));
  ASSERT_TRUE(r.has_value());
  auto& spend = std::get<SpendPayload>(r->payload);
  spend.total_value = std::nan("");
  spend.meter.gpu_sec = std::numeric_limits<double>::infinity();
  r->attest = GenericValue(CborArray{{GenericValue(-std::numeric_limits<double>::infinity())}});
  auto text = receipt_to_json(*r);
  ASSERT_TRUE(text.has_value());
  EXPECT_NE(text->find(R"("total_value":null)"), std::string::npos);
  EXPECT_NE(text->find(R"("gpu_sec":null)"), std::string::npos);
  EXPECT_NE(text->find(R"("attest":[null])"), std::string::npos);
  std::string error = read_error(*text);
  EXPECT_EQ(error.substr(0, error.find(" at line")),
            "JSON deserialization failed: Failed to deserialize SpendPayload: invalid type: null, "
            "expected f64");
}

TEST(JsonAdapterRead, Float32FieldsRoundToNearestUpToTheOverflowMidpoint) {
  constexpr float kMax = std::numeric_limits<float>::max();
  constexpr float kInf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(nearest_float(1.5), 1.5f);
  EXPECT_EQ(nearest_float(3.4028235e38), kMax);  // just above the largest float: rounds down
  EXPECT_EQ(nearest_float(0x1.fffffefffffffp127), kMax);
  EXPECT_EQ(nearest_float(0x1.ffffffp127), kInf);  // the midpoint ties to even: overflow
  EXPECT_EQ(nearest_float(1e39), kInf);
  EXPECT_EQ(nearest_float(-3.4028235e38), -kMax);
  EXPECT_EQ(nearest_float(-0x1.ffffffp127), -kInf);
}

// Around the midpoint of 0x15ae43fd and 0x15ae43fe, the shortest float text of the
// lower one reads as a double that then rounds to the upper one: the writer gives
// it a digit more, and every neighbour keeps its value and its receipt hash.
TEST(JsonAdapterRoundTrip, Float32TextsNearADoubleRoundingMidpointKeepTheValue) {
  struct Case {
    uint32_t bits;
    std::string_view text;
  };
  for (const Case& c : {Case{0x15ae43fd, "7.0385307e-26"}, Case{0x15ae43fe, "7.0385313e-26"},
                        Case{0x95ae43fd, "-7.0385307e-26"}, Case{0x95ae43fe, "-7.0385313e-26"}}) {
    auto r = receipt_from_json(doc(
        "reasoning_shape",
        R"({"intent_hash":"i","dag_hash":"d","node_refs":[{"node_id":"n","operator_ref":"o"}]})"));
    ASSERT_TRUE(r.has_value());
    const float value = std::bit_cast<float>(c.bits);
    std::get<ReasoningShapePayload>(r->payload).quality =
        ReasoningQuality{value, std::nullopt, std::nullopt, value};
    auto text = receipt_to_json(*r);
    ASSERT_TRUE(text.has_value());
    EXPECT_NE(text->find(R"("success_score":)" + std::string(c.text) + ","), std::string::npos)
        << *text;
    auto back = receipt_from_json(*text);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(std::bit_cast<uint32_t>(
                  *std::get<ReasoningShapePayload>(back->payload).quality->success_score),
              c.bits);
    EXPECT_EQ(back->compute_hash(), r->compute_hash());
  }
}

// ---- reading failures -------------------------------------------------------

struct ReadCase {
  std::string name;
  std::string input;
  std::string message;
};

class JsonAdapterReadFailures : public ::testing::TestWithParam<ReadCase> {};

TEST_P(JsonAdapterReadFailures, ExactText) {
  EXPECT_EQ(read_error(GetParam().input), GetParam().message);
}

std::string failed(std::string_view detail) {
  return "JSON deserialization failed: " + std::string(detail);
}

INSTANTIATE_TEST_SUITE_P(
    Envelope, JsonAdapterReadFailures,
    ::testing::Values(
        ReadCase{"root_array", "[]", failed("invalid type: expected object, expected an object")},
        ReadCase{"root_string", R"("x")",
                 failed("invalid type: expected object, expected an object")},
        ReadCase{"empty_object", "{}", failed("missing field `kind`")},
        ReadCase{"kind_not_string", R"({"kind":5})", failed("missing field `kind`")},
        ReadCase{"kind_capitalised", R"({"kind":"Execution"})",
                 failed("invalid value: string \"Execution\", expected one of: data_shape, "
                        "method_shape, reasoning_shape, execution, spend, settlement")},
        ReadCase{"kind_escaped", R"({"kind":"a\"b\\c\n\u0001"})",
                 failed("invalid value: string \"a\\\"b\\\\c\\n\\u{1}\", expected one of: "
                        "data_shape, method_shape, reasoning_shape, execution, spend, "
                        "settlement")},
        ReadCase{"payload_missing", R"({"kind":"spend"})", failed("missing field `payload`")},
        ReadCase{"payload_before_rid", R"({"kind":"data_shape","payload":{}})",
                 failed("Failed to deserialize DataShapePayload: missing field `schema_hash` at "
                        "line 1 column 2")},
        ReadCase{"rid_missing", R"({"kind":"data_shape","payload":{"schema_hash":"x"}})",
                 failed("missing field `rid`")},
        ReadCase{"rid_number", R"({"rid":17,"kind":"data_shape","payload":{"schema_hash":"x"}})",
                 failed("missing field `rid`")},
        ReadCase{"rid_not_uuid",
                 R"({"rid":"xyz","kind":"data_shape","payload":{"schema_hash":"x"}})",
                 failed("Invalid UUID in rid: invalid length: expected length 32 for simple "
                        "format, found 3")},
        ReadCase{
            "version_missing",
            R"({"rid":"6f1c1d9e3a534d6b9b0e2f1b7a6c5d40","kind":"data_shape","payload":{"schema_hash":"x"}})",
            failed("missing field `version`")},
        ReadCase{
            "dom_not_string",
            R"({"rid":"6f1c1d9e3a534d6b9b0e2f1b7a6c5d40","version":"v","dom":null,"kind":"data_shape","payload":{"schema_hash":"x"}})",
            failed("missing field `dom`")},
        ReadCase{
            "cod_missing",
            R"({"rid":"6f1c1d9e3a534d6b9b0e2f1b7a6c5d40","version":"v","dom":"d","kind":"data_shape","payload":{"schema_hash":"x"}})",
            failed("missing field `cod`")},
        ReadCase{
            "ctx_missing",
            R"({"rid":"6f1c1d9e3a534d6b9b0e2f1b7a6c5d40","version":"v","dom":"d","cod":"c","kind":"data_shape","payload":{"schema_hash":"x"}})",
            failed("missing field `ctx`")},
        ReadCase{
            "hash_missing",
            R"({"rid":"6f1c1d9e3a534d6b9b0e2f1b7a6c5d40","version":"v","dom":"d","cod":"c","ctx":{"timestamp":"t"},"kind":"data_shape","payload":{"schema_hash":"x"}})",
            failed("missing field `hash`")},
        ReadCase{
            "hash_number",
            R"({"rid":"6f1c1d9e3a534d6b9b0e2f1b7a6c5d40","version":"v","dom":"d","cod":"c","ctx":{"timestamp":"t"},"kind":"data_shape","payload":{"schema_hash":"x"},"hash":7})",
            failed("missing field `hash`")},
        ReadCase{"syntax_error", "{\"kind\":\n  \"spend\",,}",
                 failed("key must be a string at line 2 column 11")},
        // The document is converted before the text after it is looked at.
        ReadCase{"empty_object_then_text", "{} x", failed("missing field `kind`")},
        ReadCase{"array_then_text", "[]]",
                 failed("invalid type: expected object, expected an object")},
        ReadCase{"bad_payload_then_text", R"({"kind":"data_shape","payload":{}} {})",
                 failed("Failed to deserialize DataShapePayload: missing field `schema_hash` at "
                        "line 1 column 2")},
        ReadCase{"syntax_error_in_document_then_text", R"({"kind":"spend",} x)",
                 failed("trailing comma at line 1 column 17")},
        ReadCase{"trailing_document", doc("data_shape", R"({"schema_hash":"x"})") + " {}",
                 failed("trailing characters at line 1 column " +
                        std::to_string(doc("data_shape", R"({"schema_hash":"x"})").size() + 2))},
        ReadCase{
            "nesting_128",
            doc("settlement", R"({"wur_refs":[],"net_positions":{},"rules_ref":"r","cash_instr":)" +
                                  std::string(126, '[') + std::string(126, ']') + "}"),
            failed("recursion limit exceeded at line 1 column " +
                   std::to_string(doc("settlement", "").find("\"payload\":") + 10 + 63 + 126))}),
    [](const auto& param_info) { return param_info.param.name; });

// A payload or context failure: `compact` is the compact sorted text of the
// subtree (what the position counts in), `input` what the document holds.
struct SubtreeCase {
  std::string name;
  std::string kind;
  std::string input;
  std::string compact;
  std::string description;
  // Where the column points in `compact`: just after `marker`, or at the
  // first character of `marker` when `at_start`.
  std::string marker;
  bool at_start = false;
};

class JsonAdapterSubtreeFailures : public ::testing::TestWithParam<SubtreeCase> {};

std::string record_name(std::string_view kind) {
  if (kind == "data_shape") return "DataShapePayload";
  if (kind == "method_shape") return "MethodShapePayload";
  if (kind == "reasoning_shape") return "ReasoningShapePayload";
  if (kind == "execution") return "ExecutionPayload";
  if (kind == "spend") return "SpendPayload";
  if (kind == "settlement") return "SettlementPayload";
  return "Context";
}

TEST_P(JsonAdapterSubtreeFailures, ExactTextAndColumnInCompactText) {
  const auto& c = GetParam();
  // The compact form given is what the writer makes of the input subtree.
  auto parsed = parse_json(c.input);
  ASSERT_TRUE(parsed.has_value());
  ASSERT_EQ(to_json_text(*parsed), c.compact);
  size_t at = c.compact.rfind(c.marker);
  ASSERT_NE(at, std::string::npos) << c.marker;
  size_t column = c.at_start ? at + 1 : at + c.marker.size() + 1;
  bool is_ctx = c.kind == "ctx";
  std::string text =
      is_ctx ? doc("data_shape", R"({"schema_hash":"x"})", c.input) : doc(c.kind, c.input);
  EXPECT_EQ(read_error(text),
            failed("Failed to deserialize " + record_name(c.kind) + ": " + c.description +
                   " at line 1 column " + std::to_string(column)));
}

const std::string kPayloadA32 = std::string(43, 'A');
// A field failure is met before the missing-field check, so one key suffices.
std::string exec_with(std::string_view field) {
  return "{" + std::string(field) + "}";
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, JsonAdapterSubtreeFailures,
    ::testing::Values(
        SubtreeCase{"string_field_number", "data_shape", R"({"schema_hash":5})",
                    R"({"schema_hash":5})", "invalid type: integer `5`, expected a string", "5"},
        SubtreeCase{"missing_required", "data_shape", R"({"sketch_hash":null})",
                    R"({"sketch_hash":null})", "missing field `schema_hash`", "}", true},
        SubtreeCase{"not_a_record", "data_shape", R"("x")", R"("x")",
                    "invalid type: string \"x\", expected struct DataShapePayload", "\"x\""},
        SubtreeCase{"record_null", "spend", "null", "null",
                    "invalid type: null, expected struct SpendPayload", "null"},
        SubtreeCase{"array_too_long", "data_shape", R"(["h", null, 3])", R"(["h",null,3])",
                    "trailing characters", "3]", true},
        SubtreeCase{"array_too_short", "data_shape", R"(["h"])", R"(["h"])",
                    "invalid length 1, expected struct DataShapePayload with 2 elements", "]",
                    true},
        SubtreeCase{"array_empty", "method_shape", "[]", "[]",
                    "invalid length 0, expected struct MethodShapePayload with 4 elements", "]",
                    true},
        SubtreeCase{"position_in_sorted_compact_text", "data_shape",
                    "{ \"z\" : [ 1 , 2 ],\n \"schema_hash\" : true }",
                    R"({"schema_hash":true,"z":[1,2]})",
                    "invalid type: boolean `true`, expected a string", "true"},
        SubtreeCase{
            "nested_missing_field", "method_shape",
            R"({"nodes":[{"id":"n","span_shape_hash":"s"},{"id":"m"}],"root_multiset":"r"})",
            R"({"nodes":[{"id":"n","span_shape_hash":"s"},{"id":"m"}],"root_multiset":"r"})",
            "missing field `span_shape_hash`", "}]", true},
        SubtreeCase{"sequence_expected", "method_shape",
                    R"({"edges":{},"nodes":[],"root_multiset":"r"})",
                    R"({"edges":{},"nodes":[],"root_multiset":"r"})",
                    "invalid type: map, expected a sequence", "{}"},
        SubtreeCase{
            "float32_field_string", "reasoning_shape",
            R"({"dag_hash":"d","intent_hash":"i","node_refs":[],"quality":{"confidence":"high"}})",
            R"({"dag_hash":"d","intent_hash":"i","node_refs":[],"quality":{"confidence":"high"}})",
            "invalid type: string \"high\", expected f32", "\"high\""},
        SubtreeCase{"pac_padding", "execution", exec_with(R"("pac":")" + kPayloadA32 + "=\""),
                    exec_with(R"("pac":")" + kPayloadA32 + "=\""),
                    "Invalid base64url string: Invalid padding", kPayloadA32 + "=\""},
        SubtreeCase{
            "pac_symbol", "execution", exec_with(R"("pac":"!)" + kPayloadA32.substr(1) + "\""),
            exec_with(R"("pac":"!)" + kPayloadA32.substr(1) + "\""),
            "Invalid base64url string: Invalid symbol 33, offset 0.", kPayloadA32.substr(1) + "\""},
        SubtreeCase{
            "pac_length", "execution", exec_with(R"("pac":")" + std::string(41, 'A') + "\""),
            exec_with(R"("pac":")" + std::string(41, 'A') + "\""),
            "Invalid base64url string: Invalid input length: 41", std::string(41, 'A') + "\""},
        SubtreeCase{"pac_last_symbol", "execution",
                    exec_with(R"("pac":")" + std::string(42, 'A') + "B\""),
                    exec_with(R"("pac":")" + std::string(42, 'A') + "B\""),
                    "Invalid base64url string: Invalid last symbol 66, offset 42.", "AB\""},
        SubtreeCase{"pac_31_bytes", "execution",
                    exec_with(R"("pac":")" + std::string(42, 'A') + "\""),
                    exec_with(R"("pac":")" + std::string(42, 'A') + "\""),
                    "Expected 32 bytes, got 31 bytes", std::string(42, 'A') + "\""},
        SubtreeCase{"pac_array_short", "execution", exec_with(R"("pac":)" + ints(0, 31)),
                    exec_with(R"("pac":)" + ints(0, 31)),
                    "Array too short, expected 32 bytes, got 31", "29,30]"},
        SubtreeCase{"pac_array_long", "execution", exec_with(R"("pac":)" + ints(0, 34)),
                    exec_with(R"("pac":)" + ints(0, 34)), "Array too long, expected 32 bytes",
                    "31,32"},
        SubtreeCase{"pac_array_bad_byte", "execution", exec_with(R"("pac":[0,1,256,3])"),
                    exec_with(R"("pac":[0,1,256,3])"), "invalid value: integer `256`, expected u8",
                    "256"},
        SubtreeCase{"pac_wrong_type", "execution", exec_with(R"("pac":5)"), exec_with(R"("pac":5)"),
                    "invalid type: integer `5`, expected a base64url string or array of 32 "
                    "numbers",
                    "\"pac\":5"},
        SubtreeCase{"prev_rid_text", "execution", exec_with(R"("prev_execution_rid":"nope")"),
                    exec_with(R"("prev_execution_rid":"nope")"),
                    "UUID parsing failed: invalid length: expected length 32 for simple format, "
                    "found 4",
                    "\"nope\""},
        SubtreeCase{"prev_rid_number", "execution", exec_with(R"("prev_execution_rid":5)"),
                    exec_with(R"("prev_execution_rid":5)"),
                    "invalid type: integer `5`, expected a UUID string", ":5"},
        SubtreeCase{"u64_negative", "execution", exec_with(R"("hll_cardinality":-1)"),
                    exec_with(R"("hll_cardinality":-1)"),
                    "invalid value: integer `-1`, expected u64", "-1"},
        SubtreeCase{"u64_float_written_form", "execution", exec_with(R"("hll_cardinality":1e2)"),
                    exec_with(R"("hll_cardinality":100.0)"),
                    "invalid type: floating point `100.0`, expected u64", "100.0"},
        SubtreeCase{"u64_escaped_string", "execution",
                    exec_with(R"("output_size_bytes":"a\"b\\c\n")"),
                    exec_with(R"("output_size_bytes":"a\"b\\c\n")"),
                    "invalid type: string \"a\\\"b\\\\c\\n\", expected u64", "\\n\""},
        SubtreeCase{
            "i64_too_large", "execution",
            exec_with(
                R"("cdf_metadata":[{"change_type":"c","commit_timestamp":"t","commit_version":9223372036854775808}])"),
            exec_with(
                R"("cdf_metadata":[{"change_type":"c","commit_timestamp":"t","commit_version":9223372036854775808}])"),
            "invalid value: integer `9223372036854775808`, expected i64", "9223372036854775808"},
        SubtreeCase{"u8_negative", "execution", exec_with(R"("minhash_signature":[1,-1])"),
                    exec_with(R"("minhash_signature":[1,-1])"),
                    "invalid value: integer `-1`, expected u8", "-1"},
        SubtreeCase{"u8_float", "execution", exec_with(R"("minhash_signature":[1.5])"),
                    exec_with(R"("minhash_signature":[1.5])"),
                    "invalid type: floating point `1.5`, expected u8", "1.5"},
        SubtreeCase{
            "nested_record_missing", "execution",
            R"({"data_shape_hash":"d","method_ref":{"method_id":"m","method_shape_root":"r"}})",
            R"({"data_shape_hash":"d","method_ref":{"method_id":"m","method_shape_root":"r"}})",
            "missing field `version`", "}}", true},
        SubtreeCase{"execution_missing_first_required", "execution", "{}", "{}",
                    "missing field `trace_id`", "}", true},
        SubtreeCase{"execution_array_six", "execution",
                    R"(["t",["m","v","r"],"d",["s"],["t","i",null],null])",
                    R"(["t",["m","v","r"],"d",["s"],["t","i",null],null])",
                    "invalid length 7, expected struct ExecutionPayload with 20 elements", "]",
                    true},
        SubtreeCase{
            "execution_array_short_tail", "execution",
            // 11 elements: the 32-byte field at index 10 takes the absent value.
            R"(["t",["m","v","r"],"d",["s"],["t","i",null],null,null,"e",null,7,")" + kPac + "\"]",
            R"(["t",["m","v","r"],"d",["s"],["t","i",null],null,null,"e",null,7,")" + kPac + "\"]",
            "invalid length 11, expected struct ExecutionPayload with 20 elements", "]", true},
        SubtreeCase{
            "spend_total_null", "spend", "{" + kSpendVectors + R"(,"total_value":null})",
            R"({"currency":"EUR","meter":{"vcpu_sec":1},"pointers":{"trace_id":"t"},"total_value":null,"unit_prices":{"vcpu_sec":2}})",
            "invalid type: null, expected f64", "null"},
        SubtreeCase{
            "spend_total_missing", "spend", "{" + kSpendVectors + "}",
            R"({"currency":"EUR","meter":{"vcpu_sec":1},"pointers":{"trace_id":"t"},"unit_prices":{"vcpu_sec":2}})",
            "missing field `total_value`", "}", true},
        SubtreeCase{"map_expected", "settlement",
                    R"({"net_positions":[],"rules_ref":"r","wur_refs":[]})",
                    R"({"net_positions":[],"rules_ref":"r","wur_refs":[]})",
                    "invalid type: sequence, expected a map", "\"net_positions\":[]"},
        SubtreeCase{"map_value", "settlement",
                    R"({"net_positions":{"a":1,"b":"x"},"rules_ref":"r","wur_refs":[]})",
                    R"({"net_positions":{"a":1,"b":"x"},"rules_ref":"r","wur_refs":[]})",
                    "invalid type: string \"x\", expected f64", "\"x\""},
        SubtreeCase{"ctx_timestamp_number", "ctx", R"({"timestamp":5})", R"({"timestamp":5})",
                    "invalid type: integer `5`, expected a string", "5"},
        SubtreeCase{"ctx_empty", "ctx", "{}", "{}", "missing field `timestamp`", "}", true},
        SubtreeCase{"ctx_determinism_unknown", "ctx", R"({"timestamp":"t","determinism":"fast"})",
                    R"({"determinism":"fast","timestamp":"t"})",
                    "unknown variant `fast`, expected `strict`, `bounded`, `observational`",
                    "\"fast\""},
        SubtreeCase{"ctx_determinism_number", "ctx", R"({"timestamp":"t","determinism":1})",
                    R"({"determinism":1,"timestamp":"t"})",
                    "invalid type: integer `1`, expected enum Determinism", "1"},
        SubtreeCase{"ctx_array_short", "ctx", R"(["p","t"])", R"(["p","t"])",
                    "invalid length 2, expected struct Context with 5 elements", "]", true},
        SubtreeCase{"ctx_not_record", "ctx", "true", "true",
                    "invalid type: boolean `true`, expected struct Context", "true"}),
    [](const auto& param_info) { return param_info.param.name; });

// ---- generic values -------------------------------------------------------

GenericValue map_with_key(GenericValue key) {
  return GenericValue(CborMap{{CborMapEntry{std::move(key), GenericValue(1.0)}}});
}

struct GenericCase {
  std::string name;
  GenericValue value;
  std::string text;  // or the error text
  bool fails = false;
};

class GenericJson : public ::testing::TestWithParam<GenericCase> {};

TEST_P(GenericJson, WrittenForm) {
  std::string out;
  auto r = append_generic_json(out, GetParam().value);
  if (GetParam().fails) {
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error(), GetParam().text);
  } else {
    ASSERT_TRUE(r.has_value()) << r.error();
    EXPECT_EQ(out, GetParam().text);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Rules, GenericJson,
    ::testing::Values(
        GenericCase{"integers",
                    GenericValue(CborArray{
                        {GenericValue::integer(-5),
                         GenericValue::unsigned_integer(std::numeric_limits<uint64_t>::max()),
                         GenericValue(CborInteger{true, std::numeric_limits<uint64_t>::max()})}}),
                    "[-5,18446744073709551615,-18446744073709551616]"},
        GenericCase{"bytes_and_tag",
                    GenericValue(CborTag{42, GenericValue(CborBytes{{0, 7, 255}})}),
                    R"({"@@TAGGED@@":[42,[0,7,255]]})"},
        GenericCase{"scalars",
                    GenericValue(CborArray{{GenericValue("t\"x"), GenericValue(true),
                                            GenericValue(nullptr), GenericValue(0.5)}}),
                    R"(["t\"x",true,null,0.5])"},
        GenericCase{
            "keys_in_held_order",
            GenericValue(CborMap{{CborMapEntry{GenericValue("z"), GenericValue(1.0)},
                                  CborMapEntry{GenericValue::integer(-3), GenericValue(2.0)},
                                  CborMapEntry{GenericValue(false), GenericValue(3.0)},
                                  CborMapEntry{GenericValue(1.5), GenericValue(4.0)},
                                  CborMapEntry{GenericValue(0.1), GenericValue(5.0)}}}),
            R"({"z":1.0,"-3":2.0,"false":3.0,"1.5":4.0,"0.1":5.0})"},
        GenericCase{"nan_key", map_with_key(GenericValue(std::nan(""))),
                    "float key must be finite (got NaN or +/-inf)", true},
        GenericCase{"infinite_key",
                    map_with_key(GenericValue(-std::numeric_limits<double>::infinity())),
                    "float key must be finite (got NaN or +/-inf)", true},
        GenericCase{"bytes_key", map_with_key(GenericValue(CborBytes{{1}})), "key must be a string",
                    true},
        GenericCase{"null_key", map_with_key(GenericValue(nullptr)), "key must be a string", true},
        GenericCase{"array_key_nested",
                    GenericValue(CborArray{{map_with_key(GenericValue(CborArray{}))}}),
                    "key must be a string", true}),
    [](const auto& param_info) { return param_info.param.name; });

std::string generic_float(double v) {
  std::string out;
  append_generic_float(out, v);
  return out;
}

// A float is written in the 32-bit layout only when that text names the same
// double; otherwise its 64-bit text.
TEST(GenericJsonFloat, Float32FormOnlyWhenItReadsBackTheSame) {
  EXPECT_EQ(generic_float(0.5), "0.5");
  EXPECT_EQ(generic_float(1.5), "1.5");
  EXPECT_EQ(generic_float(1e-6), "1e-6");
  EXPECT_EQ(generic_float(16777216.0), "16777216.0");
  EXPECT_EQ(generic_float(-0.0), "-0.0");
  EXPECT_EQ(generic_float(0.1), "0.1");
  // Exactly float32 values whose short float32 text names another double.
  EXPECT_EQ(generic_float(static_cast<double>(0.1f)), "0.10000000149011612");
  EXPECT_EQ(generic_float(static_cast<double>(1e-6f)), "9.999999974752427e-7");
  EXPECT_EQ(generic_float(1099511627776.0), "1099511627776.0");  // 2^40
  EXPECT_EQ(generic_float(std::ldexp(1.0, 100)), "1.2676506002282294e30");
  EXPECT_EQ(generic_float(1e300), "1e300");
  EXPECT_EQ(generic_float(std::nan("")), "null");
  EXPECT_EQ(generic_float(std::numeric_limits<double>::infinity()), "null");
}

TEST(GenericJsonFloat, EveryFiniteDoubleReadsBackToItsBits) {
  std::mt19937_64 rng(11);
  for (int i = 0; i < 20000; ++i) {
    double d;
    if (i % 2 == 0) {
      d = std::bit_cast<double>(rng());
    } else {
      // Doubles that a float32 holds exactly take the other branch of the rule.
      d = static_cast<double>(std::bit_cast<float>(static_cast<uint32_t>(rng())));
    }
    if (!std::isfinite(d)) continue;
    auto back = parse_json(generic_float(d));
    ASSERT_TRUE(back.has_value() && back->is_f64()) << generic_float(d);
    ASSERT_EQ(std::bit_cast<uint64_t>(back->as_f64()), std::bit_cast<uint64_t>(d))
        << generic_float(d);
  }
}

TEST(GenericJsonFloat, ReceiptHashSurvivesAJsonRoundTrip) {
  auto r = receipt_from_json(
      doc("settlement", R"({"wur_refs":["w"],"net_positions":{},"rules_ref":"r"})"));
  ASSERT_TRUE(r.has_value());
  for (double d : {static_cast<double>(0.1f), 0.5, 1099511627776.0, static_cast<double>(1e-6f)}) {
    r->attest = GenericValue(CborMap{{CborMapEntry{GenericValue("v"), GenericValue(d)}}});
    std::get<SettlementPayload>(r->payload).cash_instr = GenericValue(CborArray{{GenericValue(d)}});
    auto before = r->compute_hash();
    ASSERT_TRUE(before.has_value());
    auto text = receipt_to_json(*r);
    ASSERT_TRUE(text.has_value());
    auto back = receipt_from_json(*text);
    ASSERT_TRUE(back.has_value()) << back.error().display();
    EXPECT_EQ(back->attest, r->attest) << d;
    EXPECT_EQ(back->compute_hash(), before) << d;
  }
}

TEST(JsonAdapterWrite, GenericKeyFailureIsASerializationError) {
  auto r = receipt_from_json(doc("data_shape", R"({"schema_hash":"x"})"));
  ASSERT_TRUE(r.has_value());
  r->attest = map_with_key(GenericValue(CborBytes{}));
  auto text = receipt_to_json(*r);
  ASSERT_FALSE(text.has_value());
  EXPECT_EQ(text.error().kind, AdapterError::Kind::JsonSerialization);
  EXPECT_EQ(text.error().display(), "JSON serialization failed: key must be a string");
  r->attest.reset();
  std::get<DataShapePayload>(r->payload).sketch_hash = "s";
  r->sig = Signature{"a", "k", "s"};
  EXPECT_TRUE(receipt_to_json(*r).has_value());
}

TEST(JsonAdapterRead, AttestReadAsGenericValue) {
  auto r = receipt_from_json(doc("data_shape", R"({"schema_hash":"x"})", kMinCtx,
                                 R"("attest":{"b":[1,-2,2.5,"s",false,null],"a":{}},)"));
  ASSERT_TRUE(r.has_value());
  GenericValue expected(CborMap{
      {CborMapEntry{GenericValue("a"), GenericValue(CborMap{})},
       CborMapEntry{GenericValue("b"),
                    GenericValue(CborArray{{GenericValue::integer(1), GenericValue::integer(-2),
                                            GenericValue(2.5), GenericValue("s"),
                                            GenericValue(false), GenericValue(nullptr)}})}}});
  EXPECT_EQ(r->attest, expected);
  auto null_attest = receipt_from_json(doc("data_shape", R"({"schema_hash":"x"})"));
  ASSERT_TRUE(null_attest.has_value());
  EXPECT_EQ(null_attest->attest, std::nullopt);
}

// ---- robustness -------------------------------------------------------------

// Mutated and truncated receipts never crash the reader; whatever it accepts
// writes a text that reads back to the same receipt, and the reading that
// takes strings out of the tree agrees with the copying one.
TEST(JsonAdapterRobustness, MutatedAndTruncatedReceipts) {
  auto vectors = load_vectors();
  ASSERT_FALSE(vectors.empty());
  std::mt19937 rng(2024);
  const std::string inserts[] = {"{",     "}",    "[",       "]",     ",",  ":",
                                 "\"",    "\\",   "null",    "1e999", "-0", "0.5",
                                 "\"x\"", "\xff", "\\u0000", " ",     "[]", "{}"};
  size_t accepted = 0;
  for (int round = 0; round < 6000; ++round) {
    std::string text = vectors[round % vectors.size()].sealed_json;
    int edits = 1 + static_cast<int>(rng() % 3);
    for (int e = 0; e < edits && !text.empty(); ++e) {
      size_t pos = rng() % text.size();
      switch (rng() % 5) {
        case 0:
          text.resize(pos);
          break;
        case 1:
          text.erase(pos, 1 + rng() % 8);
          break;
        case 2:
          text[pos] = static_cast<char>(rng());
          break;
        case 3:
          text.insert(pos, inserts[rng() % std::size(inserts)]);
          break;
        default: {
          // Swap a value for another kind of value after a colon.
          size_t colon = text.find(':', pos);
          if (colon != std::string::npos)
            text.insert(colon + 1, inserts[rng() % std::size(inserts)]);
        }
      }
    }
    auto r = receipt_from_json(text);
    auto tree = parse_json(text);
    if (!r) {
      EXPECT_EQ(r.error().display().rfind("JSON deserialization failed: ", 0), 0u);
      if (tree) {
        EXPECT_EQ(deserialize_from_json_value(*tree).error(), r.error().detail);
      }
      continue;
    }
    ++accepted;
    ASSERT_TRUE(tree.has_value());
    auto copied = deserialize_from_json_value(*tree);
    ASSERT_TRUE(copied.has_value());
    EXPECT_EQ(*copied, *r);
    auto written_text = receipt_to_json(*r);
    ASSERT_TRUE(written_text.has_value());
    auto back = receipt_from_json(*written_text);
    ASSERT_TRUE(back.has_value()) << *written_text;
    EXPECT_EQ(receipt_to_json(*back), written_text);
  }
  EXPECT_GT(accepted, 100u);  // the mutations also reach the success path
}

}  // namespace
}  // namespace quillmere
