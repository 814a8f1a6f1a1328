// Number layouts and string escapes of the JSON writer.
#include "codec/json_text.h"

#include <gtest/gtest.h>

namespace quillmere {
namespace {

std::string f64(double v) {
  std::string s;
  append_f64(s, v);
  return s;
}
std::string f32(float v) {
  std::string s;
  append_f32(s, v);
  return s;
}

TEST(JsonText, Float64Layouts) {
  EXPECT_EQ(f64(12.0), "12.0");
  EXPECT_EQ(f64(100.0), "100.0");
  EXPECT_EQ(f64(1e15), "1000000000000000.0");
  EXPECT_EQ(f64(1e16), "1e16");
  EXPECT_EQ(f64(1e21), "1e21");
  EXPECT_EQ(f64(1.5), "1.5");
  EXPECT_EQ(f64(12.34), "12.34");
  EXPECT_EQ(f64(0.25), "0.25");
  EXPECT_EQ(f64(0.001), "0.001");
  EXPECT_EQ(f64(0.00001), "0.00001");
  EXPECT_EQ(f64(0.000001), "1e-6");
  EXPECT_EQ(f64(1.25e-7), "1.25e-7");
  EXPECT_EQ(f64(1.5e16), "1.5e16");
  EXPECT_EQ(f64(-2.5e-8), "-2.5e-8");
  EXPECT_EQ(f64(0.0), "0.0");
  EXPECT_EQ(f64(-0.0), "-0.0");
  EXPECT_EQ(f64(0.1), "0.1");
}

TEST(JsonText, Float32Layouts) {
  EXPECT_EQ(f32(0.5f), "0.5");
  EXPECT_EQ(f32(1e13f), "1e13");
  EXPECT_EQ(f32(1e12f), "1000000000000.0");
  EXPECT_EQ(f32(0.000001f), "0.000001");
  EXPECT_EQ(f32(0.0000001f), "1e-7");
  EXPECT_EQ(f32(0.1f), "0.1");
}

TEST(JsonText, StringEscapes) {
  std::string s;
  append_json_string(s, std::string("a\"b\\c\b\t\n\f\r\x01\x1f/\x7f\xc3\xa9", 16));
  EXPECT_EQ(s, "\"a\\\"b\\\\c\\b\\t\\n\\f\\r\\u0001\\u001f/\x7f\xc3\xa9\"");
}

}  // namespace
}  // namespace quillmere
