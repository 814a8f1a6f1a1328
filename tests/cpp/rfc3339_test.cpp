// RFC 3339: the recording timestamp's text form and the store's parser.
#include "codec/rfc3339.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>

#include "codec/rfc3339.h"

namespace quillmere {
namespace {

constexpr int64_t kNs = 1'000'000'000;

struct FormatCase {
  int64_t unix_ns;
  const char* text;
};

class FormatTest : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatTest, WritesUtcWithFractionRule) {
  EXPECT_EQ(format_rfc3339_utc(GetParam().unix_ns), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Timestamps, FormatTest,
    ::testing::Values(
        FormatCase{0, "1970-01-01T00:00:00+00:00"},
        FormatCase{1'700'000'000 * kNs, "2023-11-14T22:13:20+00:00"},
        FormatCase{1'700'000'000 * kNs + 123'000'000, "2023-11-14T22:13:20.123+00:00"},
        FormatCase{1'700'000'000 * kNs + 123'456'000, "2023-11-14T22:13:20.123456+00:00"},
        FormatCase{1'700'000'000 * kNs + 123'456'789, "2023-11-14T22:13:20.123456789+00:00"},
        // Leading zeros of each fraction width are kept.
        FormatCase{1'700'000'000 * kNs + 1'000'000, "2023-11-14T22:13:20.001+00:00"},
        FormatCase{1'700'000'000 * kNs + 1'000, "2023-11-14T22:13:20.000001+00:00"},
        FormatCase{1'700'000'000 * kNs + 1, "2023-11-14T22:13:20.000000001+00:00"},
        FormatCase{1'700'000'000 * kNs + 100'000'000, "2023-11-14T22:13:20.100+00:00"},
        // Leap day, end of year, end of a century leap year.
        FormatCase{951'782'400 * kNs, "2000-02-29T00:00:00+00:00"},
        FormatCase{1'704'067'199 * kNs, "2023-12-31T23:59:59+00:00"},
        FormatCase{978'307'199 * kNs, "2000-12-31T23:59:59+00:00"},
        // Before the epoch: floor to the earlier second.
        FormatCase{-1, "1969-12-31T23:59:59.999999999+00:00"},
        FormatCase{-kNs, "1969-12-31T23:59:59+00:00"},
        FormatCase{-500'000'000, "1969-12-31T23:59:59.500+00:00"},
        // The int64 nanosecond range ends.
        FormatCase{INT64_MAX, "2262-04-11T23:47:16.854775807+00:00"},
        FormatCase{INT64_MIN, "1677-09-21T00:12:43.145224192+00:00"}));

struct ParseCase {
  const char* text;
  std::optional<int64_t> seconds;
};

class ParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, GivesUtcWholeSecondsOrNothing) {
  EXPECT_EQ(parse_rfc3339_seconds(GetParam().text), GetParam().seconds) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Accepted, ParseTest,
    ::testing::Values(ParseCase{"2023-11-14T22:13:20+00:00", 1'700'000'000},
                      ParseCase{"2023-11-14T22:13:20Z", 1'700'000'000},
                      ParseCase{"2023-11-14t22:13:20z", 1'700'000'000},
                      ParseCase{"2023-11-14 22:13:20Z", 1'700'000'000},
                      ParseCase{"2023-11-14T22:13:20.999999999999+00:00", 1'700'000'000},
                      ParseCase{"2023-11-14T22:13:20.5Z", 1'700'000'000},
                      // Offsets are subtracted to reach UTC, across a day boundary too.
                      ParseCase{"2023-11-15T00:13:20+02:00", 1'700'000'000},
                      ParseCase{"2023-11-14T17:43:20-04:30", 1'700'000'000},
                      ParseCase{"2023-11-14T22:13:20-00:00", 1'700'000'000},
                      ParseCase{"1970-01-01T00:00:00Z", 0}, ParseCase{"1969-12-31T23:59:59.5Z", -1},
                      ParseCase{"0000-01-01T00:00:00Z", -62'167'219'200},
                      ParseCase{"9999-12-31T23:59:59Z", 253'402'300'799},
                      ParseCase{"2000-02-29T00:00:00Z", 951'782'400},
                      ParseCase{"2024-02-29T12:00:00Z", 1'709'208'000},
                      // A leap second stays within its minute.
                      ParseCase{"2016-12-31T23:59:60Z", 1'483'228'799},
                      ParseCase{"2023-11-14T23:59:59+23:59", 1'699'920'059}));

INSTANTIATE_TEST_SUITE_P(
    Refused, ParseTest,
    ::testing::Values(ParseCase{"", std::nullopt}, ParseCase{"2023-11-14", std::nullopt},
                      ParseCase{"2023-11-14T22:13:20", std::nullopt},         // no zone
                      ParseCase{"2023-11-14T22:13Z", std::nullopt},           // no seconds
                      ParseCase{"2023-11-14X22:13:20Z", std::nullopt},        // separator
                      ParseCase{"2023-11-14T22:13:20.Z", std::nullopt},       // empty fraction
                      ParseCase{"2023-11-14T22:13:20Z ", std::nullopt},       // trailing text
                      ParseCase{"2023-11-14T22:13:20+00:00x", std::nullopt},  // trailing text
                      ParseCase{"2023-11-14T22:13:20+0000", std::nullopt},  // offset without colon
                      ParseCase{"2023-11-14T22:13:20+00", std::nullopt},
                      ParseCase{"2023-11-14T22:13:20+24:00", std::nullopt},
                      ParseCase{"2023-11-14T22:13:20+00:60", std::nullopt},
                      ParseCase{"2023-13-14T22:13:20Z", std::nullopt},
                      ParseCase{"2023-00-14T22:13:20Z", std::nullopt},
                      ParseCase{"2023-11-00T22:13:20Z", std::nullopt},
                      ParseCase{"2023-11-31T22:13:20Z", std::nullopt},
                      ParseCase{"2023-02-29T00:00:00Z", std::nullopt},  // not a leap year
                      ParseCase{"1900-02-29T00:00:00Z", std::nullopt},  // century, not a leap year
                      ParseCase{"2023-11-14T24:00:00Z", std::nullopt},
                      ParseCase{"2023-11-14T22:60:00Z", std::nullopt},
                      ParseCase{"2023-11-14T22:13:61Z", std::nullopt},
                      ParseCase{"23-11-14T22:13:20Z", std::nullopt},
                      ParseCase{"+2023-11-14T22:13:20Z", std::nullopt},
                      ParseCase{"2023-1-14T22:13:20Z", std::nullopt},
                      ParseCase{"2023/11/14T22:13:20Z", std::nullopt},
                      ParseCase{"2023-11-14T22:13:20 +00:00", std::nullopt},
                      ParseCase{"yesterday", std::nullopt}));

// Whatever the nanoseconds, the stamped text reads back as the same whole second.
TEST(Rfc3339, FormattedTimestampsParseBackToTheirSecond) {
  uint64_t x = 0x9E3779B97F4A7C15ULL;
  for (int i = 0; i < 20000; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    const auto ns = static_cast<int64_t>(x);
    int64_t secs = ns / kNs;
    if (ns % kNs < 0) --secs;
    const std::string text = format_rfc3339_utc(ns);
    ASSERT_EQ(parse_rfc3339_seconds(text), secs) << text;
  }
}

}  // namespace
}  // namespace quillmere
