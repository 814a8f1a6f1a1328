// The one-pass receipt reader against the general reading (tree, then
// records): every written receipt is taken and read the same; each form it
// declines is still read right through receipt_from_json; reading into a
// reused receipt leaves nothing of the previous one; and under mutation it
// never accepts what the general reading would read differently or refuse.
#include "receipts/receipt_reader.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>

#include "codec/json_reader.h"
#include "receipts/json_adapter.h"
#include "receipts/receipt_deser.h"
#include "test_support.h"

namespace quillmere {
namespace {

using test::read_file;

// Every text form of every known receipt vector.
std::vector<std::pair<std::string, std::string>> vector_texts() {
  std::vector<std::pair<std::string, std::string>> out;
  auto doc = parse_json(read_file(QM_VECTORS_DIR "/receipts.json"));
  if (!doc) return out;
  for (const auto& item : doc->as_array()) {
    const auto& o = item.as_object();
    const std::string name = o.find("name")->as_string();
    for (const char* field : {"input_json", "to_json", "sealed_json"}) {
      out.emplace_back(name + "/" + field, o.find(field)->as_string());
    }
  }
  return out;
}

std::expected<Receipt, std::string> general_reading(std::string_view text) {
  auto tree = parse_json(text);
  if (!tree) return std::unexpected(tree.error().display());
  return deserialize_from_json_value(*tree);
}

std::string vector_text(std::string_view name) {
  for (const auto& [key, text] : vector_texts()) {
    if (key == std::string(name) + "/sealed_json") return text;
  }
  ADD_FAILURE() << "no vector " << name;
  return {};
}

void replace_once(std::string& text, std::string_view from, std::string_view to) {
  const size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << from;
  text.replace(at, from.size(), to);
}

TEST(ReceiptReaderVectors, EveryWrittenFormIsTakenAndReadAsTheGeneralReadingDoes) {
  auto texts = vector_texts();
  ASSERT_GE(texts.size(), 27u);
  size_t taken = 0;
  for (const auto& [name, text] : texts) {
    auto general = general_reading(text);
    ASSERT_TRUE(general.has_value()) << name;
    auto direct = read_receipt_direct(text);
    // Only a non-null generic value sends a written receipt the general way.
    if (!direct) {
      EXPECT_TRUE(general->attest.has_value() ||
                  (general->kind() == ReceiptKind::Settlement &&
                   std::get<SettlementPayload>(general->payload).cash_instr.has_value()))
          << name;
      continue;
    }
    ++taken;
    EXPECT_EQ(*direct, *general) << name;
  }
  EXPECT_GE(taken, 21u);
}

// ---- forms read in one pass ---------------------------------------------------

struct Variant {
  std::string name;
  std::string from;
  std::string to;
};

class ReceiptReaderTakes : public ::testing::TestWithParam<Variant> {};

TEST_P(ReceiptReaderTakes, SameReceiptAsTheGeneralReading) {
  std::string text = vector_text("execution_full");
  replace_once(text, GetParam().from, GetParam().to);
  auto general = general_reading(text);
  ASSERT_TRUE(general.has_value()) << general.error();
  auto direct = read_receipt_direct(text);
  ASSERT_TRUE(direct.has_value()) << text;
  EXPECT_EQ(*direct, *general);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ReceiptReaderTakes,
    ::testing::Values(
        Variant{"whitespace_everywhere", R"({"rid":"6f1c)", " \n\t{ \r\n\"rid\" \t:\n \"6f1c"},
        Variant{"whitespace_in_records", R"({"method_id":"m",)", "{ \"method_id\" : \"m\" ,\n"},
        Variant{"whitespace_at_end", R"(0aa0"})", "0aa0\" } \n\t "},
        Variant{"escapes_in_values", R"("output_digest":"od")",
                R"("output_digest":"o\"d\\\/\b\f\n\r\t\u00e9\ud83d\ude00")"},
        Variant{"escaped_key", R"("output_digest":)", R"("output\u005fdigest":)"},
        Variant{"non_ascii_text", R"("change_epoch":"e1")",
                "\"change_epoch\":\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\""},
        Variant{"record_keys_reordered", R"({"method_id":"m","version":"0.1.0",)",
                R"({"version":"0.1.0","method_id":"m",)"},
        Variant{"envelope_keys_reordered",
                R"("rid":"6f1c1d9e-3a53-4d6b-9b0e-2f1b7a6c5d40","version":"0.1.0",)",
                R"("version":"0.1.0","rid":"6f1c1d9e-3a53-4d6b-9b0e-2f1b7a6c5d40",)"},
        Variant{"optional_fields_left_out", R"("output_digest":"od",)", ""},
        Variant{"largest_i64", R"("commit_version":-1)",
                R"("commit_version":-9223372036854775808)"},
        Variant{"positive_i64", R"("commit_version":-1)",
                R"("commit_version":9223372036854775807)"},
        Variant{
            "bytes32_as_array", R"("pac":"AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8")",
            R"("pac":[0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,27,28,29,30,31])"},
        Variant{"uuid_in_other_forms",
                R"("prev_execution_rid":"0b6f2a8e-1c3d-4e5f-8a9b-0c1d2e3f4a5b")",
                R"("prev_execution_rid":"urn:uuid:0B6F2A8E-1C3D-4E5F-8A9B-0C1D2E3F4A5B")"},
        Variant{"link_that_is_no_uuid_left_out", R"("links":["0b6f)", R"("links":["nope","0b6f)"},
        Variant{"signature", R"("sig":null)", R"("sig":{"kid":"k","sig":"s","alg":"ed25519"})"},
        Variant{"attest_left_out", R"("attest":null,)", ""}),
    [](const auto& param_info) { return param_info.param.name; });

TEST(ReceiptReaderTakes, FloatFieldsTakeEveryNumberForm) {
  std::string text = vector_text("spend");
  auto general = general_reading(text);
  ASSERT_TRUE(general.has_value());
  for (const char* number : {"0", "-0", "7", "-3", "1.5", "-2.5e-3", "1E+2", "18446744073709551616",
                             "1e-400", "3.4028235677973366e38", "1e300"}) {
    std::string variant = text;
    const size_t at = variant.find("\"total_value\":");
    ASSERT_NE(at, std::string::npos);
    const size_t start = at + 14;
    const size_t end = variant.find_first_of(",}", start);
    variant.replace(start, end - start, number);
    auto expected = general_reading(variant);
    ASSERT_TRUE(expected.has_value()) << number;
    auto direct = read_receipt_direct(variant);
    ASSERT_TRUE(direct.has_value()) << number;
    EXPECT_EQ(*direct, *expected) << number;
  }
}

// ---- forms left to the general reading ----------------------------------------

struct Declined {
  std::string name;
  std::string from;
  std::string to;
  std::string error;  // when given, the exact failure text
};

class ReceiptReaderDeclines : public ::testing::TestWithParam<Declined> {};

TEST_P(ReceiptReaderDeclines, AndReceiptFromJsonStillReadsItTheGeneralWay) {
  std::string text = vector_text("execution_full");
  replace_once(text, GetParam().from, GetParam().to);
  EXPECT_FALSE(read_receipt_direct(text).has_value());
  auto general = general_reading(text);
  auto read = receipt_from_json(text);
  ASSERT_EQ(read.has_value(), general.has_value());
  if (read) {
    EXPECT_EQ(*read, *general);
  } else {
    EXPECT_EQ(read.error().detail, general.error());
  }
  if (!GetParam().error.empty()) {
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(read.error().display(), "JSON deserialization failed: " + GetParam().error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ReceiptReaderDeclines,
    ::testing::Values(
        Declined{"repeated_key_last_wins", R"("output_digest":"od")",
                 R"("output_digest":"first","output_digest":"od")", ""},
        Declined{"repeated_envelope_key", R"("version":"0.1.0")",
                 R"("version":"x","version":"0.1.0")", ""},
        Declined{"unknown_key", R"("trace_id":"t",)", R"("trace_id":"t","zzz":[{"a":1}],)", ""},
        Declined{"unknown_envelope_key", R"("attest":null,)", R"("attest":null,"extra":1,)", ""},
        Declined{
            "record_as_array",
            R"("roots":{"trace_set_root":"sha256:ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff","identity_root":"sha256:1111111111111111111111111111111111111111111111111111111111111111","trace_seq_root":null})",
            R"("roots":["a","b",null])", ""},
        Declined{"attest_generic", R"("attest":null)", R"("attest":{"k":[1,2.5,"s"]})", ""},
        Declined{"links_not_an_array", R"("links":["0b6f2a8e-1c3d-4e5f-8a9b-0c1d2e3f4a5b"])",
                 R"("links":7)", ""},
        Declined{"sig_incomplete", R"("sig":null)", R"("sig":{"alg":"a"})", ""},
        Declined{"payload_before_kind", R"("kind":"execution",)", "", "missing field `kind`"},
        Declined{"unknown_kind", R"("kind":"execution")", R"("kind":"exec")",
                 "invalid value: string \"exec\", expected one of: data_shape, method_shape, "
                 "reasoning_shape, execution, spend, settlement"},
        Declined{
            "required_null",
            R"("data_shape_hash":"sha256:dddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddddd")",
            R"("data_shape_hash":null)", ""},
        Declined{"u64_negative", R"("output_size_bytes":7)", R"("output_size_bytes":-7)", ""},
        Declined{"u64_too_large", R"("output_size_bytes":7)",
                 R"("output_size_bytes":18446744073709551616)", ""},
        Declined{"u8_too_large", R"("minhash_signature":[1,2,255])",
                 R"("minhash_signature":[1,2,256])", ""},
        Declined{"bytes32_short", R"("pac":"AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8")",
                 R"("pac":"AAEC")", ""},
        Declined{"bad_uuid", R"("prev_execution_rid":"0b6f)", R"("prev_execution_rid":"xb6f)", ""},
        Declined{"bad_determinism", R"("determinism":"bounded")", R"("determinism":"loose")", ""},
        Declined{"trailing_text", R"(0aa0"})", R"(0aa0"}x)", ""},
        Declined{"trailing_comma", R"("attest":null,)", R"("attest":null,,)", ""},
        Declined{"control_character", R"("output_digest":"od")", "\"output_digest\":\"o\x01\"", ""},
        Declined{"invalid_utf8", R"("output_digest":"od")", "\"output_digest\":\"o\xc0\xaf\"", ""},
        Declined{"number_out_of_range", R"("hll_cardinality":18446744073709551615)",
                 R"("hll_cardinality":1e999)", "number out of range at line 1 column 1231"}),
    [](const auto& param_info) { return param_info.param.name; });

// ---- reading into a reused receipt ----------------------------------------------

// Reading in turn into one receipt gives what fresh readings give: fields the
// earlier receipt had and the later one leaves out are absent, kinds change,
// and vectors shrink.
TEST(ReceiptReaderReuse, NothingOfTheEarlierReceiptRemains) {
  std::string with_sig = vector_text("execution_full");
  replace_once(with_sig, R"("sig":null)", R"("sig":{"alg":"a","kid":"k","sig":"s"})");
  std::string two_commitments = vector_text("execution_min");
  replace_once(two_commitments, R"("span_commitments":[)", R"("span_commitments":["x",)");
  std::string settlement = vector_text("settlement");
  replace_once(settlement, R"("cash_instr":{"a":{"k":1e21},"z":[1,2.5,"x",true,null]})",
               R"("cash_instr":null)");
  std::vector<std::string> sequence = {with_sig,
                                       vector_text("execution_min"),
                                       vector_text("execution_full"),
                                       two_commitments,
                                       vector_text("execution_min"),
                                       vector_text("method_shape"),
                                       vector_text("spend"),
                                       vector_text("reasoning_shape"),
                                       vector_text("data_shape_full"),
                                       vector_text("data_shape_min"),
                                       settlement,
                                       with_sig};
  Receipt reused;
  for (size_t i = 0; i < sequence.size(); ++i) {
    auto fresh = read_receipt_direct(sequence[i]);
    ASSERT_TRUE(fresh.has_value()) << i;
    ASSERT_TRUE(read_receipt_direct(sequence[i], reused)) << i;
    EXPECT_EQ(reused, *fresh) << i;
  }
}

// ---- mutation ---------------------------------------------------------------------

// Whatever the one-pass reader takes from a mutated receipt, the general
// reading takes too, as the same receipt.
TEST(ReceiptReaderRobustness, NeverAcceptsWhatTheGeneralReadingReadsDifferently) {
  auto texts = vector_texts();
  ASSERT_FALSE(texts.empty());
  std::mt19937 rng(7);
  const std::string inserts[] = {"{",     "}",    "[",     "]",  ",",   ":",      "\"",
                                 "\\",    "null", "1e999", "-0", "0.5", "-1",     "256",
                                 "\"x\"", "\xff", " ",     "[]", "{}",  "\\u00e9"};
  size_t taken = 0;
  Receipt reused;
  for (int round = 0; round < 8000; ++round) {
    std::string text = texts[round % texts.size()].second;
    const int edits = 1 + static_cast<int>(rng() % 2);
    for (int e = 0; e < edits && !text.empty(); ++e) {
      const size_t pos = rng() % text.size();
      switch (rng() % 4) {
        case 0:
          text.erase(pos, 1 + rng() % 4);
          break;
        case 1:
          text[pos] = static_cast<char>(rng());
          break;
        case 2:
          text.insert(pos, inserts[rng() % std::size(inserts)]);
          break;
        default: {
          // Another value after a colon, in front of the one there.
          const size_t colon = text.find(':', pos);
          if (colon != std::string::npos)
            text.insert(colon + 1, inserts[rng() % std::size(inserts)] + ",\"k\":");
        }
      }
    }
    auto direct = read_receipt_direct(text);
    if (!direct) continue;
    ++taken;
    auto general = general_reading(text);
    ASSERT_TRUE(general.has_value()) << text;
    EXPECT_EQ(*direct, *general) << text;
    ASSERT_TRUE(read_receipt_direct(text, reused));
    EXPECT_EQ(reused, *direct) << text;
  }
  EXPECT_GT(taken, 200u);
}

}  // namespace
}  // namespace quillmere
