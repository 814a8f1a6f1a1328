// The canonical receipt body and hash: the execution layout byte by byte, known
// answers built by hand, key orders, what does and does not enter the hash, the
// nesting boundary and the hash string form.
#include "receipts/canonical.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <span>
#include <sstream>

#include "codec/json_reader.h"
#include "codec/uuid.h"
#include "receipts/json_adapter.h"
#include "receipts/receipt.h"
#include "test_support.h"

namespace quillmere {
namespace {

using test::read_file;
using test::to_hex;

// ---------------------------------------------------------------- helpers

// Expected bytes spelled the way the layout is described: heads in hex, texts
// as their UTF-8 bytes.
struct Bytes {
  std::vector<uint8_t> b;
  Bytes& hex(std::string_view h) {
    std::string digits;
    for (char c : h) {
      if (c != ' ') digits.push_back(c);
    }
    for (size_t i = 0; i + 1 < digits.size(); i += 2) {
      b.push_back(static_cast<uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    }
    return *this;
  }
  Bytes& str(std::string_view s) {
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
  Bytes& raw(std::span<const uint8_t> s) {
    b.insert(b.end(), s.begin(), s.end());
    return *this;
  }
};

const JsonValue& vectors(const char* file) {
  static std::map<std::string, JsonValue> cache;
  auto it = cache.find(file);
  if (it == cache.end()) {
    auto parsed = parse_json(read_file(std::string(QM_VECTORS_DIR) + "/" + file));
    EXPECT_TRUE(parsed.has_value()) << file;
    it = cache.emplace(file, parsed ? std::move(*parsed) : JsonValue{}).first;
  }
  return it->second;
}

const JsonObject& receipt_vector(std::string_view name) {
  for (const auto& v : vectors("receipts.json").as_array()) {
    if (v.as_object().find("name")->as_string() == name) return v.as_object();
  }
  ADD_FAILURE() << "no vector " << name;
  static const JsonObject kEmpty;
  return kEmpty;
}

std::string field(const JsonObject& o, std::string_view key) {
  const JsonValue* v = o.find(key);
  return v != nullptr && v->is_string() ? v->as_string() : std::string();
}

std::string repeat_hash(char c) {
  return "sha256:" + std::string(64, c);
}

Uuid uuid(std::string_view text) {
  auto u = parse_uuid(text);
  EXPECT_TRUE(u.has_value()) << text;
  return u.value_or(Uuid{});
}

std::vector<uint8_t> body(const Receipt& r) {
  auto b = canonical_body(r);
  EXPECT_TRUE(b.has_value()) << (b ? "" : b.error().detail);
  return b.value_or(std::vector<uint8_t>{});
}

std::string hash_of(const Receipt& r) {
  auto h = compute_hash(r);
  EXPECT_TRUE(h.has_value()) << (h ? "" : h.error().detail);
  return h.value_or("");
}

const Uuid kRid = uuid("6f1c1d9e-3a53-4d6b-9b0e-2f1b7a6c5d40");
const Uuid kParent = uuid("0b6f2a8e-1c3d-4e5f-8a9b-0c1d2e3f4a5b");

// An execution receipt shaped like a recorded one.
Receipt recorded_like(std::optional<Uuid> parent, std::string timestamp) {
  Receipt r;
  r.rid = kRid;
  r.version = "0.1.0";
  r.dom = repeat_hash('1');
  r.cod = repeat_hash('2');
  if (parent) r.links.push_back(*parent);
  r.ctx.timestamp = std::move(timestamp);
  r.ctx.determinism = Determinism::Observational;
  ExecutionPayload p;
  p.trace_id = "trace:00000000-0000-0000-0000-000000000001";
  p.method_ref = {"normalize-prices", "0.1.0", repeat_hash('3')};
  p.data_shape_hash = repeat_hash('1');
  p.span_commitments = {repeat_hash('1')};
  p.roots = {repeat_hash('2'), repeat_hash('4'), repeat_hash('2')};
  p.prev_execution_rid = parent;
  r.payload = std::move(p);
  r.hash = "";
  return r;
}

Bytes hash_text(char c) {
  Bytes b;
  b.hex("78 47").str(repeat_hash(c));
  return b;
}

std::vector<uint8_t> recorded_layout(std::optional<Uuid> parent, std::string_view ts_head,
                                     std::string_view timestamp) {
  Bytes b;
  b.hex("A9");
  b.hex("66").str("attest").hex("F6");
  b.hex("63").str("cod").raw(hash_text('2').b);
  b.hex("63").str("ctx").hex("A5");
  b.hex("6B").str("determinism").hex("6D").str("observational");
  b.hex("6C").str("identity_ref").hex("F6");
  b.hex("65").str("nonce").hex("F6");
  b.hex("6A").str("policy_ref").hex("F6");
  b.hex("69").str("timestamp").hex(ts_head).str(timestamp);
  b.hex("63").str("dom").raw(hash_text('1').b);
  b.hex("64").str("kind").hex("69").str("execution");
  b.hex("65").str("links");
  if (parent) {
    b.hex("81 50").raw(*parent);
  } else {
    b.hex("80");
  }
  b.hex("67").str("payload").hex(parent ? "A7" : "A6");
  b.hex("6C").str("cdf_metadata").hex("F6");
  b.hex("6F").str("data_shape_hash").raw(hash_text('1').b);
  b.hex("6A").str("method_ref").hex("A3");
  b.hex("69").str("method_id").hex("70").str("normalize-prices");
  b.hex("71").str("method_shape_root").raw(hash_text('3').b);
  b.hex("67").str("version").hex("65").str("0.1.0");
  if (parent) b.hex("72").str("prev_execution_rid").hex("50").raw(*parent);
  b.hex("65").str("roots").hex("A3");
  b.hex("6D").str("identity_root").raw(hash_text('4').b);
  b.hex("6E").str("trace_seq_root").raw(hash_text('2').b);
  b.hex("6E").str("trace_set_root").raw(hash_text('2').b);
  b.hex("70").str("span_commitments").hex("81").raw(hash_text('1').b);
  b.hex("68").str("trace_id").hex("78 2A").str("trace:00000000-0000-0000-0000-000000000001");
  b.hex("63").str("rid").hex("50").raw(kRid);
  b.hex("67").str("version").hex("65").str("0.1.0");
  return b.b;
}

// ---------------------------------------------------------------- layout

struct LayoutCase {
  const char* name;
  bool with_parent;
  const char* timestamp;
  const char* ts_head;
};

class RecordedLayout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(RecordedLayout, BodyMatchesLayoutByteForByte) {
  const LayoutCase& c = GetParam();
  std::optional<Uuid> parent;
  if (c.with_parent) parent = kParent;
  Receipt r = recorded_like(parent, c.timestamp);
  EXPECT_EQ(to_hex(body(r)), to_hex(recorded_layout(parent, c.ts_head, c.timestamp)));
}

INSTANTIATE_TEST_SUITE_P(
    Execution, RecordedLayout,
    ::testing::Values(LayoutCase{"NoParent", false, "2025-01-02T03:04:05+00:00", "78 19"},
                      LayoutCase{"WithParent", true, "2025-01-02T03:04:05+00:00", "78 19"},
                      LayoutCase{"NanosecondFraction", false, "2025-01-02T03:04:05.123456789+00:00",
                                 "78 23"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(CanonicalBody, RecordedVectorBuiltByHand) {
  const JsonObject& v = vectors("record_work.json").as_array().at(0).as_object();
  auto doc = parse_json(field(v, "receipt_json"));
  ASSERT_TRUE(doc.has_value());
  const JsonObject& j = doc->as_object();
  const JsonObject& pj = j.find("payload")->as_object();
  const JsonObject& mr = pj.find("method_ref")->as_object();
  const JsonObject& roots = pj.find("roots")->as_object();

  Receipt r;
  r.rid = uuid(field(v, "rid"));
  r.version = "0.1.0";
  r.dom = field(j, "dom");
  r.cod = field(j, "cod");
  r.ctx.timestamp = field(v, "timestamp");
  r.ctx.determinism = Determinism::Observational;
  ExecutionPayload p;
  p.trace_id = field(pj, "trace_id");
  p.method_ref = {field(mr, "method_id"), field(mr, "version"), field(mr, "method_shape_root")};
  p.data_shape_hash = field(pj, "data_shape_hash");
  p.span_commitments = {pj.find("span_commitments")->as_array().at(0).as_string()};
  p.roots = {field(roots, "trace_set_root"), field(roots, "identity_root"),
             field(roots, "trace_seq_root")};
  r.payload = std::move(p);

  EXPECT_EQ(to_hex(body(r)), field(v, "canonical_body_hex"));
  EXPECT_EQ(hash_of(r), field(v, "hash"));
}

// ---------------------------------------------------------------- known answers

Receipt envelope(Payload payload) {
  Receipt r;
  r.rid = kRid;
  r.version = "0.1.0";
  r.dom = repeat_hash('a');
  r.cod = repeat_hash('b');
  r.ctx.timestamp = "2025-01-02T03:04:05Z";
  r.payload = std::move(payload);
  r.hash = repeat_hash('0');
  return r;
}

GenericValue map_of(std::vector<std::pair<GenericValue, GenericValue>> entries) {
  CborMap m;
  for (auto& [k, v] : entries) m.entries.push_back({std::move(k), std::move(v)});
  return m;
}

GenericValue array_of(std::vector<GenericValue> items) {
  return CborArray{std::move(items)};
}

Bytes32 bytes32(uint8_t start, uint8_t step) {
  Bytes32 b{};
  for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>(start + step * i);
  return b;
}

// The receipts of the known-answer file, rebuilt field by field from their input.
Receipt built(std::string_view name) {
  if (name == "data_shape_min") return envelope(DataShapePayload{repeat_hash('4'), std::nullopt});
  if (name == "data_shape_full") {
    Receipt r = envelope(DataShapePayload{repeat_hash('4'), repeat_hash('5')});
    r.links = {kParent, kRid};
    r.ctx = {"pol:team/default@1.0.0", "2025-01-02T03:04:05.123+00:00", "n-1", Determinism::Bounded,
             "did:key:z6Mk-abc.1"};
    r.sig = Signature{"ed25519", "k", "s"};
    return r;
  }
  if (name == "method_shape") {
    return envelope(MethodShapePayload{{{"n1", repeat_hash('6')}},
                                       std::vector<Edge>{{"n1", "n1"}},
                                       repeat_hash('7'),
                                       std::nullopt});
  }
  if (name == "reasoning_shape") {
    return envelope(
        ReasoningShapePayload{repeat_hash('8'),
                              repeat_hash('9'),
                              {{"r", "op", std::nullopt}},
                              "p",
                              ReasoningQuality{0.1F, std::nullopt, repeat_hash('a'), 0.5F}});
  }
  if (name == "execution_min" || name == "execution_full") {
    ExecutionPayload p;
    p.trace_id = "t";
    p.method_ref = {"m", "0.1.0", repeat_hash('c')};
    p.data_shape_hash = repeat_hash('d');
    p.span_commitments = {repeat_hash('e')};
    p.roots = {repeat_hash('f'), repeat_hash('1'), std::nullopt};
    if (name == "execution_min") return envelope(std::move(p));
    p.cdf_metadata = std::vector<CdfMetadata>{{-1, "insert", "x"}};
    p.pac = bytes32(0, 1);
    p.change_epoch = "e1";
    p.minhash_signature = ByteSeq{1, 2, 255};
    p.hll_cardinality = UINT64_MAX;
    p.chunk_manifest_hash = Bytes32{};
    p.chunk_manifest_size_bytes = 0;
    Bytes32 merkle = bytes32(255, 0);
    merkle[31] = 0xFC;  // the base64url text ends in "w"
    p.merkle_root = merkle;
    p.prev_execution_rid = kParent;
    p.output_digest = "od";
    p.manifest_root = bytes32(255, 0);
    p.output_mime_type = "application/json";
    p.output_size_bytes = 7;
    p.input_locator_refs = std::vector<EncryptedLocatorRef>{{{0, 9}, repeat_hash('2'), "x"}};
    p.output_locator_ref = EncryptedLocatorRef{{}, repeat_hash('3'), "y"};
    Receipt r = envelope(std::move(p));
    r.links = {kParent};
    r.ctx = {"pol:team/default@1.0.0", "2025-01-02T03:04:05.123+00:00", "n-1", Determinism::Bounded,
             "did:key:z6Mk-abc.1"};
    return r;
  }
  if (name == "spend") {
    SpendPayload s;
    s.meter = {2.0, std::nullopt, 1.5, 10.0, std::nullopt};
    s.unit_prices = {0.5, 3.0, 0.25, 0.001, 0.2};
    s.currency = "EUR";
    s.total_value = 1.385;
    s.pointers = {"t", std::vector<std::string>{"s1", "s2"}};
    s.justification = ReuseJustification{0.3, 0.5, 10.0, 100.0, "reuse", "data", std::nullopt};
    return envelope(std::move(s));
  }
  if (name == "settlement") {
    SettlementPayload s;
    s.wur_refs = {"w1"};
    s.net_positions = {{"b", 1.0}, {"a", -2.5}};
    s.rules_ref = "r";
    s.cash_instr = map_of({{"z", array_of({GenericValue::integer(1), 2.5, "x", true, nullptr})},
                           {"a", map_of({{"k", 1e21}})}});
    return envelope(std::move(s));
  }
  // attest_generic: a map whose keys arrive out of order at two depths.
  Receipt r = envelope(DataShapePayload{repeat_hash('4'), std::nullopt});
  r.attest = map_of(
      {{"b",
        array_of({GenericValue::integer(1), GenericValue::integer(-1), 1.5, 0.1, 100000.0, "t",
                  false, nullptr,
                  map_of({{"y", GenericValue::integer(2)}, {"x", GenericValue::integer(1)}})})},
       {"a", GenericValue::unsigned_integer(UINT64_MAX)},
       {"n", GenericValue::integer(INT64_MIN)}});
  return r;
}

class KnownAnswer : public ::testing::TestWithParam<const char*> {};

TEST_P(KnownAnswer, BodyAndHashMatch) {
  const JsonObject& v = receipt_vector(GetParam());
  Receipt r = built(GetParam());
  EXPECT_EQ(to_hex(body(r)), field(v, "canonical_body_hex"));
  EXPECT_EQ(hash_of(r), field(v, "hash"));
}

INSTANTIATE_TEST_SUITE_P(Receipts, KnownAnswer,
                         ::testing::Values("data_shape_min", "data_shape_full", "method_shape",
                                           "reasoning_shape", "execution_min", "execution_full",
                                           "spend", "settlement", "attest_generic"));

// Every vector read through the JSON form, which also covers readings such as
// upper-case and braced identifiers.
TEST(CanonicalBody, VectorsReadFromJson) {
  const JsonArray& all = vectors("receipts.json").as_array();
  ASSERT_FALSE(all.empty());
  for (const JsonValue& v : all) {
    const JsonObject& o = v.as_object();
    auto r = receipt_from_json(field(o, "input_json"));
    ASSERT_TRUE(r.has_value()) << field(o, "name") << ": " << r.error().display();
    EXPECT_EQ(to_hex(body(*r)), field(o, "canonical_body_hex")) << field(o, "name");
    EXPECT_EQ(hash_of(*r), field(o, "hash")) << field(o, "name");
  }
}

// ---------------------------------------------------------------- key order

TEST(CanonicalBody, TopLevelAndContextKeysInByteOrder) {
  Receipt r = built("data_shape_full");
  std::vector<uint8_t> b = body(r);
  std::string s(b.begin(), b.end());
  ASSERT_EQ(b.at(0), 0xA9);
  std::vector<std::string> order = {"attest", "cod",     "ctx", "dom",    "kind",
                                    "links",  "payload", "rid", "version"};
  std::vector<std::string> ctx = {"determinism", "identity_ref", "nonce", "policy_ref",
                                  "timestamp"};
  size_t at = 0;
  for (const auto& k : order) {
    size_t pos = s.find(k, at);
    ASSERT_NE(pos, std::string::npos) << k;
    at = pos + k.size();
    if (k == "ctx") {
      for (const auto& c : ctx) {
        size_t cpos = s.find(c, at);
        ASSERT_NE(cpos, std::string::npos) << c;
        at = cpos + c.size();
      }
    }
  }
  EXPECT_EQ(s.find("\x63sig"), std::string::npos);
  EXPECT_EQ(s.find("\x64hash"), std::string::npos);
}

// ---------------------------------------------------------------- what is hashed

TEST(ComputeHash, SignatureAndStoredHashDoNotEnter) {
  Receipt base = built("execution_min");
  std::string h = hash_of(base);
  Receipt signed_r = base;
  signed_r.sig = Signature{"ed25519", "key-1", "c2lnbmF0dXJl"};
  Receipt altered = signed_r;
  altered.sig->sig = "other";
  Receipt rehashed = base;
  rehashed.hash = h;
  Receipt empty_hash = base;
  empty_hash.hash.clear();
  for (const Receipt* r : {&signed_r, &altered, &rehashed, &empty_hash}) {
    EXPECT_EQ(hash_of(*r), h);
  }
}

TEST(ComputeHash, EveryBodyChangeChangesTheHash) {
  Receipt base = built("execution_full");
  std::string h = hash_of(base);
  std::vector<std::pair<const char*, void (*)(Receipt&)>> changes = {
      {"dom", [](Receipt& r) { r.dom.back() = '0'; }},
      {"version", [](Receipt& r) { r.version = "0.1.1"; }},
      {"links reordered", [](Receipt& r) { r.links.push_back(kRid); }},
      {"nonce", [](Receipt& r) { r.ctx.nonce = "n-2"; }},
      {"determinism", [](Receipt& r) { r.ctx.determinism = Determinism::Strict; }},
      {"rid", [](Receipt& r) { r.rid[15] ^= 1; }},
      {"cdf version",
       [](Receipt& r) {
         std::get<ExecutionPayload>(r.payload).cdf_metadata->at(0).commit_version = 1;
       }},
      {"pac", [](Receipt& r) { std::get<ExecutionPayload>(r.payload).pac.reset(); }},
      {"encrypted byte",
       [](Receipt& r) {
         std::get<ExecutionPayload>(r.payload).output_locator_ref->encrypted_data.push_back(0);
       }},
      {"attest", [](Receipt& r) { r.attest = GenericValue::integer(0); }},
  };
  for (const auto& [name, change] : changes) {
    Receipt r = base;
    change(r);
    EXPECT_NE(hash_of(r), h) << name;
  }
}

TEST(ComputeHash, OrderOfSequencesMatters) {
  Receipt a = built("data_shape_full");
  Receipt b = a;
  std::swap(b.links[0], b.links[1]);
  EXPECT_NE(hash_of(a), hash_of(b));

  SpendPayload s = std::get<SpendPayload>(built("spend").payload);
  Receipt c = envelope(s);
  std::swap(s.pointers.span_ids->at(0), s.pointers.span_ids->at(1));
  EXPECT_NE(hash_of(c), hash_of(envelope(s)));
}

TEST(ComputeHash, AbsentDiffersFromEmptyText) {
  Receipt absent = built("data_shape_min");
  Receipt empty = absent;
  empty.ctx.nonce = "";
  Receipt empty_sketch = absent;
  std::get<DataShapePayload>(empty_sketch.payload).sketch_hash = "";
  EXPECT_NE(hash_of(absent), hash_of(empty));
  EXPECT_NE(hash_of(absent), hash_of(empty_sketch));
}

TEST(ComputeHash, GenericMapInsertionOrderDoesNotMatter) {
  Receipt a = built("data_shape_min");
  Receipt b = a;
  a.attest =
      map_of({{"k", GenericValue::integer(1)},
              {"a", map_of({{"y", "1"}, {"x", array_of({map_of({{"q", 1.0}, {"p", 2.0}})})}})}});
  b.attest =
      map_of({{"a", map_of({{"x", array_of({map_of({{"p", 2.0}, {"q", 1.0}})})}, {"y", "1"}})},
              {"k", GenericValue::integer(1)}});
  EXPECT_EQ(hash_of(a), hash_of(b));
}

TEST(ComputeHash, TagContentKeepsItsOrder) {
  auto tagged = [](GenericValue inner) { return GenericValue(CborTag{40, std::move(inner)}); };
  Receipt a = built("data_shape_min");
  Receipt b = a;
  a.attest = tagged(map_of({{"b", GenericValue::integer(1)}, {"a", GenericValue::integer(2)}}));
  b.attest = tagged(map_of({{"a", GenericValue::integer(2)}, {"b", GenericValue::integer(1)}}));
  EXPECT_NE(hash_of(a), hash_of(b));
  std::vector<uint8_t> ba = body(a);
  // attest is the first entry: D8 28 (tag 40), then the map exactly as held.
  Bytes expected;
  expected.hex("A9 66").str("attest").hex("D8 28 A2 61 62 01 61 61 02");
  EXPECT_TRUE(std::equal(expected.b.begin(), expected.b.end(), ba.begin()));
}

// ---------------------------------------------------------------- nesting boundary

// Containers wrapped around one integer, cycling array, map and tag; built by
// moving so that each level is not copied again.
GenericValue nested(size_t levels) {
  GenericValue v = GenericValue::integer(7);
  for (size_t i = 0; i < levels; ++i) {
    switch (i % 3) {
      case 0: {
        CborArray a;
        a.items.push_back(std::move(v));
        v = std::move(a);
        break;
      }
      case 1: {
        CborMap m;
        m.entries.push_back({GenericValue("k"), std::move(v)});
        v = std::move(m);
        break;
      }
      default:
        v = CborTag{1, std::move(v)};
        break;
    }
  }
  return v;
}

struct NestingCase {
  const char* name;
  bool in_settlement;  // cash_instr sits one map deeper than attest
  size_t levels;       // containers in the generic value itself
  bool hashes;
};

class Nesting : public ::testing::TestWithParam<NestingCase> {};

TEST_P(Nesting, At256LevelsCountingTheTopMap) {
  const NestingCase& c = GetParam();
  Receipt r;
  if (c.in_settlement) {
    r = built("settlement");
    std::get<SettlementPayload>(r.payload).cash_instr = nested(c.levels);
  } else {
    r = built("data_shape_min");
    r.attest = nested(c.levels);
  }
  auto h = r.compute_hash();
  if (c.hashes) {
    EXPECT_TRUE(h.has_value());
  } else {
    ASSERT_FALSE(h.has_value());
    EXPECT_EQ(h.error().kind, ValidationError::Kind::Serialization);
    EXPECT_TRUE(h.error().display().starts_with("Serialization error: serde to Value failed: "))
        << h.error().display();
    EXPECT_EQ(compute_hash(r).error().kind, CanonicalError::Kind::Conversion);
  }
}

INSTANTIATE_TEST_SUITE_P(Generic, Nesting,
                         ::testing::Values(NestingCase{"AttestAt256", false, 255, true},
                                           NestingCase{"AttestAt257", false, 256, false},
                                           NestingCase{"AttestFarTooDeep", false, 3000, false},
                                           NestingCase{"CashInstrAt256", true, 254, true},
                                           NestingCase{"CashInstrAt257", true, 255, false}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(ComputeHash, DeepMapKeyCountsTowardsTheLimit) {
  Receipt r = built("data_shape_min");
  // The key of the attest map nests 255 levels, so the deepest container is at 257.
  r.attest = map_of({{nested(255), GenericValue::integer(1)}});
  EXPECT_FALSE(compute_hash(r).has_value());
  r.attest = map_of({{nested(254), GenericValue::integer(1)}});
  EXPECT_TRUE(compute_hash(r).has_value());
}

// ---------------------------------------------------------------- ill-formed text

TEST(ComputeHash, TextThatIsNotUtf8IsAConversionFailure) {
  std::vector<std::pair<const char*, void (*)(Receipt&)>> cases = {
      {"dom", [](Receipt& r) { r.dom = "sha256:\xC3"; }},
      {"generic key", [](Receipt& r) { r.attest = map_of({{"\xFF", nullptr}}); }},
      {"signature", [](Receipt& r) { r.sig = Signature{"a", "\xED\xA0\x80", "s"}; }},
  };
  for (const auto& [name, change] : cases) {
    Receipt r = built("data_shape_min");
    change(r);
    auto h = r.compute_hash();
    ASSERT_FALSE(h.has_value()) << name;
    EXPECT_TRUE(h.error().display().starts_with("Serialization error: serde to Value failed: "));
  }
  Receipt ok = built("data_shape_min");
  ok.dom = "sha256:\xC3\xA9\xF0\x9F\x98\x80";
  EXPECT_TRUE(compute_hash(ok).has_value());
}

// ---------------------------------------------------------------- hash string form

TEST(ComputeHash, ResultIsAHashString) {
  std::string h = hash_of(built("spend"));
  EXPECT_TRUE(validate_hash_format(h)) << h;
  EXPECT_EQ(hash_of(built("spend")), h);
}

struct FormatCase {
  std::string text;
  bool valid;
};

class HashFormat : public ::testing::TestWithParam<FormatCase> {};

TEST_P(HashFormat, Accepts71CharactersOfLowercaseHexOnly) {
  EXPECT_EQ(validate_hash_format(GetParam().text), GetParam().valid) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Strings, HashFormat,
    ::testing::Values(
        FormatCase{"sha256:" + std::string(64, '0'), true},
        FormatCase{"sha256:0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef", true},
        FormatCase{"sha256:" + std::string(63, 'a'), false},
        FormatCase{"sha256:" + std::string(65, 'a'), false},
        FormatCase{"sha256:" + std::string(63, 'a') + "A", false},
        FormatCase{"SHA256:" + std::string(64, 'a'), false},
        FormatCase{"sha256" + std::string(65, 'a'), false},
        FormatCase{"sha256:" + std::string(63, 'a') + "g", false},
        FormatCase{"sha256:" + std::string(62, 'a') + "\xC3\xA9", false}, FormatCase{"", false}));

}  // namespace
}  // namespace quillmere
