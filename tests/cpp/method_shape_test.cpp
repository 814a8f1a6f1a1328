// Method shape hashes: known answers, the code hash rules and the error texts.
#include "shapes/method_shape.h"

#include <gtest/gtest.h>

#include "shape_test_support.h"

namespace quillmere {
namespace {

using namespace testing_support;

const std::string kDigits(64, 'c');

std::string from_code(std::string_view code_hash, std::optional<JsonValue> params = std::nullopt) {
  auto h = compute_method_shape_hash_from_code(code_hash, params);
  EXPECT_TRUE(h.has_value()) << code_hash;
  return h ? *h : "";
}

TEST(MethodShapeVectors, HashesMatch) {
  const JsonValue vectors = load_vectors("method_shape.json");
  ASSERT_TRUE(vectors.is_array());
  for (const JsonValue& v : vectors.as_array()) {
    const std::string& expected = field(v, "hash").as_string();
    if (const JsonValue& code = field(v, "code_hash"); code.is_string()) {
      std::optional<JsonValue> params;
      if (const JsonValue& text = field(v, "params_json"); text.is_string()) {
        auto parsed = parse_json(text.as_string());
        ASSERT_TRUE(parsed.has_value());
        params = *parsed;
      }
      EXPECT_EQ(from_code(code.as_string(), params), expected) << code.as_string();
    } else {
      std::vector<std::string> types;
      for (const JsonValue& t : field(v, "input_types").as_array()) types.push_back(t.as_string());
      auto h = compute_method_shape_hash_from_signature(field(v, "function_name").as_string(),
                                                        types, field(v, "output_type").as_string());
      ASSERT_TRUE(h.has_value());
      EXPECT_EQ(*h, expected) << field(v, "function_name").as_string();
    }
  }
}

TEST(MethodShapeFromCode, PrefixIsOptionalAndCaseIsKept) {
  EXPECT_EQ(from_code(kDigits), from_code("sha256:" + kDigits));
  EXPECT_NE(from_code(std::string(64, 'C')), from_code(kDigits));
}

TEST(MethodShapeFromCode, ParamsEnterTheHash) {
  JsonObject ba;
  ba.insert("b", 1);
  ba.insert("a", 2);
  JsonObject ab;
  ab.insert("a", 2);
  ab.insert("b", 1);
  EXPECT_EQ(from_code(kDigits, JsonValue(ba)), from_code(kDigits, JsonValue(ab)));
  EXPECT_NE(from_code(kDigits), from_code(kDigits, JsonValue(JsonObject{})));
  JsonObject one_int, one_float;
  one_int.insert("x", 1);
  one_float.insert("x", 1.0);
  EXPECT_NE(from_code(kDigits, JsonValue(one_int)), from_code(kDigits, JsonValue(one_float)));
}

class BadCodeHash : public ::testing::TestWithParam<std::string> {};

TEST_P(BadCodeHash, IsRefusedWithTheTextAsPassed) {
  auto h = compute_method_shape_hash_from_code(GetParam(), std::nullopt);
  ASSERT_FALSE(h.has_value());
  EXPECT_EQ(h.error().kind, MethodShapeError::Kind::InvalidHashFormat);
  EXPECT_EQ(h.error().display(), "Invalid hash format: Invalid code hash format: " + GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Texts, BadCodeHash,
    ::testing::Values("SHA256:" + kDigits, "Sha256:" + kDigits, std::string(63, 'a'),
                      std::string(65, 'a'), std::string("sha256:").append(63, 'a'),
                      std::string("sha256:").append(65, 'a'), "sha256:", "sha256", "", "abcdef",
                      std::string(63, 'a') + "g", std::string(62, 'a') + "\xc3\xa9",
                      std::string("sha256:sha256:").append(57, 'a'),
                      std::string(" ").append(63, 'a'),
                      std::string(32, 'a') + std::string(1, '\0') + std::string(31, 'a')));

TEST(MethodShapeFromSignature, OrderAndDuplicatesCount) {
  const auto sig = [](std::vector<std::string> types) {
    return *compute_method_shape_hash_from_signature("f", types, "bool");
  };
  EXPECT_NE(sig({"int", "str"}), sig({"str", "int"}));
  EXPECT_NE(sig({"int", "str"}), sig({"int", "int", "str"}));
  EXPECT_NE(sig({}), sig({""}));
}

TEST(MethodShapeFromSignature, OnlyAnEmptyNameFails) {
  EXPECT_TRUE(compute_method_shape_hash_from_signature(" ", {}, "").has_value());
  auto h = compute_method_shape_hash_from_signature("", {}, "x");
  ASSERT_FALSE(h.has_value());
  EXPECT_EQ(h.error().display(), "Invalid input: Function name cannot be empty");
}

}  // namespace
}  // namespace quillmere
