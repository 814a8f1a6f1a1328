// SHA-256 over many short, independent messages at once: on x86 processors with the SHA
// extensions two messages advance together, so one message's round latency hides behind the
// other's; elsewhere (or when the processor lacks them) each block goes through OpenSSL.
// Results are exactly those of sha256().
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "codec/sha256.h"

namespace quillmere {

// The chaining value of a SHA-256 computation: eight 32-bit words.
using Sha256State = std::array<uint32_t, 8>;

inline constexpr Sha256State kSha256Initial = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                               0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

// The digest a finished state spells (its words, big-endian).
Digest sha256_digest_of(const Sha256State& state);

// Runs the compression function for `count` independent computations: states[i] absorbs
// the `nblocks` 64-byte blocks that start at blocks[i] (already padded by the caller).
void sha256_compress_many(Sha256State* states, const uint8_t* const* blocks, size_t count,
                          size_t nblocks);

// out[i] = the digest of the message padded into the `nblocks` blocks at blocks[i] (its
// padding written by the caller), for i < count.
void sha256_padded_many(const uint8_t* const* blocks, size_t count, size_t nblocks, Digest* out);

// out[i] = sha256(messages[i]) for every i; `out` holds as many digests as there are messages.
void sha256_many(std::span<const std::span<const uint8_t>> messages, Digest* out);

// Whether sha256_compress_many runs on the processor's SHA instructions.
bool sha256_lanes_accelerated();

namespace sha256_paths {
// The two ways sha256_compress_many can go, for tests that compare them. The
// instruction path must only be called when sha256_lanes_accelerated().
void compress_openssl(Sha256State* states, const uint8_t* const* blocks, size_t count,
                      size_t nblocks);
void compress_instructions(Sha256State* states, const uint8_t* const* blocks, size_t count,
                           size_t nblocks);
}  // namespace sha256_paths

}  // namespace quillmere
