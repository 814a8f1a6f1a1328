// The CBOR writer (heads, float widths, half precision), the UTF-8 check, and the
// canonical order of generic values (sort keys, stability, untouched keys and
// tags, the nesting cap).
#include "codec/cbor_canon.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <random>

#include "codec/cbor_encode.h"
#include "test_support.h"

namespace quillmere {
namespace {

using test::to_hex;

template <typename F>
std::string written(F write) {
  std::vector<uint8_t> out;
  cbor::Writer w(out);
  write(w);
  return to_hex(out);
}

GenericValue map_of(std::vector<std::pair<GenericValue, GenericValue>> entries) {
  CborMap m;
  for (auto& [k, v] : entries) m.entries.push_back({std::move(k), std::move(v)});
  return m;
}

GenericValue array_of(std::vector<GenericValue> items) {
  return CborArray{std::move(items)};
}

GenericValue integer(int64_t i) {
  return GenericValue::integer(i);
}

// ---------------------------------------------------------------- heads

struct HeadCase {
  uint8_t major;
  uint64_t arg;
  const char* hex;
};

class Heads : public ::testing::TestWithParam<HeadCase> {};

TEST_P(Heads, ShortestArgumentForm) {
  const HeadCase& c = GetParam();
  EXPECT_EQ(written([&](cbor::Writer& w) { w.head(c.major, c.arg); }), c.hex);
}

INSTANTIATE_TEST_SUITE_P(Boundaries, Heads,
                         ::testing::Values(HeadCase{0, 0, "00"}, HeadCase{0, 23, "17"},
                                           HeadCase{0, 24, "1818"}, HeadCase{0, 255, "18ff"},
                                           HeadCase{0, 256, "190100"}, HeadCase{0, 65535, "19ffff"},
                                           HeadCase{0, 65536, "1a00010000"},
                                           HeadCase{0, 4294967295, "1affffffff"},
                                           HeadCase{0, 4294967296, "1b0000000100000000"},
                                           HeadCase{1, UINT64_MAX, "3bffffffffffffffff"},
                                           HeadCase{3, 71, "7847"}, HeadCase{4, 32, "9820"},
                                           HeadCase{5, 9, "a9"}, HeadCase{6, 40, "d828"}));

TEST(Writer, IntegersAcrossTheFullRange) {
  EXPECT_EQ(written([](cbor::Writer& w) { w.int64(-1); }), "20");
  EXPECT_EQ(written([](cbor::Writer& w) { w.int64(-25); }), "3818");
  EXPECT_EQ(written([](cbor::Writer& w) { w.int64(INT64_MIN); }), "3b7fffffffffffffff");
  EXPECT_EQ(written([](cbor::Writer& w) { w.integer({true, UINT64_MAX}); }), "3bffffffffffffffff");
  EXPECT_EQ(written([](cbor::Writer& w) { w.int64(INT64_MAX); }), "1b7fffffffffffffff");
}

TEST(Writer, StringsAndSimpleValues) {
  EXPECT_EQ(written([](cbor::Writer& w) { w.text(""); }), "60");
  EXPECT_EQ(written([](cbor::Writer& w) { w.text("\xC3\xA9"); }), "62c3a9");
  std::string long_text_hex = "7818";
  for (int i = 0; i < 24; ++i) long_text_hex += "61";
  EXPECT_EQ(written([](cbor::Writer& w) { w.text(std::string(24, 'a')); }), long_text_hex);
  std::vector<uint8_t> b = {1, 2};
  EXPECT_EQ(written([&](cbor::Writer& w) { w.bytes(b); }), "420102");
  EXPECT_EQ(written([](cbor::Writer& w) {
              w.null();
              w.boolean(false);
              w.boolean(true);
            }),
            "f6f4f5");
  EXPECT_EQ(cbor::key("chunk_manifest_size_bytes").view(),
            std::string("\x78\x19") + "chunk_manifest_size_bytes");
  EXPECT_EQ(cbor::key("rid").view(), "\x63rid");
}

// ---------------------------------------------------------------- floats

struct FloatCase {
  const char* name;
  double value;
  const char* hex;
};

class FloatWidth : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FloatWidth, NarrowestExactWidth) {
  EXPECT_EQ(written([](cbor::Writer& w) { w.float64(GetParam().value); }), GetParam().hex);
}

INSTANTIATE_TEST_SUITE_P(
    Values, FloatWidth,
    ::testing::Values(FloatCase{"OneAndAHalf", 1.5, "f93e00"}, FloatCase{"Zero", 0.0, "f90000"},
                      FloatCase{"NegativeZero", -0.0, "f98000"}, FloatCase{"One", 1.0, "f93c00"},
                      FloatCase{"HalfMax", 65504.0, "f97bff"},
                      FloatCase{"PastHalfMax", 65520.0, "fa477ff000"},
                      FloatCase{"HundredThousand", 100000.0, "fa47c35000"},
                      FloatCase{"SmallestHalfSubnormal", 5.960464477539063e-8, "f90001"},
                      FloatCase{"LargestHalfSubnormal", 6.097555160522461e-5, "f903ff"},
                      FloatCase{"HalfOfSmallestSubnormal", 2.9802322387695312e-8, "fa33000000"},
                      FloatCase{"SmallestHalfNormal", 6.103515625e-5, "f90400"},
                      FloatCase{"PointOne", 0.1, "fb3fb999999999999a"},
                      FloatCase{"PointOneAsSingle", 0.10000000149011612, "fa3dcccccd"},
                      FloatCase{"SingleMax", 3.4028234663852886e38, "fa7f7fffff"},
                      FloatCase{"BeyondSingle", 1e300, "fb7e37e43c8800759c"},
                      FloatCase{"SmallestSingleSubnormal", 1.401298464324817e-45, "fa00000001"},
                      FloatCase{"DoubleSubnormal", 5e-324, "fb0000000000000001"},
                      FloatCase{"TenToTheTwentyOne", 1e21, "fb444b1ae4d6e2ef50"},
                      FloatCase{"Infinity", std::numeric_limits<double>::infinity(), "f97c00"},
                      FloatCase{"NegativeInfinity", -std::numeric_limits<double>::infinity(),
                                "f9fc00"},
                      FloatCase{"QuietNaN", std::numeric_limits<double>::quiet_NaN(), "f97e00"},
                      FloatCase{"NaNWithSinglePayload",
                                std::bit_cast<double>(0x7FF8000020000000ULL), "fa7fc00001"},
                      FloatCase{"NaNWithLowPayload", std::bit_cast<double>(0x7FF8000000000001ULL),
                                "fb7ff8000000000001"},
                      FloatCase{"SignallingNaN", std::bit_cast<double>(0x7FF0000000000001ULL),
                                "fb7ff0000000000001"}),
    [](const auto& p) { return std::string(p.param.name); });

// Reads back the float the writer produced.
double read_float(const std::string& hex) {
  auto byte = [&](size_t i) {
    return static_cast<uint64_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16));
  };
  uint64_t v = 0;
  size_t n = hex.size() / 2 - 1;
  for (size_t i = 1; i <= n; ++i) v = (v << 8) | byte(i);
  if (n == 2) return cbor::half_to_double(static_cast<uint16_t>(v));
  if (n == 4) return static_cast<double>(std::bit_cast<float>(static_cast<uint32_t>(v)));
  return std::bit_cast<double>(v);
}

TEST(FloatWidth, EveryWrittenFloatReadsBackBitForBit) {
  std::mt19937_64 rng(42);
  std::vector<double> values;
  for (int i = 0; i < 20000; ++i) {
    values.push_back(std::bit_cast<double>(rng()));  // any bits
    values.push_back(static_cast<double>(std::bit_cast<float>(static_cast<uint32_t>(rng()))));
    values.push_back(cbor::half_to_double(static_cast<uint16_t>(rng())));  // half values
    values.push_back(
        std::ldexp(static_cast<double>(rng() % 4096), static_cast<int>(rng() % 80) - 60));
  }
  for (double d : values) {
    if (std::isnan(d)) continue;  // NaN payload rules are covered by the table
    std::string hex = written([&](cbor::Writer& w) { w.float64(d); });
    ASSERT_EQ(std::bit_cast<uint64_t>(read_float(hex)), std::bit_cast<uint64_t>(d)) << hex;
    // No narrower width would have done.
    size_t width = hex.size() / 2 - 1;
    if (width >= 4) {
      EXPECT_NE(std::bit_cast<uint64_t>(cbor::half_to_double(cbor::double_to_half(d))),
                std::bit_cast<uint64_t>(d));
    }
    if (width == 8 && std::fabs(d) <= std::numeric_limits<float>::max()) {
      EXPECT_NE(static_cast<double>(static_cast<float>(d)), d);
    }
  }
}

TEST(HalfPrecision, EveryHalfSurvivesARoundTrip) {
  for (uint32_t h = 0; h <= 0xFFFF; ++h) {
    auto half = static_cast<uint16_t>(h);
    double d = cbor::half_to_double(half);
    bool nan = (half & 0x7C00) == 0x7C00 && (half & 0x3FF) != 0;
    if (nan) {
      ASSERT_TRUE(std::isnan(d)) << h;
      // A NaN comes back quiet, with its payload.
      ASSERT_EQ(cbor::double_to_half(d), half | 0x0200) << h;
    } else {
      ASSERT_EQ(cbor::double_to_half(d), half) << h;
    }
  }
  EXPECT_EQ(cbor::half_to_double(0x3555), 0.333251953125);
  EXPECT_EQ(cbor::half_to_double(0x0001), std::ldexp(1.0, -24));
  EXPECT_EQ(cbor::half_to_double(0xC400), -4.0);
}

struct RoundingCase {
  const char* name;
  double value;
  uint16_t half;
};

class HalfRounding : public ::testing::TestWithParam<RoundingCase> {};

TEST_P(HalfRounding, NearestTiesToEven) {
  EXPECT_EQ(cbor::double_to_half(GetParam().value), GetParam().half);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HalfRounding,
    ::testing::Values(
        RoundingCase{"TieDownToEven", 1.0 + std::ldexp(1.0, -11), 0x3C00},
        RoundingCase{"TieUpToEven", 1.0 + 3 * std::ldexp(1.0, -11), 0x3C02},
        RoundingCase{"AboveTie", 1.0 + std::ldexp(1.0, -11) + std::ldexp(1.0, -30), 0x3C01},
        RoundingCase{"CarryIntoExponent", 2.0 - std::ldexp(1.0, -12), 0x4000},
        RoundingCase{"LargestFinite", 65519.0, 0x7BFF},
        RoundingCase{"OverflowToInfinity", 65520.0, 0x7C00},
        RoundingCase{"HugeToInfinity", -1e300, 0xFC00},
        RoundingCase{"SubnormalTieToZero", std::ldexp(1.0, -25), 0x0000},
        RoundingCase{"SubnormalAboveTie", std::ldexp(1.0, -25) + std::ldexp(1.0, -40), 0x0001},
        RoundingCase{"SubnormalTieToEven", 3 * std::ldexp(1.0, -25), 0x0002},
        RoundingCase{"SubnormalCarryToNormal", 1023.5 * std::ldexp(1.0, -24), 0x0400},
        RoundingCase{"NegativeTiny", -1e-30, 0x8000},
        RoundingCase{"DoubleSubnormal", 5e-324, 0x0000}),
    [](const auto& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------- UTF-8

struct Utf8Case {
  const char* name;
  std::string text;
  bool valid;
};

class Utf8 : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8, WellFormedOnly) {
  EXPECT_EQ(utf8::is_valid(GetParam().text), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Utf8,
    ::testing::Values(
        Utf8Case{"Empty", "", true}, Utf8Case{"Ascii", "plain ascii text!", true},
        Utf8Case{"TwoByte", "caf\xC3\xA9", true}, Utf8Case{"ThreeByte", "\xE2\x82\xAC", true},
        Utf8Case{"FourByte", "\xF0\x9F\x98\x80", true},
        Utf8Case{"LastCodePoint", "\xF4\x8F\xBF\xBF", true},
        Utf8Case{"AfterLongAscii", std::string(19, 'x') + "\xC3\xA9", true},
        Utf8Case{"LoneContinuation", "a\x80", false}, Utf8Case{"OverlongTwo", "\xC0\xAF", false},
        Utf8Case{"OverlongThree", "\xE0\x80\xAF", false},
        Utf8Case{"OverlongFour", "\xF0\x80\x80\xAF", false},
        Utf8Case{"Surrogate", "\xED\xA0\x80", false},
        Utf8Case{"BeyondUnicode", "\xF4\x90\x80\x80", false},
        Utf8Case{"TruncatedAtEnd", std::string(9, 'x') + "\xE2\x82", false},
        Utf8Case{"BadSecondByte", "\xE2\x28\xA1", false}, Utf8Case{"InvalidLead", "\xFF", false}),
    [](const auto& p) { return std::string(p.param.name); });

// ---------------------------------------------------------------- sort keys

TEST(FormatKey, TextIsItsBytesOtherKeysTheirCanonicalEncoding) {
  EXPECT_EQ(to_hex(format_key("attest")), "617474657374");
  EXPECT_EQ(to_hex(format_key("")), "");
  EXPECT_EQ(to_hex(format_key(integer(1))), "01");
  EXPECT_EQ(to_hex(format_key(integer(-1))), "20");
  EXPECT_EQ(to_hex(format_key(1.5)), "f93e00");
  EXPECT_EQ(to_hex(format_key(CborBytes{{0xAB}})), "41ab");
  // A map key is sorted by its canonicalised encoding.
  EXPECT_EQ(to_hex(format_key(map_of({{"b", integer(1)}, {"a", integer(2)}}))), "a2616102616201");
  // ...but a tag's content is not touched.
  EXPECT_EQ(to_hex(format_key(CborTag{1, map_of({{"b", integer(1)}, {"a", integer(2)}})})),
            "c1a2616201616102");
}

TEST(FormatKey, TooDeepAKeyStillGetsASortKey) {
  GenericValue v = integer(0);
  for (int i = 0; i < 300; ++i) {
    CborArray a;
    a.items.push_back(std::move(v));
    v = std::move(a);
  }
  std::vector<uint8_t> k = format_key(v);
  EXPECT_FALSE(k.empty());
  EXPECT_EQ(k.front(), 'A');  // a description, not CBOR
}

// ---------------------------------------------------------------- canon_value

GenericValue canon(GenericValue v) {
  EXPECT_TRUE(canon_value(v).has_value());
  return v;
}

TEST(CanonValue, SortsByKeyBytesNotByEncodedLength) {
  // Whole encodings would put the shorter "cod" first; key bytes put "attest" first.
  GenericValue v = canon(map_of({{"cod", integer(1)},
                                 {"attest", integer(2)},
                                 {"B", integer(3)},
                                 {"aa", integer(4)},
                                 {"\xC3\xA9", integer(5)},
                                 {"a", integer(6)}}));
  std::vector<std::string> keys;
  for (const auto& e : std::get<CborMap>(v.v).entries)
    keys.push_back(std::get<std::string>(e.key.v));
  EXPECT_EQ(keys, (std::vector<std::string>{"B", "a", "aa", "attest", "cod", "\xC3\xA9"}));
}

TEST(CanonValue, MixedKeyTypesOrderedBySortKey) {
  GenericValue v = canon(map_of({{"b", "text b"},
                                 {array_of({}), "array"},
                                 {"a", "text a"},
                                 {CborBytes{}, "bytes"},
                                 {integer(-1), "minus one"},
                                 {"", "empty text"},
                                 {integer(1), "one"}}));
  std::vector<std::string> order;
  for (const auto& e : std::get<CborMap>(v.v).entries)
    order.push_back(std::get<std::string>(e.value.v));
  EXPECT_EQ(order, (std::vector<std::string>{"empty text", "one", "minus one", "bytes", "text a",
                                             "text b", "array"}));
}

TEST(CanonValue, EqualSortKeysKeepTheirOrder) {
  // The text "\x01" and the integer 1 share the sort key 01; duplicates share theirs.
  for (bool int_first : {true, false}) {
    GenericValue a = integer(1);
    GenericValue b = "\x01";
    GenericValue v = canon(map_of({{"z", nullptr},
                                   {int_first ? a : b, "first"},
                                   {"k", "k1"},
                                   {int_first ? b : a, "second"},
                                   {"k", "k2"}}));
    const auto& e = std::get<CborMap>(v.v).entries;
    ASSERT_EQ(e.size(), 5U);
    EXPECT_EQ(e[0].value, GenericValue("first"));
    EXPECT_EQ(e[1].value, GenericValue("second"));
    EXPECT_EQ(e[2].value, GenericValue("k1"));
    EXPECT_EQ(e[3].value, GenericValue("k2"));
  }
}

TEST(CanonValue, ValuesCanonicalisedKeysAndTagsLeftAsHeld) {
  GenericValue key = map_of({{"y", integer(1)}, {"x", integer(2)}});
  GenericValue tag = CborTag{7, map_of({{"q", integer(1)}, {"p", integer(2)}})};
  GenericValue v = canon(
      array_of({map_of({{key, map_of({{"d", integer(1)}, {"c", integer(2)}})}, {"t", tag}})}));
  // "t" (74) sorts before the map key, whose sort key starts with its head A2.
  GenericValue expected =
      array_of({map_of({{"t", tag}, {key, map_of({{"c", integer(2)}, {"d", integer(1)}})}})});
  EXPECT_EQ(v, expected);
  // Writing the canonical form of the original gives the same bytes as writing the result.
  std::vector<uint8_t> direct, after;
  cbor::Writer dw(direct), aw(after);
  ASSERT_TRUE(cbor::encode_canonical(
      dw, array_of({map_of({{key, map_of({{"d", integer(1)}, {"c", integer(2)}})}, {"t", tag}})}),
      kMaxCborNesting));
  ASSERT_TRUE(cbor::encode_as_held(aw, v, kMaxCborNesting));
  EXPECT_EQ(direct, after);
}

TEST(CanonValue, RefusesTooDeepAValueWithoutChangingIt) {
  auto deep = [](size_t levels) {
    GenericValue v = map_of({{"b", integer(1)}, {"a", integer(2)}});
    for (size_t i = 1; i < levels; ++i) {
      CborArray a;
      a.items.push_back(std::move(v));
      v = std::move(a);
    }
    return v;
  };
  GenericValue ok = deep(kMaxCborNesting);
  EXPECT_TRUE(canon_value(ok).has_value());
  GenericValue too_deep = deep(kMaxCborNesting + 1);
  GenericValue before = too_deep;
  auto r = canon_value(too_deep);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, CanonicalError::Kind::Conversion);
  EXPECT_EQ(too_deep, before);
}

TEST(NestingDepth, CountsContainersAndStopsPastTheLimit) {
  EXPECT_EQ(nesting_depth(integer(1), 10), 0U);
  EXPECT_EQ(nesting_depth(array_of({}), 10), 1U);
  EXPECT_EQ(nesting_depth(CborTag{1, integer(1)}, 10), 1U);
  EXPECT_EQ(nesting_depth(map_of({{array_of({array_of({})}), integer(1)}}), 10), 3U);
  EXPECT_EQ(nesting_depth(array_of({array_of({array_of({})})}), 2), 3U);
}

TEST(EncodeAsHeld, RefusesBeyondTheBudget) {
  GenericValue v = array_of({array_of({integer(1)})});
  std::vector<uint8_t> out;
  cbor::Writer w(out);
  EXPECT_TRUE(cbor::encode_as_held(w, v, 2));
  EXPECT_EQ(to_hex(out), "818101");
  out.clear();
  EXPECT_FALSE(cbor::encode_as_held(w, v, 1));
  EXPECT_FALSE(cbor::encode_canonical(w, v, 1));
}

}  // namespace
}  // namespace quillmere
