// Base64url encoding and strict decoding.
#include "codec/base64url.h"

#include <array>

namespace quillmere {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
constexpr uint8_t kInvalid = 0xFF;

constexpr std::array<uint8_t, 256> make_decode_table() {
  std::array<uint8_t, 256> table{};
  table.fill(kInvalid);
  for (uint8_t i = 0; i < 64; ++i) table[static_cast<unsigned char>(kAlphabet[i])] = i;
  return table;
}
constexpr std::array<uint8_t, 256> kDecode = make_decode_table();

std::string invalid_symbol(const char* what, size_t index, unsigned char byte) {
  return std::string(what) + std::to_string(byte) + ", offset " + std::to_string(index) + ".";
}

}  // namespace

void append_base64url(std::string& out, std::span<const uint8_t> bytes) {
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t n = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    out.push_back(kAlphabet[(n >> 18) & 63]);
    out.push_back(kAlphabet[(n >> 12) & 63]);
    out.push_back(kAlphabet[(n >> 6) & 63]);
    out.push_back(kAlphabet[n & 63]);
  }
  size_t rest = bytes.size() - i;
  if (rest == 1) {
    uint32_t n = uint32_t{bytes[i]} << 16;
    out.push_back(kAlphabet[(n >> 18) & 63]);
    out.push_back(kAlphabet[(n >> 12) & 63]);
  } else if (rest == 2) {
    uint32_t n = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8);
    out.push_back(kAlphabet[(n >> 18) & 63]);
    out.push_back(kAlphabet[(n >> 12) & 63]);
    out.push_back(kAlphabet[(n >> 6) & 63]);
  }
}

std::string encode_base64url(std::span<const uint8_t> bytes) {
  std::string out;
  out.reserve((bytes.size() * 4 + 2) / 3);
  append_base64url(out, bytes);
  return out;
}

std::expected<std::vector<uint8_t>, std::string> decode_base64url(std::string_view text) {
  // First pass: symbols and padding, in input order, so the first bad byte is
  // the one reported.
  size_t symbols = 0;
  size_t padding = 0;
  size_t first_pad = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c == '=') {
      // Padding can only stand in the last two places of a quad.
      if (i % 4 < 2)
        return std::unexpected(invalid_symbol("Invalid symbol ", padding ? first_pad : i, c));
      if (padding == 0) first_pad = i;
      ++padding;
      continue;
    }
    if (padding > 0) return std::unexpected(invalid_symbol("Invalid symbol ", first_pad, '='));
    if (kDecode[c] == kInvalid) return std::unexpected(invalid_symbol("Invalid symbol ", i, c));
    ++symbols;
  }
  if (symbols % 4 == 1) return std::unexpected("Invalid input length: " + std::to_string(symbols));
  if (padding > 0) return std::unexpected(std::string("Invalid padding"));

  std::vector<uint8_t> out;
  out.reserve(symbols * 3 / 4);
  uint32_t acc = 0;
  int bits = 0;
  for (size_t i = 0; i < symbols; ++i) {
    acc = (acc << 6) | kDecode[static_cast<unsigned char>(text[i])];
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<uint8_t>(acc >> bits));
      acc &= (1u << bits) - 1;
    }
  }
  // Leftover bits of the last symbol must be zero: one text per byte string.
  if (acc != 0) {
    return std::unexpected(invalid_symbol("Invalid last symbol ", symbols - 1,
                                          static_cast<unsigned char>(text[symbols - 1])));
  }
  return out;
}

}  // namespace quillmere
