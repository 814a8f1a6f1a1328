// What the fuzz targets share: a failed property aborts with its message (libFuzzer
// then saves the input), and a reader that takes typed values off the input bytes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

namespace quillmere::fuzz {

[[noreturn]] inline void fail(const char* file, int line, const char* what,
                              std::string_view detail) {
  std::fprintf(stderr, "%s:%d: property failed: %s\n", file, line, what);
  if (!detail.empty()) {
    std::fprintf(stderr, "  %.*s\n", static_cast<int>(std::min<size_t>(detail.size(), 4000)),
                 detail.data());
  }
  std::abort();
}

// Checks a property of the code under test; on failure prints it and aborts.
#define QM_FUZZ_CHECK(cond)                                              \
  do {                                                                   \
    if (!(cond)) ::quillmere::fuzz::fail(__FILE__, __LINE__, #cond, {}); \
  } while (0)
// The same, also printing `detail` (evaluated only on failure).
#define QM_FUZZ_CHECK_MSG(cond, detail)                                        \
  do {                                                                         \
    if (!(cond)) ::quillmere::fuzz::fail(__FILE__, __LINE__, #cond, (detail)); \
  } while (0)

inline std::string_view as_text(std::span<const uint8_t> bytes) {
  return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

// Takes typed values off the front of the input; past the end every value is zero.
class InputReader {
 public:
  explicit InputReader(std::span<const uint8_t> data) : data_(data) {}

  uint8_t byte() {
    if (data_.empty()) return 0;
    const uint8_t b = data_[0];
    data_ = data_.subspan(1);
    return b;
  }
  template <typename T>
  T integer() {
    T v = 0;
    for (size_t i = 0; i < sizeof(T); ++i) v = static_cast<T>((v << 8) | byte());
    return v;
  }
  bool boolean() { return (byte() & 1) != 0; }
  // Up to `n` bytes.
  std::span<const uint8_t> bytes(size_t n) {
    n = std::min(n, data_.size());
    auto out = data_.first(n);
    data_ = data_.subspan(n);
    return out;
  }
  // A string whose length comes first (one byte).
  std::string short_text() {
    auto b = bytes(byte());
    return std::string(as_text(b));
  }
  std::span<const uint8_t> rest() {
    auto out = data_;
    data_ = {};
    return out;
  }
  bool empty() const { return data_.empty(); }

 private:
  std::span<const uint8_t> data_;
};

}  // namespace quillmere::fuzz
