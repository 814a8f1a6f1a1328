// Several SHA-256 computations at once. The x86 SHA instructions have a latency of a few
// cycles but can issue more often than that, so a single message leaves the unit idle
// most of the time; two independent messages, their rounds interleaved, keep it busy.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "codec/sha256_lanes.h"

#include <openssl/sha.h>

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define QM_SHA_INSTRUCTIONS 1
#define QM_SHA_TARGET __attribute__((target("sha,sse4.1,ssse3")))
#else
#define QM_SHA_INSTRUCTIONS 0
#endif

namespace quillmere {
namespace {

bool detect_instructions() {
#if QM_SHA_INSTRUCTIONS
  unsigned a = 0, b = 0, c = 0, d = 0;
  if (__get_cpuid(1, &a, &b, &c, &d) == 0) return false;
  const bool ssse3 = (c & (1u << 9)) != 0;
  const bool sse41 = (c & (1u << 19)) != 0;
  if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
  const bool sha = (b & (1u << 29)) != 0;
  return ssse3 && sse41 && sha;
#else
  return false;
#endif
}

// Asked once, on first use (not at static initialisation, which other libraries' static
// initialisers could precede).
bool accelerated() {
  static const bool answer = detect_instructions();
  return answer;
}

#if QM_SHA_INSTRUCTIONS

alignas(16) constexpr uint32_t kRoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

// `lanes` computations, each over its own `nblocks` contiguous blocks. The state is kept as
// the instructions want it: one register with words A, B, E, F and one with C, D, G, H.
// With `digests`, the computations start from the initial state (`states` unused) and end
// as digests.
template <int kLanes>
QM_SHA_TARGET void compress_lanes(Sha256State* const* states, const uint8_t* const* blocks,
                                  size_t nblocks, Digest* digests = nullptr) {
  const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
  const auto* k = reinterpret_cast<const __m128i*>(kRoundConstants);
  __m128i abef[kLanes];
  __m128i cdgh[kLanes];
#pragma GCC unroll 4
  for (int l = 0; l < kLanes; ++l) {
    const uint32_t* start = digests != nullptr ? kSha256Initial.data() : states[l]->data();
    __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i*>(start));
    __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i*>(start + 4));
    low = _mm_shuffle_epi32(low, 0xB1);    // C D A B
    high = _mm_shuffle_epi32(high, 0x1B);  // E F G H
    abef[l] = _mm_alignr_epi8(low, high, 8);
    cdgh[l] = _mm_blend_epi16(high, low, 0xF0);
  }
  for (size_t n = 0; n < nblocks; ++n) {
    __m128i saved_abef[kLanes];
    __m128i saved_cdgh[kLanes];
    __m128i w[kLanes][4];
#pragma GCC unroll 4
    for (int l = 0; l < kLanes; ++l) {
      saved_abef[l] = abef[l];
      saved_cdgh[l] = cdgh[l];
      const auto* in = reinterpret_cast<const __m128i*>(blocks[l] + 64 * n);
#pragma GCC unroll 4
      for (int j = 0; j < 4; ++j) w[l][j] = _mm_shuffle_epi8(_mm_loadu_si128(in + j), byte_swap);
    }
    // Sixteen steps of four rounds; from the fifth on, each step's four schedule words come
    // from the four before them.
#pragma GCC unroll 16
    for (int i = 0; i < 16; ++i) {
      const __m128i constants = _mm_load_si128(k + i);
#pragma GCC unroll 4
      for (int l = 0; l < kLanes; ++l) {
        if (i >= 4) {
          const __m128i carried = _mm_alignr_epi8(w[l][(i + 3) % 4], w[l][(i + 2) % 4], 4);
          const __m128i partial =
              _mm_add_epi32(_mm_sha256msg1_epu32(w[l][i % 4], w[l][(i + 1) % 4]), carried);
          w[l][i % 4] = _mm_sha256msg2_epu32(partial, w[l][(i + 3) % 4]);
        }
        __m128i msg = _mm_add_epi32(w[l][i % 4], constants);
        cdgh[l] = _mm_sha256rnds2_epu32(cdgh[l], abef[l], msg);
        msg = _mm_shuffle_epi32(msg, 0x0E);
        abef[l] = _mm_sha256rnds2_epu32(abef[l], cdgh[l], msg);
      }
    }
#pragma GCC unroll 4
    for (int l = 0; l < kLanes; ++l) {
      abef[l] = _mm_add_epi32(abef[l], saved_abef[l]);
      cdgh[l] = _mm_add_epi32(cdgh[l], saved_cdgh[l]);
    }
  }
#pragma GCC unroll 4
  for (int l = 0; l < kLanes; ++l) {
    const __m128i feba = _mm_shuffle_epi32(abef[l], 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh[l], 0xB1);
    const __m128i abcd = _mm_blend_epi16(feba, dchg, 0xF0);
    const __m128i efgh = _mm_alignr_epi8(dchg, feba, 8);
    if (digests != nullptr) {  // the words big-endian
      auto* out = reinterpret_cast<__m128i*>(digests[l].data());
      _mm_storeu_si128(out, _mm_shuffle_epi8(abcd, byte_swap));
      _mm_storeu_si128(out + 1, _mm_shuffle_epi8(efgh, byte_swap));
    } else {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(states[l]->data()), abcd);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(states[l]->data() + 4), efgh);
    }
  }
}

#endif

// Pads the tail of a message: its last partial block, 0x80, zeros and the bit length, in one
// or two blocks. Returns how many.
size_t pad_tail(std::span<const uint8_t> message, uint8_t (&tail)[128]) {
  const size_t rest = message.size() % 64;
  const size_t blocks = rest < 56 ? 1 : 2;
  std::memset(tail, 0, sizeof tail);
  if (rest != 0) std::memcpy(tail, message.data() + message.size() - rest, rest);
  tail[rest] = 0x80;
  const uint64_t bits = uint64_t{message.size()} * 8;
  for (size_t i = 0; i < 8; ++i) tail[64 * blocks - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));
  return blocks;
}

// One message's blocks: its whole blocks in place, then the padded tail.
struct Blocks {
  std::span<const uint8_t> message;
  uint8_t tail[128];
  size_t whole = 0;
  size_t count = 0;

  void set(std::span<const uint8_t> m) {
    message = m;
    whole = m.size() / 64;
    count = whole + pad_tail(m, tail);
  }
  const uint8_t* at(size_t n) const {
    return n < whole ? message.data() + 64 * n : tail + 64 * (n - whole);
  }
};

}  // namespace

Digest sha256_digest_of(const Sha256State& state) {
  Digest out;
  for (size_t i = 0; i < 8; ++i) {
    const uint32_t word = state[i];
    const uint8_t bytes[4] = {static_cast<uint8_t>(word >> 24), static_cast<uint8_t>(word >> 16),
                              static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word)};
    std::memcpy(out.data() + 4 * i, bytes, 4);
  }
  return out;
}

bool sha256_lanes_accelerated() {
  return accelerated();
}

namespace sha256_paths {

void compress_openssl(Sha256State* states, const uint8_t* const* blocks, size_t count,
                      size_t nblocks) {
  for (size_t i = 0; i < count; ++i) {
    SHA256_CTX ctx{};
    for (size_t w = 0; w < 8; ++w) ctx.h[w] = states[i][w];
    for (size_t n = 0; n < nblocks; ++n) SHA256_Transform(&ctx, blocks[i] + 64 * n);
    for (size_t w = 0; w < 8; ++w) states[i][w] = static_cast<uint32_t>(ctx.h[w]);
  }
}

void compress_instructions(Sha256State* states, const uint8_t* const* blocks, size_t count,
                           size_t nblocks) {
#if QM_SHA_INSTRUCTIONS
  size_t i = 0;
  for (; i + 2 <= count; i += 2) {
    Sha256State* const pair[2] = {&states[i], &states[i + 1]};
    compress_lanes<2>(pair, blocks + i, nblocks);
  }
  if (i < count) {
    Sha256State* const one[1] = {&states[i]};
    compress_lanes<1>(one, blocks + i, nblocks);
  }
#else
  compress_openssl(states, blocks, count, nblocks);
#endif
}

}  // namespace sha256_paths

void sha256_compress_many(Sha256State* states, const uint8_t* const* blocks, size_t count,
                          size_t nblocks) {
  if (accelerated()) {
    sha256_paths::compress_instructions(states, blocks, count, nblocks);
  } else {
    sha256_paths::compress_openssl(states, blocks, count, nblocks);
  }
}

void sha256_padded_many(const uint8_t* const* blocks, size_t count, size_t nblocks, Digest* out) {
#if QM_SHA_INSTRUCTIONS
  if (accelerated()) {
    size_t i = 0;
    for (; i + 2 <= count; i += 2) compress_lanes<2>(nullptr, blocks + i, nblocks, out + i);
    if (i < count) compress_lanes<1>(nullptr, blocks + i, nblocks, out + i);
    return;
  }
#endif
  for (size_t i = 0; i < count; ++i) {
    Sha256State state = kSha256Initial;
    sha256_paths::compress_openssl(&state, blocks + i, 1, nblocks);
    out[i] = sha256_digest_of(state);
  }
}

void sha256_many(std::span<const std::span<const uint8_t>> messages, Digest* out) {
  // Two messages at a time, block by block while both have blocks left.
  Blocks lanes[2];
  for (size_t i = 0; i < messages.size(); i += 2) {
    const size_t width = std::min<size_t>(2, messages.size() - i);
    Sha256State states[2] = {kSha256Initial, kSha256Initial};
    size_t longest = 0;
    for (size_t l = 0; l < width; ++l) {
      lanes[l].set(messages[i + l]);
      longest = std::max(longest, lanes[l].count);
    }
    for (size_t n = 0; n < longest; ++n) {
      Sha256State* live[2];
      const uint8_t* at[2];
      size_t k = 0;
      for (size_t l = 0; l < width; ++l) {
        if (n < lanes[l].count) {
          live[k] = &states[l];
          at[k++] = lanes[l].at(n);
        }
      }
      // Both lanes live means both states, side by side in `states`.
      sha256_compress_many(k == 2 ? states : live[0], at, k, 1);
    }
    for (size_t l = 0; l < width; ++l) out[i + l] = sha256_digest_of(states[l]);
  }
}

}  // namespace quillmere
