// Commitment primitives: the canonical JSON text against known answers and its
// properties (key order at any depth, number forms kept), and hash strings.
#include "codec/commitments.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "codec/json_reader.h"
#include "receipts/canonical.h"
#include "test_support.h"

namespace quillmere {
namespace {

using test::read_file;

JsonValue parse(std::string_view text) {
  auto v = parse_json(text);
  EXPECT_TRUE(v.has_value()) << text;
  if (!v) return JsonValue{};
  return std::move(*v);
}

TEST(Jcs, KnownAnswers) {
  JsonValue doc = parse(read_file(std::string(QM_VECTORS_DIR) + "/jcs.json"));
  ASSERT_TRUE(doc.is_array());
  ASSERT_FALSE(doc.as_array().empty());
  for (const JsonValue& c : doc.as_array()) {
    const JsonObject& o = c.as_object();
    const std::string& input = o.find("json")->as_string();
    std::string text = jcs(parse(input));
    EXPECT_EQ(text, o.find("jcs")->as_string()) << input;
    EXPECT_EQ(sha256_prefixed(text), o.find("sha256_prefixed_of_jcs")->as_string()) << input;
  }
}

JsonValue object(std::vector<std::pair<std::string, JsonValue>> members) {
  JsonObject o;
  for (auto& [k, v] : members) o.insert(std::move(k), std::move(v));
  return o;
}

TEST(Jcs, InsertionOrderNeverMattersAtAnyDepth) {
  JsonValue ba = object({{"b", 1}, {"a", JsonArray{object({{"d", 1.5}, {"c", "x"}})}}});
  JsonValue ab = object({{"a", JsonArray{object({{"c", "x"}, {"d", 1.5}})}}, {"b", 1}});
  EXPECT_EQ(jcs(ba), R"({"a":[{"c":"x","d":1.5}],"b":1})");
  EXPECT_EQ(jcs(ab), jcs(ba));
  EXPECT_EQ(jcs(sort(ba)), jcs(ba));
  EXPECT_EQ(sort(ba), ab);
}

TEST(Jcs, KeysInUtf8ByteOrder) {
  // "z" before "é" (C3 A9) and "\u{FFFF}" (EF BF BF) before "😀" (F0 ...), unlike UTF-16 order.
  JsonValue v = object({{"\xF0\x9F\x98\x80", 1},
                        {"\xEF\xBF\xBF", 2},
                        {"\xC3\xA9", 3},
                        {"z", 4},
                        {"aa", 5},
                        {"a", 6},
                        {"B", 7}});
  EXPECT_EQ(jcs(v),
            "{\"B\":7,\"a\":6,\"aa\":5,\"z\":4,\"\xC3\xA9\":3,\"\xEF\xBF\xBF\":2,"
            "\"\xF0\x9F\x98\x80\":1}");
}

TEST(Jcs, NumberFormsSurvive) {
  EXPECT_EQ(jcs(JsonValue(uint64_t{1})), "1");
  EXPECT_EQ(jcs(JsonValue(1.0)), "1.0");
  EXPECT_EQ(jcs(JsonValue(int64_t{-7})), "-7");
  EXPECT_EQ(jcs(JsonValue(-7.0)), "-7.0");
  EXPECT_EQ(jcs(JsonValue(1e21)), "1e21");
  EXPECT_EQ(jcs(JsonValue(-2.5e-8)), "-2.5e-8");
  EXPECT_NE(sha256_prefixed(jcs(JsonValue(uint64_t{3}))), sha256_prefixed(jcs(JsonValue(3.0))));
}

TEST(Jcs, StringEscapes) {
  EXPECT_EQ(jcs(JsonValue("\t\"\x01\x1f\b\f\n\r\\/\x7f\xC3\xA9")),
            "\"\\t\\\"\\u0001\\u001f\\b\\f\\n\\r\\\\/\x7f\xC3\xA9\"");
  EXPECT_EQ(jcs(JsonValue(std::string(1, '\0'))), "\"\\u0000\"");
}

TEST(Sha256Prefixed, KnownDigestsAndForm) {
  EXPECT_EQ(sha256_prefixed(std::string_view()),
            "sha256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_prefixed(std::string_view("abc")),
            "sha256:ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const uint8_t zero = 0;
  std::string identity_root = sha256_prefixed(std::span<const uint8_t>(&zero, 1));
  EXPECT_EQ(identity_root,
            "sha256:6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d");
  for (const std::string& s : {identity_root, sha256_prefixed(std::string(100000, 'x'))}) {
    EXPECT_EQ(s.size(), 71U);
    EXPECT_TRUE(validate_hash_format(s)) << s;
  }
}

}  // namespace
}  // namespace quillmere
