// The JSON reader: number forms, strings, nesting limit, object order and the
// exact error texts with their positions.
#include "codec/json_reader.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <limits>
#include <sstream>

#include "codec/json_text.h"
#include "test_support.h"

namespace quillmere {
namespace {

using test::read_file;

JsonValue parse_ok(std::string_view text) {
  auto v = parse_json(text);
  EXPECT_TRUE(v.has_value()) << text << ": " << (v ? "" : v.error().display());
  return v ? *v : JsonValue();
}

std::string parse_error(std::string_view text) {
  auto v = parse_json(text);
  if (v) return "(accepted)";
  return v.error().display();
}

struct ErrorCase {
  std::string input;
  std::string message;
};

class JsonReaderErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(JsonReaderErrors, ExactMessage) {
  EXPECT_EQ(parse_error(GetParam().input), GetParam().message) << GetParam().input;
}

INSTANTIATE_TEST_SUITE_P(
    Syntax, JsonReaderErrors,
    ::testing::Values(
        ErrorCase{"", "EOF while parsing a value at line 1 column 1"},
        ErrorCase{"   ", "EOF while parsing a value at line 1 column 4"},
        ErrorCase{"[1,", "EOF while parsing a value at line 1 column 4"},
        ErrorCase{"\"abc", "EOF while parsing a string at line 1 column 5"},
        ErrorCase{"\"ab\\", "EOF while parsing a string at line 1 column 5"},
        ErrorCase{"\"\\u12", "EOF while parsing a string at line 1 column 6"},
        ErrorCase{"{", "EOF while parsing an object at line 1 column 2"},
        ErrorCase{"{\"a\"", "EOF while parsing an object at line 1 column 5"},
        ErrorCase{"{\"a\":1", "EOF while parsing an object at line 1 column 7"},
        ErrorCase{"{\"a\":1,", "EOF while parsing an object at line 1 column 8"},
        ErrorCase{"[", "EOF while parsing a list at line 1 column 2"},
        ErrorCase{"[1", "EOF while parsing a list at line 1 column 3"},
        ErrorCase{"x", "expected value at line 1 column 1"},
        ErrorCase{"[1,]", "trailing comma at line 1 column 4"},
        ErrorCase{"{\"a\":1,}", "trailing comma at line 1 column 8"},
        ErrorCase{"[,1]", "expected value at line 1 column 2"},
        ErrorCase{"{\"a\" 1}", "expected `:` at line 1 column 6"},
        ErrorCase{"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
        ErrorCase{"[1 2]", "expected `,` or `]` at line 1 column 4"},
        ErrorCase{"{1:2}", "key must be a string at line 1 column 2"},
        ErrorCase{"{\"a\":1,2:3}", "key must be a string at line 1 column 8"},
        ErrorCase{"-", "EOF while parsing a value at line 1 column 2"},
        ErrorCase{"-a", "invalid number at line 1 column 2"},
        ErrorCase{"01", "invalid number at line 1 column 2"},
        ErrorCase{"1.", "EOF while parsing a value at line 1 column 3"},
        ErrorCase{"1.e5", "invalid number at line 1 column 3"},
        ErrorCase{"1e", "EOF while parsing a value at line 1 column 3"},
        ErrorCase{"1e+x", "invalid number at line 1 column 4"},
        ErrorCase{"+1", "expected value at line 1 column 1"},
        ErrorCase{"1e309", "number out of range at line 1 column 1"},
        ErrorCase{"[0, -1.8e308]", "number out of range at line 1 column 5"},
        ErrorCase{"\"\\x\"", "invalid escape at line 1 column 3"},
        ErrorCase{"\"\\u12g4\"", "invalid escape at line 1 column 6"},
        ErrorCase{"\"\\udc00\"", "invalid unicode code point at line 1 column 7"},
        ErrorCase{"\"\\ud800\"", "invalid unicode code point at line 1 column 8"},
        ErrorCase{"\"\\ud800\\n\"", "invalid unicode code point at line 1 column 9"},
        ErrorCase{"\"\\ud800\\", "EOF while parsing a string at line 1 column 9"},
        ErrorCase{"\"\\ud800\\u0041\"", "invalid unicode code point at line 1 column 13"},
        ErrorCase{"\"a\tb\"",
                  "control character (\\u0000-\\u001F) found while parsing a string at line 1 "
                  "column 3"},
        ErrorCase{std::string("\"a\0\"", 4),
                  "control character (\\u0000-\\u001F) found while parsing a string at line 1 "
                  "column 3"},
        ErrorCase{"\"\xc0\x80\"", "invalid unicode code point at line 1 column 2"},
        ErrorCase{"\"\xed\xa0\x80\"", "invalid unicode code point at line 1 column 3"},
        ErrorCase{"\"\xf4\x90\x80\x80\"", "invalid unicode code point at line 1 column 3"},
        ErrorCase{"\"\xf5\"", "invalid unicode code point at line 1 column 2"},
        ErrorCase{"\"\x80\"", "invalid unicode code point at line 1 column 2"},
        ErrorCase{"\"\xe2\x82\"", "invalid unicode code point at line 1 column 4"},
        ErrorCase{"\"\xe2\x82", "EOF while parsing a string at line 1 column 4"},
        ErrorCase{"tru", "EOF while parsing a value at line 1 column 4"},
        ErrorCase{"nul1", "expected ident at line 1 column 4"},
        ErrorCase{"{} {}", "trailing characters at line 1 column 4"},
        ErrorCase{"1 2", "trailing characters at line 1 column 3"},
        ErrorCase{"{}\n\n  x", "trailing characters at line 3 column 3"},
        ErrorCase{"{}\f", "trailing characters at line 1 column 3"},
        ErrorCase{"{\n  \"a\": x\n}", "expected value at line 2 column 8"}));

TEST(JsonReader, WhitespaceAroundTheDocument) {
  EXPECT_EQ(parse_ok(" \t\r\n{}\r\n \t"), JsonValue(JsonObject{}));
  EXPECT_EQ(parse_ok("\n[ 1 , 2 ]\n"), JsonValue(JsonArray{1, 2}));
}

std::string nested(size_t depth, char open, char close) {
  std::string s;
  for (size_t i = 0; i < depth; ++i) s += open == '{' ? "{\"k\":" : "[";
  s += "0";
  for (size_t i = 0; i < depth; ++i) s += close;
  return s;
}

TEST(JsonReader, NestingLimit) {
  for (auto [open, close] : {std::pair{'[', ']'}, std::pair{'{', '}'}}) {
    EXPECT_TRUE(parse_json(nested(127, open, close)).has_value()) << open;
    auto refused = parse_json(nested(128, open, close));
    ASSERT_FALSE(refused.has_value()) << open;
    EXPECT_EQ(refused.error().description, "recursion limit exceeded");
  }
  EXPECT_EQ(parse_error(nested(128, '[', ']')), "recursion limit exceeded at line 1 column 128");
  // Depth is counted along a path, not in total: many shallow siblings are fine.
  std::string wide = "[";
  for (int i = 0; i < 1000; ++i) wide += (i ? ",[[]]" : "[[]]");
  wide += "]";
  EXPECT_TRUE(parse_json(wide).has_value());
  // A deep refusal never recurses past the cap, whatever the input depth.
  EXPECT_EQ(parse_json(std::string(100000, '[')).error().description, "recursion limit exceeded");
}

struct NumberCase {
  std::string text;
  JsonValue expected;
};

class JsonReaderNumbers : public ::testing::TestWithParam<NumberCase> {};

TEST_P(JsonReaderNumbers, FormAndValue) {
  const auto& c = GetParam();
  JsonValue got = parse_ok(c.text);
  ASSERT_EQ(got.v.index(), c.expected.v.index()) << c.text;
  if (got.is_f64()) {
    EXPECT_EQ(std::bit_cast<uint64_t>(got.as_f64()), std::bit_cast<uint64_t>(c.expected.as_f64()))
        << c.text;
  } else {
    EXPECT_EQ(got, c.expected) << c.text;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Forms, JsonReaderNumbers,
    ::testing::Values(
        NumberCase{"0", JsonValue(uint64_t{0})}, NumberCase{"7", JsonValue(uint64_t{7})},
        NumberCase{"18446744073709551615", JsonValue(std::numeric_limits<uint64_t>::max())},
        NumberCase{"18446744073709551616", JsonValue(18446744073709551616.0)},
        NumberCase{"-1", JsonValue(int64_t{-1})},
        NumberCase{"-9223372036854775808", JsonValue(std::numeric_limits<int64_t>::min())},
        NumberCase{"-9223372036854775809", JsonValue(-9223372036854775809.0)},
        NumberCase{"-0", JsonValue(-0.0)}, NumberCase{"0.0", JsonValue(0.0)},
        NumberCase{"-0.0", JsonValue(-0.0)}, NumberCase{"1.0", JsonValue(1.0)},
        NumberCase{"1e2", JsonValue(100.0)}, NumberCase{"1E+2", JsonValue(100.0)},
        NumberCase{"25e-2", JsonValue(0.25)}, NumberCase{"0.1", JsonValue(0.1)},
        NumberCase{"5e-324", JsonValue(5e-324)},
        NumberCase{"1.7976931348623157e308", JsonValue(1.7976931348623157e308)},
        // Correct rounding at a halfway case between two doubles.
        NumberCase{"9007199254740993.0", JsonValue(9007199254740992.0)},
        NumberCase{"1e-400", JsonValue(0.0)}, NumberCase{"-1e-400", JsonValue(-0.0)},
        NumberCase{"0.00000000001e-320", JsonValue(0.0)}, NumberCase{"0e99999", JsonValue(0.0)}));

TEST(JsonReader, ObjectsSortedAndLastRepeatedKeyWins) {
  JsonValue v = parse_ok(R"({"b":1,"a":2,"b":3,"\u00e9":4,"B":5})");
  const auto& m = v.as_object().members;
  ASSERT_EQ(m.size(), 4u);
  EXPECT_EQ(m[0].key, "B");
  EXPECT_EQ(m[1].key, "a");
  EXPECT_EQ(m[2].key, "b");
  EXPECT_EQ(m[2].value, JsonValue(3));
  EXPECT_EQ(m[3].key, "\xc3\xa9");
  EXPECT_EQ(parse_ok(R"({"a":1,"a":2})"), parse_ok(R"({"a":2})"));
}

TEST(JsonReader, StringEscapesAndUnicode) {
  EXPECT_EQ(parse_ok(R"("a\"b\\c\/d\b\f\n\r\t")"), JsonValue("a\"b\\c/d\b\f\n\r\t"));
  EXPECT_EQ(parse_ok(R"("\u0041\u00e9\u20ac\ud83d\ude00")"),
            JsonValue("A\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"));
  EXPECT_EQ(parse_ok(R"("\u0000")"), JsonValue(std::string(1, '\0')));
  EXPECT_EQ(parse_ok("\"\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\x7f\""),
            JsonValue("\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\x7f"));
}

// The word-at-a-time scan must find a special byte at every offset of a word.
TEST(JsonReader, SpecialBytesAtEveryOffset) {
  for (size_t n = 0; n < 24; ++n) {
    std::string plain(n, 'x');
    EXPECT_EQ(parse_ok("\"" + plain + "\""), JsonValue(plain));
    EXPECT_EQ(parse_ok("\"" + plain + "\\n" + plain + "\""), JsonValue(plain + "\n" + plain));
    EXPECT_EQ(parse_ok("\"" + plain + "\xc3\xa9" + plain + "\""),
              JsonValue(plain + "\xc3\xa9" + plain));
    EXPECT_EQ(parse_error("\"" + plain + "\x1f" + plain + "\"").substr(0, 17), "control character");
    EXPECT_EQ(parse_error("\"" + plain),
              "EOF while parsing a string at line 1 column " + std::to_string(n + 2));
  }
}

// Compact canonical text reads back into a value that writes the same text.
TEST(JsonReader, CompactTextRoundTrips) {
  for (std::string_view text :
       {R"({"a":[1,-2,3.5,-0.0,1e-7,1e21,true,false,null],"b":{"c":"\u0001\"\\"},"d":[]})",
        R"([18446744073709551615,-9223372036854775808,0.1,1.7976931348623157e308])",
        R"("\u001f\b")", "{}", "[[[]]]"}) {
    EXPECT_EQ(to_json_text(parse_ok(text)), text);
  }
}

uint64_t hex_bits(const std::string& hex) {
  return std::stoull(hex, nullptr, 16);
}

// The writer's texts from the vectors read back to exactly the bits they came from.
TEST(JsonReader, NumberVectorsReadBackToTheirBits) {
  auto doc = parse_json(read_file(QM_VECTORS_DIR "/numbers.json"));
  ASSERT_TRUE(doc.has_value());
  const auto& root = doc->as_object();
  size_t checked = 0;
  for (const auto& item : root.find("float64")->as_array()) {
    const auto& text = item.as_object().find("json")->as_string();
    uint64_t bits = hex_bits(item.as_object().find("bits")->as_string());
    JsonValue v = parse_ok(text);
    ASSERT_TRUE(v.is_f64()) << text;
    EXPECT_EQ(std::bit_cast<uint64_t>(v.as_f64()), bits) << text;
    std::string written;
    append_f64(written, std::bit_cast<double>(bits));
    EXPECT_EQ(written, text);
    ++checked;
  }
  for (const auto& item : root.find("float32")->as_array()) {
    const auto& text = item.as_object().find("json")->as_string();
    auto bits = static_cast<uint32_t>(hex_bits(item.as_object().find("bits")->as_string()));
    JsonValue v = parse_ok(text);
    ASSERT_TRUE(v.is_f64()) << text;
    EXPECT_EQ(std::bit_cast<uint32_t>(static_cast<float>(v.as_f64())), bits) << text;
    ++checked;
  }
  EXPECT_GT(checked, 20u);
}

}  // namespace
}  // namespace quillmere
