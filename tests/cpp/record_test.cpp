// Work recording: known answers with a fixed identifier and clock, the parent
// forms, the commitments' properties, and identifiers under concurrent calls.
#include "engine/record.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "codec/commitments.h"
#include "codec/jcs_text.h"
#include "codec/json_reader.h"
#include "codec/uuid.h"
#include "receipts/canonical.h"
#include "receipts/json_adapter.h"
#include "test_support.h"

namespace quillmere {
namespace {

using test::to_hex;

struct FixedSources {
  Uuid bytes{};
  int64_t clock_ns = 0;

  detail::RecordSources sources() {
    return {[](void* c) { return static_cast<FixedSources*>(c)->bytes; },
            [](void* c) { return static_cast<FixedSources*>(c)->clock_ns; }, this};
  }
};

constexpr int64_t kNoonNs = 1'700'000'000'000'000'000;
const Uuid kRid = *parse_uuid("6f1c1d9e-3a53-4d6b-9b0e-2f1b7a6c5d40");

Receipt record_fixed(std::string_view workload, JsonValue payload,
                     std::optional<std::string> trace = std::nullopt,
                     std::optional<std::string> parent = std::nullopt,
                     std::vector<std::string> tags = {}, int64_t clock_ns = kNoonNs) {
  FixedSources fixed{kRid, clock_ns};
  auto r = detail::record_work_with(fixed.sources(), workload, std::move(payload), std::move(tags),
                                    std::move(trace), std::move(parent));
  EXPECT_TRUE(r.has_value());
  return r.value_or(Receipt{});
}

const ExecutionPayload& exec_of(const Receipt& r) {
  return std::get<ExecutionPayload>(r.payload);
}

JsonValue parse(std::string_view text) {
  auto v = parse_json(text);
  EXPECT_TRUE(v.has_value()) << text;
  // Not value_or: g++ 12 with the sanitizers warns about its moved-from temporary.
  if (!v) return JsonValue{};
  return std::move(*v);
}

// ---- Known answers ----

struct Vector {
  std::string workload_id, payload_json;
  std::optional<std::string> trace_id, parent_id;
  int64_t clock_ns;
  std::string rid, timestamp, receipt_json, canonical_body_hex, hash;
};

std::optional<std::string> optional_string(const JsonValue& v) {
  if (v.is_null()) return std::nullopt;
  return v.as_string();
}

std::vector<Vector> load_vectors() {
  std::ifstream in(std::string(QM_VECTORS_DIR) + "/record_work.json");
  std::stringstream ss;
  ss << in.rdbuf();
  std::vector<Vector> out;
  auto doc = parse_json(ss.str());
  if (!doc) return out;
  for (const JsonValue& item : doc->as_array()) {
    const JsonObject& o = item.as_object();
    auto s = [&](const char* key) { return o.find(key)->as_string(); };
    out.push_back({s("workload_id"), s("payload_json"), optional_string(*o.find("trace_id")),
                   optional_string(*o.find("parent_id")),
                   static_cast<int64_t>(o.find("clock_unix_ns")->as_u64()), s("rid"),
                   s("timestamp"), s("receipt_json"), s("canonical_body_hex"), s("hash")});
  }
  return out;
}

class RecordVectors : public ::testing::TestWithParam<Vector> {};

TEST_P(RecordVectors, FixedIdentifierAndClockGiveTheKnownReceipt) {
  const Vector& v = GetParam();
  FixedSources fixed{*parse_uuid(v.rid), v.clock_ns};
  auto r = detail::record_work_with(fixed.sources(), v.workload_id, parse(v.payload_json), {"tag"},
                                    v.trace_id, v.parent_id);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->ctx.timestamp, v.timestamp);
  auto body = canonical_body(*r);
  ASSERT_TRUE(body.has_value());
  EXPECT_EQ(to_hex(*body), v.canonical_body_hex);
  EXPECT_EQ(r->hash, v.hash);
  auto json = receipt_to_json(*r);
  ASSERT_TRUE(json.has_value());
  EXPECT_EQ(*json, v.receipt_json);
}

TEST_P(RecordVectors, CanonicalTextEntryGivesTheSameReceipt) {
  const Vector& v = GetParam();
  std::string text;
  ASSERT_TRUE(append_jcs_of_text(text, v.payload_json).has_value());
  FixedSources fixed{*parse_uuid(v.rid), v.clock_ns};
  auto r =
      detail::record_work_jcs_with(fixed.sources(), v.workload_id, text, v.trace_id, v.parent_id);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->hash, v.hash);
  auto json = receipt_to_json(*r);
  ASSERT_TRUE(json.has_value());
  EXPECT_EQ(*json, v.receipt_json);
}

INSTANTIATE_TEST_SUITE_P(KnownAnswers, RecordVectors, ::testing::ValuesIn(load_vectors()));

// The method commitment is remembered per thread for the last workload; switching back
// and forth, and ids that extend one another, must never return a stale commitment.
TEST(RecordWork, MethodCommitmentFollowsEveryWorkloadSwitch) {
  const std::vector<std::string> ids = {"a", "ab", "a", "", "ab", "ab", std::string(300, 'w'), "a"};
  for (const std::string& id : ids) {
    const Receipt r = record_fixed(id, JsonValue(1));
    EXPECT_EQ(exec_of(r).method_ref.method_shape_root, sha256_prefixed("workload:" + id)) << id;
    EXPECT_EQ(exec_of(r).method_ref.method_id, id);
  }
}

TEST(RecordVectorsFile, HasEveryCase) {
  EXPECT_EQ(load_vectors().size(), 4u);
}

// ---- Identifier bits ----

TEST(RecordWork, SetsVersionFourAndVariantBitsOverTheRandomBytes) {
  for (uint8_t fill : {uint8_t{0x00}, uint8_t{0xFF}, uint8_t{0x5A}}) {
    FixedSources fixed;
    fixed.bytes.fill(fill);
    auto r = detail::record_work_with(fixed.sources(), "w", JsonValue(1), {}, {}, {});
    ASSERT_TRUE(r.has_value());
    Uuid expected;
    expected.fill(fill);
    expected[6] = static_cast<uint8_t>((fill & 0x0F) | 0x40);
    expected[8] = static_cast<uint8_t>((fill & 0x3F) | 0x80);
    EXPECT_EQ(r->rid, expected);
  }
}

// ---- Parent ----

struct ParentCase {
  const char* text;
  bool links;
};

class ParentForms : public ::testing::TestWithParam<ParentCase> {};

TEST_P(ParentForms, LinkOnlyForTheFourUuidForms) {
  const Receipt r = record_fixed("w", JsonValue(1), std::nullopt, GetParam().text);
  const Uuid parent = *parse_uuid("0b6f2a8e-1c3d-4e5f-8a9b-0c1d2e3f4a5b");
  if (GetParam().links) {
    EXPECT_EQ(r.links, std::vector<Uuid>{parent});
    EXPECT_EQ(exec_of(r).prev_execution_rid, parent);
  } else {
    EXPECT_TRUE(r.links.empty());
    EXPECT_FALSE(exec_of(r).prev_execution_rid.has_value());
  }
  EXPECT_EQ(r.hash, compute_hash(r).value_or(""));
}

INSTANTIATE_TEST_SUITE_P(
    Parents, ParentForms,
    ::testing::Values(ParentCase{"0b6f2a8e-1c3d-4e5f-8a9b-0c1d2e3f4a5b", true},
                      ParentCase{"0B6F2A8E-1C3D-4E5F-8A9B-0C1D2E3F4A5B", true},
                      ParentCase{"0b6f2a8e1c3d4e5f8a9b0c1d2e3f4a5b", true},
                      ParentCase{"{0b6f2a8e-1c3d-4e5f-8a9b-0c1d2e3f4a5b}", true},
                      ParentCase{"urn:uuid:0b6f2a8e-1c3d-4e5f-8A9B-0c1d2e3f4a5b", true},
                      ParentCase{"not-a-uuid", false}, ParentCase{"", false},
                      ParentCase{"0b6f2a8e-1c3d-4e5f-8a9b-0c1d2e3f4a5", false},
                      ParentCase{" 0b6f2a8e-1c3d-4e5f-8a9b-0c1d2e3f4a5b", false},
                      ParentCase{"{0b6f2a8e-1c3d-4e5f-8a9b-0c1d2e3f4a5b", false},
                      ParentCase{"urn:uuid:{0b6f2a8e-1c3d-4e5f-8a9b-0c1d2e3f4a5b}", false},
                      ParentCase{"0b6f2a8e-1c3d-4e5f-8a9b-0c1d2e3f4g5b", false}));

TEST(RecordWork, NoParentMeansNoLink) {
  const Receipt r = record_fixed("w", JsonValue(1));
  EXPECT_TRUE(r.links.empty());
  EXPECT_FALSE(exec_of(r).prev_execution_rid.has_value());
}

// ---- Commitments ----

TEST(RecordWork, CommitmentsFollowPayloadAndWorkload) {
  const Receipt r = record_fixed("normalize-prices", parse(R"({"input":"data"})"));
  const ExecutionPayload& e = exec_of(r);
  const std::string p = sha256_prefixed(std::string_view(R"({"input":"data"})"));
  const std::string root = sha256_prefixed(p);
  EXPECT_EQ(r.dom, p);
  EXPECT_EQ(e.data_shape_hash, p);
  EXPECT_EQ(e.span_commitments, std::vector<std::string>{p});
  EXPECT_EQ(r.cod, root);
  EXPECT_EQ(e.roots.trace_set_root, root);
  EXPECT_EQ(e.roots.trace_seq_root, root);
  EXPECT_EQ(e.roots.identity_root, sha256_prefixed(std::string_view("\0", 1)));
  EXPECT_EQ(e.method_ref.method_id, "normalize-prices");
  EXPECT_EQ(e.method_ref.version, "0.1.0");
  EXPECT_EQ(e.method_ref.method_shape_root,
            sha256_prefixed(std::string_view("workload:normalize-prices")));
  EXPECT_EQ(r.version, "0.1.0");
  EXPECT_EQ(r.kind(), ReceiptKind::Execution);
  EXPECT_EQ(r.ctx.determinism, Determinism::Observational);
  EXPECT_FALSE(r.ctx.policy_ref || r.ctx.nonce || r.ctx.identity_ref || r.attest || r.sig);
  EXPECT_FALSE(e.cdf_metadata || e.pac || e.change_epoch || e.hll_cardinality ||
               e.output_locator_ref || e.input_locator_refs || e.merkle_root);
  EXPECT_TRUE(validate_hash_format(r.dom));
  EXPECT_TRUE(validate_hash_format(r.cod));
  EXPECT_EQ(r.hash, compute_hash(r).value_or(""));
}

TEST(RecordWork, PayloadKeyOrderDoesNotMatterButNumberFormDoes) {
  EXPECT_EQ(record_fixed("w", parse(R"({"b":1,"a":2})")).dom,
            record_fixed("w", parse(R"({"a":2,"b":1})")).dom);
  EXPECT_NE(record_fixed("w", JsonValue(1)).dom, record_fixed("w", JsonValue(1.0)).dom);
  EXPECT_EQ(record_fixed("w", JsonValue(1.0)).dom, sha256_prefixed(std::string_view("1.0")));
}

TEST(RecordWork, TraceIdDefaultsAndIsOtherwiseVerbatim) {
  const std::string def = exec_of(record_fixed("w", JsonValue(1))).trace_id;
  EXPECT_EQ(def, "trace:00000000-0000-0000-0000-000000000001");
  EXPECT_EQ(def.size(), 42u);
  EXPECT_EQ(exec_of(record_fixed("w", JsonValue(1), "")).trace_id, "");
  EXPECT_EQ(exec_of(record_fixed("w", JsonValue(1), " T é ")).trace_id, " T é ");
}

TEST(RecordWork, TagsNeverReachTheReceipt) {
  EXPECT_EQ(record_fixed("w", JsonValue(1), {}, {}, {}),
            record_fixed("w", JsonValue(1), {}, {}, {"etl", "nightly"}));
}

TEST(RecordWork, EveryBodyInputChangesTheHash) {
  const std::string base = record_fixed("w", JsonValue(1)).hash;
  EXPECT_NE(record_fixed("v", JsonValue(1)).hash, base);
  EXPECT_NE(record_fixed("w", JsonValue(2)).hash, base);
  EXPECT_NE(record_fixed("w", JsonValue(1), "t").hash, base);
  EXPECT_NE(record_fixed("w", JsonValue(1), {}, "0b6f2a8e1c3d4e5f8a9b0c1d2e3f4a5b").hash, base);
  EXPECT_NE(record_fixed("w", JsonValue(1), {}, {}, {}, kNoonNs + 1).hash, base);
}

// ---- Live sources ----

TEST(RecordWork, TwoCallsDifferOnlyInIdentifierTimeAndHash) {
  auto a = record_work("w", parse(R"({"k":[1,2]})"), {}, "t", {});
  auto b = record_work("w", parse(R"({"k":[1,2]})"), {}, "t", {});
  ASSERT_TRUE(a && b);
  EXPECT_NE(a->rid, b->rid);
  EXPECT_NE(a->hash, b->hash);
  EXPECT_EQ(a->dom, b->dom);
  EXPECT_EQ(a->cod, b->cod);
  EXPECT_EQ(exec_of(*a), exec_of(*b));
  EXPECT_EQ(a->hash, compute_hash(*a).value_or(""));
  // Stamped from the real clock in the recording form.
  EXPECT_EQ(a->ctx.timestamp.substr(a->ctx.timestamp.size() - 6), "+00:00");
  EXPECT_EQ(a->ctx.timestamp[10], 'T');
}

TEST(RecordWork, ConcurrentCallsGiveDistinctVersionFourIdentifiers) {
  constexpr int kThreads = 8;
  constexpr int kPerThread = 250;
  std::vector<std::vector<Uuid>> rids(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kPerThread; ++i) {
        auto r = record_work("w", JsonValue(int64_t{i}), {}, {}, {});
        if (r) rids[t].push_back(r->rid);
      }
    });
  }
  for (auto& th : threads) th.join();
  std::set<Uuid> all;
  for (const auto& list : rids) {
    ASSERT_EQ(list.size(), static_cast<size_t>(kPerThread));
    for (const Uuid& id : list) {
      EXPECT_EQ(id[6] >> 4, 4);
      EXPECT_EQ(id[8] & 0xC0, 0x80);
      all.insert(id);
    }
  }
  EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kPerThread));
}

}  // namespace
}  // namespace quillmere
