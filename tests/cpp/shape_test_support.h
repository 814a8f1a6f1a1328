// Shared by the chunking and shape tests: the known-answer vector inputs, and literal
// reference forms of the window hash and the chunker (the Merkle tree and the whole
// manifest are in reference_manifest.h).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "codec/json_reader.h"
#include "codec/sha256.h"
#include "reference_manifest.h"

namespace quillmere::testing_support {

using Bytes = std::vector<uint8_t>;
using Spans = std::vector<std::pair<uint64_t, uint64_t>>;  // (offset, length)

inline JsonValue load_vectors(const std::string& name) {
  std::ifstream in(std::string(QM_VECTORS_DIR) + "/" + name, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  auto parsed = parse_json(text.str());
  if (!parsed) ADD_FAILURE() << name << ": " << parsed.error().display();
  return parsed ? *parsed : JsonValue();
}

inline const JsonValue& field(const JsonValue& object, std::string_view key) {
  static const JsonValue kNull;
  const JsonValue* v = object.as_object().find(key);
  return v != nullptr ? *v : kNull;
}

// The input a vector describes: zeros, i % 251, or the seeded SHA-256 counter stream.
inline Bytes vector_input(const JsonValue& input) {
  const std::string& kind = field(input, "kind").as_string();
  const uint64_t length = field(input, "length").as_u64();
  Bytes out(length);
  if (kind == "mod251") {
    for (uint64_t i = 0; i < length; ++i) out[i] = static_cast<uint8_t>(i % 251);
  } else if (kind == "stream") {
    const std::string& seed = field(input, "seed").as_string();
    Sha256 sha;
    for (uint64_t pos = 0, counter = 0; pos < length; ++counter) {
      uint8_t be[8];
      for (int k = 0; k < 8; ++k) be[k] = static_cast<uint8_t>(counter >> (56 - 8 * k));
      sha.update(seed);
      sha.update(be, 8);
      const Digest d = sha.finish();
      const uint64_t n = std::min<uint64_t>(d.size(), length - pos);
      std::copy_n(d.begin(), n, out.begin() + static_cast<std::ptrdiff_t>(pos));
      pos += n;
    }
  }
  return out;
}

inline Bytes random_bytes(std::mt19937_64& rng, size_t n, unsigned alphabet = 256) {
  Bytes out(n);
  std::uniform_int_distribution<unsigned> byte(0, alphabet - 1);
  for (auto& b : out) b = static_cast<uint8_t>(byte(rng));
  return out;
}

// The window hash exactly as defined: 48 multiply-adds from zero.
inline uint64_t literal_window_hash(const uint8_t* p) {
  uint64_t h = 0;
  for (int k = 0; k < 48; ++k) h = h * 31 + p[k];
  return h;
}

// Content-defined chunking written step by step as defined (small sizes only).
inline Spans literal_cdc(const Bytes& data, uint64_t avg) {
  const uint64_t n = data.size(), min_size = avg / 2, max_size = 2 * avg;
  Spans out;
  for (uint64_t start = 0; start < n;) {
    const uint64_t limit = std::min(start + max_size, n);
    uint64_t end = n;
    if (start + min_size < n) {
      for (uint64_t i = start + min_size;; ++i) {
        if (i >= limit) {
          end = limit;
          break;
        }
        if (i + 48 > n) {
          end = n;
          break;
        }
        if (i + 48 <= limit && literal_window_hash(&data[i]) % avg == 0) {
          end = i + 48;
          break;
        }
      }
    }
    out.emplace_back(start, end - start);
    start = end;
  }
  return out;
}

inline std::string hex(const Digest& d) {
  std::string out;
  append_hex(out, d.data(), d.size());
  return out;
}

}  // namespace quillmere::testing_support
