// The record cutter's block masks and quote parity: the processor's fast forms against the
// portable ones.
#include "shapes/sketch.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace quillmere {
namespace {

TEST(SketchMasks, FastFormEqualsPortableForm) {
  std::mt19937 rng(7);
  const uint8_t alphabet[] = {'\n', '"', 'a', '\r', 0, 0xFF};
  uint8_t block[64];
  for (int round = 0; round < 20000; ++round) {
    for (auto& byte : block) byte = alphabet[rng() % sizeof alphabet];
    const auto fast = detail::mask_function()(block);
    const auto portable = detail::block_masks_portable(block);
    ASSERT_EQ(fast.newline, portable.newline);
    ASSERT_EQ(fast.quote, portable.quote);
  }
}

#if defined(__x86_64__)
TEST(SketchMasks, CarryLessQuoteParityEqualsPortableForm) {
  if (!__builtin_cpu_supports("pclmul")) GTEST_SKIP() << "no PCLMUL";
  std::mt19937_64 rng(11);
  std::vector<uint64_t> masks = {0, ~uint64_t{0}, 1, uint64_t{1} << 63, 0x8000000000000001ULL};
  for (int round = 0; round < 20000; ++round) masks.push_back(rng() & rng());
  for (const uint64_t x : masks) {
    ASSERT_EQ(detail::prefix_xor_clmul(x), detail::prefix_xor_portable(x)) << x;
  }
  EXPECT_EQ(detail::prefix_xor_portable(0b10010), 0b01110u);  // quote at 1 opens, at 4 closes
}
#endif

}  // namespace
}  // namespace quillmere
