// Every finite float32, written as a float32 field is written and read back the way
// a float32 field is read (the text's number, then the nearest float): the value
// must come back bit for bit. Also counts the values written with more digits than
// their shortest float text, which only the reader's double rounding calls for.
//
// Slow (all 2^32 bit patterns; minutes on one core), so not part of the test run:
//   nice -n 10 build/release/bench/float32_text_sweep [first_bits last_bits]
#include <bit>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "codec/json_cursor.h"
#include "codec/json_text.h"

namespace {

using namespace quillmere;

// The float a float32 field reads from `text`, or NaN when the text is not a number.
float read_back(const std::string& text) {
  json_lex::Cursor cursor(text);
  JsonValue number;
  if (!cursor.parse_number(number)) return std::nanf("");
  double d = 0.0;
  if (number.is_f64()) {
    d = number.as_f64();
  } else if (number.is_u64()) {
    d = static_cast<double>(number.as_u64());
  } else {
    d = static_cast<double>(number.as_i64());
  }
  return nearest_float(d);
}

// Significant digits of a written number: its digits before any exponent, without
// leading and trailing zeros.
size_t significant_digits(const std::string& text) {
  size_t count = 0, zeros = 0;
  for (char c : text) {
    if (c == 'e') break;
    if (c < '0' || c > '9' || (count == 0 && c == '0')) continue;
    ++count;
    zeros = c == '0' ? zeros + 1 : 0;
  }
  return count - zeros;
}

// Digits of the shortest text that names `v` as a float.
size_t shortest_length(float v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  size_t digits = 0;
  for (const char* p = buf; p < r.ptr && *p != 'e'; ++p) digits += *p >= '0' && *p <= '9';
  return digits;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t first = 0;
  uint64_t last = 0xFFFFFFFF;
  if (argc == 3) {
    first = std::strtoull(argv[1], nullptr, 0);
    last = std::strtoull(argv[2], nullptr, 0);
  }
  uint64_t checked = 0, failures = 0, longer = 0;
  std::string text;
  for (uint64_t bits = first; bits <= last; ++bits) {
    const float v = std::bit_cast<float>(static_cast<uint32_t>(bits));
    if (!std::isfinite(v)) continue;
    ++checked;
    text.clear();
    append_f32(text, v);
    const float back = read_back(text);
    if (std::bit_cast<uint32_t>(back) != std::bit_cast<uint32_t>(v)) {
      if (++failures <= 20) {
        std::printf("0x%08" PRIx64 " written %s reads back as 0x%08" PRIx32 "\n", bits,
                    text.c_str(), std::bit_cast<uint32_t>(back));
      }
    }
    if (significant_digits(text) > shortest_length(v)) {
      if (++longer <= 20) std::printf("0x%08" PRIx64 " written %s\n", bits, text.c_str());
    }
  }
  std::printf("finite floats checked: %" PRIu64 ", not read back: %" PRIu64
              ", written longer than their shortest digits: %" PRIu64 "\n",
              checked, failures, longer);
  return failures == 0 ? 0 : 1;
}
