// Canonical text straight from JSON text: known answers, agreement with reading the
// tree and writing it (texts, errors, positions), and agreement under random mutation.
#include "codec/jcs_text.h"

#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>

#include "codec/commitments.h"
#include "codec/json_reader.h"

namespace quillmere {
namespace {

std::expected<std::string, JsonParseError> direct(std::string_view text) {
  std::string out = "kept:";  // what was in the buffer before must stay in front
  auto r = append_jcs_of_text(out, text);
  if (!r) {
    EXPECT_EQ(out, "kept:");
    return std::unexpected(r.error());
  }
  EXPECT_EQ(out.substr(0, 5), "kept:");
  return out.substr(5);
}

std::expected<std::string, JsonParseError> through_tree(std::string_view text) {
  auto v = parse_json(text);
  if (!v) return std::unexpected(v.error());
  return jcs(*v);
}

void expect_same_as_tree(std::string_view text) {
  auto a = direct(text);
  auto b = through_tree(text);
  ASSERT_EQ(a.has_value(), b.has_value()) << text;
  if (a) {
    EXPECT_EQ(*a, *b) << text;
  } else {
    EXPECT_EQ(a.error().display(), b.error().display()) << text;
  }
}

TEST(JcsOfText, KnownAnswers) {
  std::ifstream in(std::string(QM_VECTORS_DIR) + "/jcs.json", std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  auto doc = parse_json(ss.str());
  ASSERT_TRUE(doc.has_value());
  ASSERT_FALSE(doc->as_array().empty());
  for (const JsonValue& c : doc->as_array()) {
    const JsonObject& o = c.as_object();
    auto text = direct(o.find("json")->as_string());
    ASSERT_TRUE(text.has_value()) << o.find("json")->as_string();
    EXPECT_EQ(*text, o.find("jcs")->as_string());
  }
}

struct Case {
  const char* text;
  const char* expected;  // nullptr: refused
};

class JcsOfTextCases : public ::testing::TestWithParam<Case> {};

TEST_P(JcsOfTextCases, MatchesTheTreeReading) {
  const Case& c = GetParam();
  expect_same_as_tree(c.text);
  auto r = direct(c.text);
  if (c.expected == nullptr) {
    EXPECT_FALSE(r.has_value()) << c.text;
  } else {
    ASSERT_TRUE(r.has_value()) << c.text << ": " << r.error().display();
    EXPECT_EQ(*r, c.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, JcsOfTextCases,
    ::testing::Values(
        // json.dumps's own layout: spaces after separators, keys in insertion order
        Case{R"({"input": "data", "rows": 1200, "columns": ["id", "price"]})",
             R"({"columns":["id","price"],"input":"data","rows":1200})"},
        Case{R"({"b": {"d": 1, "c": [{"z": 0, "a": null}]}, "a": true})",
             R"({"a":true,"b":{"c":[{"a":null,"z":0}],"d":1}})"},
        // a dict with keys 1 and "1" dumps the same key twice: the last one wins
        Case{R"({"1": "a", "0": 0, "1": "b"})", R"({"0":0,"1":"b"})"},
        Case{R"({"k": 1, "k": 2, "k": 3})", R"({"k":3})"},
        // keys compared decoded, by UTF-8 bytes; escaped keys rewritten in the writer's form
        Case{R"({"\u00e9": 1, "z": 2, "\ud83d\ude00": 3, "\u0041": 4})",
             "{\"A\":4,\"z\":2,\"\xC3\xA9\":1,\"\xF0\x9F\x98\x80\":3}"},
        Case{R"({"a\"b": 1, "a": 2})", R"({"a":2,"a\"b":1})"},
        Case{R"(["\/", "\b\f\n\r\t", "\u001f"])", R"(["/","\b\f\n\r\t","\u001f"])"},
        // numbers in their kept forms
        Case{"[0, -0, 1.0, -1, 18446744073709551615, 18446744073709551616, -9223372036854775808]",
             "[0,-0.0,1.0,-1,18446744073709551615,1.8446744073709552e19,-9223372036854775808]"},
        Case{"[1e400]", nullptr}, Case{"[1e-400, 2.5E+3]", "[0.0,2500.0]"}, Case{" \t\n{ } ", "{}"},
        Case{"[ ]", "[]"}, Case{"\"x\"", "\"x\""}, Case{"null", "null"},
        // refused exactly where the tree reading refuses
        Case{"", nullptr}, Case{"{", nullptr}, Case{"[1,]", nullptr}, Case{R"({"a":1,})", nullptr},
        Case{R"({"a" 1})", nullptr}, Case{"{1: 2}", nullptr}, Case{"[NaN]", nullptr},
        Case{"[Infinity]", nullptr}, Case{"[01]", nullptr}, Case{"[1] x", nullptr},
        Case{R"(["\ud800"])", nullptr}, Case{"[\"\x01\"]", nullptr},
        Case{"[\"\xC0\x80\"]", nullptr}, Case{"tru", nullptr}, Case{"[1 2]", nullptr},
        Case{R"({"a":1 "b":2})", nullptr}));

TEST(JcsOfText, NestingLimitIsTheReadersAtBothSides) {
  for (size_t depth : {size_t{126}, size_t{127}, size_t{128}}) {
    std::string arrays = std::string(depth, '[') + std::string(depth, ']');
    std::string objects;
    for (size_t i = 0; i < depth; ++i) objects += "{\"k\":";
    objects += '1';
    objects.append(depth, '}');
    expect_same_as_tree(arrays);
    expect_same_as_tree(objects);
    EXPECT_EQ(direct(arrays).has_value(), depth <= kJsonMaxDepth);
  }
}

TEST(JcsOfText, AgreesWithTheTreeReadingUnderRandomMutation) {
  const std::string seeds[] = {
      R"({"input": "data", "rows": 1200, "columns": ["id", "price", "currency"]})",
      R"({"z": [1, -2.5e-3, {"b": null, "a": [true, false]}], "\u00e9\n": "x\"y", "a": {}})",
      R"([{"k": 1, "k": {"k": [1, 2]}}, "\ud83d\ude00", 18446744073709551616, -0])",
  };
  const char alphabet[] = "{}[],:\" \\-+.0123456789eEtrufalsn\x01\xC3\xA9u";
  std::mt19937 rng(20261207);
  for (const std::string& seed : seeds) {
    expect_same_as_tree(seed);
    for (int round = 0; round < 3000; ++round) {
      std::string text = seed;
      const int edits = 1 + static_cast<int>(rng() % 3);
      for (int e = 0; e < edits; ++e) {
        const size_t pos = rng() % (text.size() + 1);
        const char c = alphabet[rng() % (sizeof alphabet - 1)];
        switch (rng() % 3) {
          case 0:
            text.insert(pos, 1, c);
            break;
          case 1:
            if (pos < text.size()) text.erase(pos, 1);
            break;
          default:
            if (pos < text.size()) text[pos] = c;
        }
      }
      expect_same_as_tree(text);
    }
  }
}

}  // namespace
}  // namespace quillmere
