// The record cutter's block masks: the processor's fast form against the portable one.
#include "engine/sketch.h"

#include <gtest/gtest.h>

#include <random>

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

}  // namespace
}  // namespace quillmere
