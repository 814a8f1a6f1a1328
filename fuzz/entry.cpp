// libFuzzer entry point; QM_FUZZ_TARGET names the target function this binary runs.
#include <cstddef>
#include <cstdint>

#include "targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  quillmere::fuzz::QM_FUZZ_TARGET({data, size});
  return 0;
}
