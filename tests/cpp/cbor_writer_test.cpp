// The CBOR writer's two outputs: a reusable byte buffer gives exactly the bytes of
// the vector output, across head-size boundaries and buffer growth.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "codec/cbor_encode.h"

namespace quillmere {
namespace {

// Writes the same items through a vector and through a byte buffer.
template <typename F>
void expect_same_bytes(F write) {
  std::vector<uint8_t> vec;
  cbor::Writer vw(vec);
  write(vw);
  cbor::ByteBuffer buf;
  cbor::Writer bw(buf);
  write(bw);
  ASSERT_EQ(buf.size(), vec.size());
  EXPECT_EQ(std::memcmp(buf.data(), vec.data(), vec.size()), 0);
  EXPECT_EQ(bw.text_ok(), vw.text_ok());
}

class HeadBoundaries : public ::testing::TestWithParam<uint64_t> {};

TEST_P(HeadBoundaries, BufferAndVectorAgree) {
  const uint64_t arg = GetParam();
  expect_same_bytes([arg](cbor::Writer& w) {
    for (uint8_t major = 0; major < 8; ++major) w.head(major, arg);
    w.int64(-static_cast<int64_t>(arg & 0x7FFFFFFFFFFFFFFF) - 1);
  });
}

INSTANTIATE_TEST_SUITE_P(Args, HeadBoundaries,
                         ::testing::Values(0, 23, 24, 255, 256, 65535, 65536, 0xFFFFFFFFULL,
                                           0x100000000ULL, UINT64_MAX));

TEST(ByteBuffer, GrowsAcrossManyAppendsKeepingEarlierBytes) {
  expect_same_bytes([](cbor::Writer& w) {
    for (int i = 0; i < 3000; ++i) {
      w.text(std::string(static_cast<size_t>(i % 300), static_cast<char>('a' + i % 26)));
      w.float64(i * 0.5);
      w.null();
    }
    w.bytes(std::vector<uint8_t>(100000, 7));
  });
}

TEST(ByteBuffer, InvalidTextIsWrittenAndRemembered) {
  expect_same_bytes([](cbor::Writer& w) { w.text("ok\xFF"); });
  cbor::ByteBuffer buf;
  cbor::Writer w(buf);
  w.text(std::string(200, 'x'));
  EXPECT_TRUE(w.text_ok());
  w.text("\xED\xA0\x80");  // a surrogate
  EXPECT_FALSE(w.text_ok());
}

TEST(ByteBuffer, ClearAndReleaseEmptyIt) {
  cbor::ByteBuffer buf;
  std::memset(buf.extend(1000), 1, 1000);
  EXPECT_EQ(buf.size(), 1000u);
  EXPECT_GE(buf.capacity(), 1000u);
  buf.clear();
  EXPECT_EQ(buf.size(), 0u);
  EXPECT_GE(buf.capacity(), 1000u);
  buf.release();
  EXPECT_EQ(buf.capacity(), 0u);
  *buf.extend(1) = 9;
  EXPECT_EQ(buf.data()[0], 9);
}

}  // namespace
}  // namespace quillmere
