// The fuzz targets: each runs one input through the code under test and checks the
// properties that must hold for every input. They are plain functions so that the
// regression test can replay saved inputs without libFuzzer.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace quillmere::fuzz {

// Receipt JSON text: the one-pass reader against the general reader, then write and
// read back, then validation and hashing. A NUL byte splits the input: the text
// before it is read first into the receipt that the one-pass reader then reuses.
void receipt_target(std::span<const uint8_t> input);
// JSON text: the value reader and the canonical text, from the tree and straight
// from the text; canonical text reads back to itself.
void json_target(std::span<const uint8_t> input);
// A chunk scheme, a piece-size seed and data: the manifest, the streaming chunker fed
// in random pieces, the file reading and the bytes function agree.
void chunking_target(std::span<const uint8_t> input);
// Identifier text, base64url, RFC 3339 timestamps and generic values through CBOR,
// chosen by the first byte.
void values_target(std::span<const uint8_t> input);

struct Target {
  std::string_view name;
  void (*run)(std::span<const uint8_t>);
};
inline constexpr Target kTargets[] = {
    {"receipt", receipt_target},
    {"json", json_target},
    {"chunking", chunking_target},
    {"values", values_target},
};

}  // namespace quillmere::fuzz
