// Receipt identifier text: the four accepted forms and the descriptions of faults.
#include "codec/uuid.h"

#include <gtest/gtest.h>

#include "receipts/receipt.h"

namespace quillmere {
namespace {

constexpr std::string_view kCanonical = "6f1c1d9e-3a53-4d6b-9b0e-2f1b7a6c5d40";

class UuidAccepted : public ::testing::TestWithParam<std::string> {};

TEST_P(UuidAccepted, ReadsTheSameIdentifier) {
  auto id = parse_uuid_described(GetParam());
  ASSERT_TRUE(id.has_value()) << GetParam() << ": " << id.error();
  EXPECT_EQ(uuid_to_string(*id), kCanonical);
  EXPECT_EQ(parse_uuid(GetParam()), *id);
}

INSTANTIATE_TEST_SUITE_P(Forms, UuidAccepted,
                         ::testing::Values("6f1c1d9e-3a53-4d6b-9b0e-2f1b7a6c5d40",
                                           "6F1C1D9E-3A53-4D6B-9B0E-2F1B7A6C5D40",
                                           "6f1c1d9e3a534d6b9b0e2f1b7a6c5d40",
                                           "6F1c1D9e3A534d6B9b0E2f1B7a6C5d40",
                                           "{6f1c1d9e-3a53-4d6b-9b0e-2f1b7a6c5d40}",
                                           "urn:uuid:6f1c1d9e-3a53-4d6b-9b0e-2f1b7a6c5d40",
                                           "urn:uuid:6F1C1D9E-3A53-4D6B-9B0E-2F1B7A6C5D40"));

struct Refused {
  std::string text;
  std::string description;
};

class UuidRefused : public ::testing::TestWithParam<Refused> {};

TEST_P(UuidRefused, Describes) {
  auto id = parse_uuid_described(GetParam().text);
  ASSERT_FALSE(id.has_value()) << GetParam().text;
  EXPECT_EQ(id.error(), GetParam().description);
  EXPECT_EQ(parse_uuid(GetParam().text), std::nullopt);
}

constexpr const char* kBadChar =
    "invalid character: expected an optional prefix of `urn:uuid:` followed by [0-9a-fA-F-], "
    "found ";

INSTANTIATE_TEST_SUITE_P(
    Faults, UuidRefused,
    ::testing::Values(
        Refused{"", "invalid length: expected length 32 for simple format, found 0"},
        Refused{"xyz", "invalid length: expected length 32 for simple format, found 3"},
        Refused{"6f1c1d9e-3a53-4d6b-9b0e-2f1b7a6c5d4",
                "invalid length: expected length 32 for simple format, found 35"},
        Refused{"6f1c1d9e-3a53-4d6b-9b0e-2f1b7a6c5d400",
                "invalid length: expected length 32 for simple format, found 37"},
        Refused{"6f1c1d9e3a534d6b9b0e2f1b7a6c5d4g", std::string(kBadChar) + "`g` at 32"},
        Refused{"6f1c1d9e-3a53-4d6b-9b0e-2f1b7a6c5d4z", std::string(kBadChar) + "`z` at 36"},
        Refused{"6f1c1d9e-3a53-4d6b-9b0e-2f1b7a6c5d4\xc3\xa9"
                "",
                "invalid length: expected length 32 for simple format, found 37"},
        Refused{"6f1c1d9e-3a53-4d6b-9b0e-2f1b7a6c5d\xc3\xa9",
                std::string(kBadChar) + "`\xc3\xa9` at 35"},
        Refused{"6f1c1d9e3a534d6b9b0e2f1b7a6c5d40abcd", "invalid group count: expected 5, found 1"},
        Refused{"6f1c1d9e-3a53-4d6b-9b0e-2f1b-a6c5d40", "invalid group count: expected 5, found 6"},
        Refused{"6f1c1d9e3-a53-4d6b-9b0e-2f1b7a6c5d40",
                "invalid group length in group 0: expected 8, found 9"},
        Refused{"6f1c1d9e-3a53-4d6b-9b0e2-f1b7a6c5d40",
                "invalid group length in group 3: expected 4, found 5"},
        Refused{"[6f1c1d9e-3a53-4d6b-9b0e-2f1b7a6c5d40}", std::string(kBadChar) + "`[` at 1"},
        Refused{"{6f1c1d9e-3a53-4d6b-9b0e-2f1b7a6c5d40]", std::string(kBadChar) + "`]` at 38"},
        Refused{"URN:UUID:6f1c1d9e-3a53-4d6b-9b0e-2f1b7a6c5d40",
                std::string(kBadChar) + "`U` at 1"},
        Refused{"urn:uuid:6f1c1d9e-3a53-4d6b-9b0e+2f1b7a6c5d40",
                std::string(kBadChar) + "`+` at 33"}));

TEST(Uuid, EveryByteAndNibbleLandsInPlace) {
  auto id = parse_uuid("00112233-4455-6677-8899-aabbccddeeff");
  ASSERT_TRUE(id.has_value());
  for (size_t i = 0; i < 16; ++i) EXPECT_EQ((*id)[i], static_cast<uint8_t>(i * 0x11)) << i;
}

}  // namespace
}  // namespace quillmere
