// Base64url without padding: known texts, round trips and the decoder's refusals.
#include "codec/base64url.h"

#include <gtest/gtest.h>

#include <random>

namespace quillmere {
namespace {

std::vector<uint8_t> bytes_of(std::string_view s) {
  return {s.begin(), s.end()};
}

TEST(Base64url, KnownTexts) {
  const std::pair<std::string_view, std::string_view> cases[] = {{"", ""},
                                                                 {"f", "Zg"},
                                                                 {"fo", "Zm8"},
                                                                 {"foo", "Zm9v"},
                                                                 {"foob", "Zm9vYg"},
                                                                 {"fooba", "Zm9vYmE"},
                                                                 {"foobar", "Zm9vYmFy"},
                                                                 {"\xfb\xff", "-_8"},
                                                                 {"\xff\xff\xff", "____"}};
  for (auto [plain, text] : cases) {
    EXPECT_EQ(encode_base64url(bytes_of(plain)), text);
    auto back = decode_base64url(text);
    ASSERT_TRUE(back.has_value()) << text << ": " << back.error();
    EXPECT_EQ(*back, bytes_of(plain));
  }
}

TEST(Base64url, RoundTripsEveryLength) {
  std::mt19937 rng(7);
  for (size_t n = 0; n <= 70; ++n) {
    std::vector<uint8_t> data(n);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    std::string text = encode_base64url(data);
    EXPECT_EQ(text.size(), (n * 4 + 2) / 3);
    EXPECT_EQ(decode_base64url(text), data) << n;
  }
  EXPECT_EQ(encode_base64url(std::vector<uint8_t>(32, 0xAB)).size(), 43u);
}

struct Refusal {
  std::string text;
  std::string description;
};

class Base64urlRefusals : public ::testing::TestWithParam<Refusal> {};

TEST_P(Base64urlRefusals, ExactDescription) {
  auto r = decode_base64url(GetParam().text);
  ASSERT_FALSE(r.has_value()) << GetParam().text;
  EXPECT_EQ(r.error(), GetParam().description);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, Base64urlRefusals,
    ::testing::Values(Refusal{"Zg==", "Invalid padding"}, Refusal{"Zm8=", "Invalid padding"},
                      Refusal{"Z===", "Invalid symbol 61, offset 1."},
                      Refusal{"=", "Invalid symbol 61, offset 0."},
                      Refusal{"Zm9v=", "Invalid symbol 61, offset 4."},
                      Refusal{"Zg=a", "Invalid symbol 61, offset 2."},
                      Refusal{"Zm+v", "Invalid symbol 43, offset 2."},
                      Refusal{"Zm/v", "Invalid symbol 47, offset 2."},
                      Refusal{"Zm9 v", "Invalid symbol 32, offset 3."},
                      Refusal{"Z\xc3\xa9", "Invalid symbol 195, offset 1."},
                      Refusal{"Z", "Invalid input length: 1"},
                      Refusal{"Zm9vY", "Invalid input length: 5"},
                      Refusal{"Zh", "Invalid last symbol 104, offset 1."},
                      Refusal{"Zm9", "Invalid last symbol 57, offset 2."},
                      Refusal{"Zm9vYmF", "Invalid last symbol 70, offset 6."}));

// Every one of the 64 symbols is a possible final character of some text, but
// only those with zero leftover bits decode.
TEST(Base64url, LastSymbolMustCarryNoLeftoverBits) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  int accepted_two = 0, accepted_three = 0;
  for (char c : alphabet) {
    accepted_two += decode_base64url(std::string("A") + c).has_value();
    accepted_three += decode_base64url(std::string("AA") + c).has_value();
  }
  EXPECT_EQ(accepted_two, 4);     // 4 free bits must be zero: 64 / 16
  EXPECT_EQ(accepted_three, 16);  // 2 free bits must be zero: 64 / 4
}

}  // namespace
}  // namespace quillmere
