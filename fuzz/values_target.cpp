// Small text forms and generic values, chosen by the first input byte: identifier
// text, base64url, RFC 3339 timestamps, and generic values through canonical CBOR.
#include <bit>
#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "codec/base64url.h"
#include "codec/cbor_canon.h"
#include "codec/cbor_encode.h"
#include "codec/generic_json.h"
#include "codec/json_reader.h"
#include "codec/rfc3339.h"
#include "codec/uuid.h"
#include "fuzz_support.h"
#include "receipts/receipt.h"
#include "receipts/validation.h"
#include "targets.h"

namespace quillmere::fuzz {
namespace {

void uuid_case(InputReader& in) {
  const std::string_view text = as_text(in.rest());
  const auto described = parse_uuid_described(text);
  const auto plain = parse_uuid(text);
  QM_FUZZ_CHECK(described.has_value() == plain.has_value());
  if (!plain) return;
  QM_FUZZ_CHECK(*described == *plain);
  const std::string canonical = uuid_to_string(*plain);
  QM_FUZZ_CHECK(canonical.size() == 36);
  QM_FUZZ_CHECK(parse_uuid(canonical) == plain);
  // Every accepted form holds the 32 hex digits of the canonical text, in order.
  std::string digits;
  for (char c : text) {
    if (std::isxdigit(static_cast<unsigned char>(c)) != 0) {
      digits += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
  }
  std::string canonical_digits;
  for (char c : canonical) {
    if (c != '-') canonical_digits += c;
  }
  QM_FUZZ_CHECK(digits.ends_with(canonical_digits));
}

void base64url_case(InputReader& in) {
  const auto raw = in.rest();
  // Decoding is exact: what decodes, re-encodes to the same text.
  const std::string_view text = as_text(raw);
  if (const auto decoded = decode_base64url(text)) {
    QM_FUZZ_CHECK(encode_base64url(*decoded) == text);
  }
  // And every byte string comes back from its encoding.
  const std::string encoded = encode_base64url(raw);
  QM_FUZZ_CHECK(encoded.size() == (raw.size() * 4 + 2) / 3);
  const auto back = decode_base64url(encoded);
  QM_FUZZ_CHECK(back.has_value());
  QM_FUZZ_CHECK(std::equal(back->begin(), back->end(), raw.begin(), raw.end()));
}

void rfc3339_case(InputReader& in) {
  // A time from the input, formatted, reads back as its whole second.
  const auto ns = static_cast<int64_t>(in.integer<uint64_t>());
  const std::string formatted = format_rfc3339_utc(ns);
  QM_FUZZ_CHECK(validate_timestamp_format(formatted));
  const int64_t floor_seconds = ns / 1'000'000'000 - (ns % 1'000'000'000 < 0 ? 1 : 0);
  QM_FUZZ_CHECK_MSG(parse_rfc3339_seconds(formatted) == floor_seconds, formatted);

  // Text from the input: whatever parses formats back to the same second, when the
  // second is inside the range a nanosecond count can carry.
  const std::string_view text = as_text(in.rest());
  const auto seconds = parse_rfc3339_seconds(text);
  if (!seconds) return;
  constexpr int64_t kLimit = INT64_MAX / 1'000'000'000 - 1;
  if (*seconds < -kLimit || *seconds > kLimit) return;
  const std::string again = format_rfc3339_utc(*seconds * 1'000'000'000);
  QM_FUZZ_CHECK_MSG(parse_rfc3339_seconds(again) == seconds, std::string(text) + " -> " + again);
}

// A generic value built from the input, nesting up to a little past the limit.
GenericValue build_value(InputReader& in, size_t depth) {
  const uint8_t op = in.byte();
  if (depth > kMaxCborNesting + 2 && op % 10 >= 6) return GenericValue(nullptr);
  switch (op % 10) {
    case 0:
      return GenericValue(CborInteger{in.boolean(), in.integer<uint64_t>()});
    case 1: {
      auto b = in.bytes(in.byte());
      return GenericValue(CborBytes{{b.begin(), b.end()}});
    }
    case 2:
      return GenericValue(std::bit_cast<double>(in.integer<uint64_t>()));
    case 3:
      return GenericValue(in.short_text());
    case 4:
      return GenericValue((op & 0x10) != 0);
    case 5:
      return GenericValue(nullptr);
    case 6:
      return GenericValue(CborTag{in.integer<uint64_t>(), build_value(in, depth + 1)});
    case 7: {
      // A run of nested arrays, to reach the nesting limit quickly.
      GenericValue v = build_value(in, depth + 1);
      for (size_t n = in.byte() % 32; n > 0 && depth <= kMaxCborNesting + 2; --n, ++depth) {
        v = GenericValue(CborArray{{std::move(v)}});
      }
      return v;
    }
    case 8: {
      CborArray a;
      for (size_t n = in.byte() % 8; n > 0 && !in.empty(); --n) {
        a.items.push_back(build_value(in, depth + 1));
      }
      return GenericValue(std::move(a));
    }
    default: {
      CborMap m;
      for (size_t n = in.byte() % 8; n > 0 && !in.empty(); --n) {
        GenericValue key = build_value(in, depth + 1);
        m.entries.push_back({std::move(key), build_value(in, depth + 1)});
      }
      return GenericValue(std::move(m));
    }
  }
}

// Reads one CBOR item back, checking that every head is in its shortest form.
class Decoder {
 public:
  explicit Decoder(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  bool at_end() const { return pos_ == bytes_.size(); }

  GenericValue item() {
    const uint8_t initial = next();
    const uint8_t major = initial >> 5;
    const uint8_t info = initial & 0x1F;
    if (major == 7) return simple(info);
    const uint64_t arg = argument(info);
    switch (major) {
      case 0:
        return GenericValue(CborInteger{false, arg});
      case 1:
        return GenericValue(CborInteger{true, arg});
      case 2: {
        auto b = take(arg);
        return GenericValue(CborBytes{{b.begin(), b.end()}});
      }
      case 3:
        return GenericValue(std::string(as_text(take(arg))));
      case 4: {
        CborArray a;
        for (uint64_t i = 0; i < arg; ++i) a.items.push_back(item());
        return GenericValue(std::move(a));
      }
      case 5: {
        CborMap m;
        for (uint64_t i = 0; i < arg; ++i) {
          GenericValue key = item();
          m.entries.push_back({std::move(key), item()});
        }
        return GenericValue(std::move(m));
      }
      default:
        return GenericValue(CborTag{arg, item()});
    }
  }

 private:
  uint8_t next() {
    QM_FUZZ_CHECK(pos_ < bytes_.size());
    return bytes_[pos_++];
  }
  std::span<const uint8_t> take(uint64_t n) {
    QM_FUZZ_CHECK(n <= bytes_.size() - pos_);
    auto out = bytes_.subspan(pos_, static_cast<size_t>(n));
    pos_ += static_cast<size_t>(n);
    return out;
  }
  uint64_t big_endian(size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) v = (v << 8) | next();
    return v;
  }
  uint64_t argument(uint8_t info) {
    if (info < 24) return info;
    QM_FUZZ_CHECK(info <= 27);  // definite lengths only
    const size_t width = size_t{1} << (info - 24);
    const uint64_t v = big_endian(width);
    const uint64_t smallest = info == 24 ? 24 : uint64_t{1} << (4 * width);
    QM_FUZZ_CHECK(v >= smallest);  // the shortest head
    return v;
  }
  GenericValue simple(uint8_t info) {
    switch (info) {
      case 20:
        return GenericValue(false);
      case 21:
        return GenericValue(true);
      case 22:
        return GenericValue(nullptr);
      case 25: {
        const auto h = static_cast<uint16_t>(big_endian(2));
        return GenericValue(cbor::half_to_double(h));
      }
      case 26: {
        const auto f = static_cast<uint32_t>(big_endian(4));
        QM_FUZZ_CHECK(cbor::shortest_float_width(std::bit_cast<float>(f)) == 4);
        return GenericValue(static_cast<double>(std::bit_cast<float>(f)));
      }
      case 27: {
        const double d = std::bit_cast<double>(big_endian(8));
        QM_FUZZ_CHECK(cbor::shortest_float_width(d) == 8);
        return GenericValue(d);
      }
      default:
        fail(__FILE__, __LINE__, "a simple value the writer never writes", {});
    }
  }

  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

// Equality that tells floats apart by their bits (so NaNs compare, and -0.0 != 0.0).
bool same(const GenericValue& a, const GenericValue& b) {
  if (a.v.index() != b.v.index()) return false;
  if (const auto* d = std::get_if<double>(&a.v)) {
    return std::bit_cast<uint64_t>(*d) == std::bit_cast<uint64_t>(std::get<double>(b.v));
  }
  if (const auto* t = std::get_if<CborTag>(&a.v)) {
    const auto& u = std::get<CborTag>(b.v);
    return t->tag == u.tag && same(*t->item, *u.item);
  }
  if (const auto* x = std::get_if<CborArray>(&a.v)) {
    const auto& y = std::get<CborArray>(b.v);
    if (x->items.size() != y.items.size()) return false;
    for (size_t i = 0; i < x->items.size(); ++i) {
      if (!same(x->items[i], y.items[i])) return false;
    }
    return true;
  }
  if (const auto* x = std::get_if<CborMap>(&a.v)) {
    const auto& y = std::get<CborMap>(b.v);
    if (x->entries.size() != y.entries.size()) return false;
    for (size_t i = 0; i < x->entries.size(); ++i) {
      if (!same(x->entries[i].key, y.entries[i].key)) return false;
      if (!same(x->entries[i].value, y.entries[i].value)) return false;
    }
    return true;
  }
  return a == b;
}

void cbor_case(InputReader& in) {
  const GenericValue value = build_value(in, 0);
  const size_t depth = nesting_depth(value, kMaxCborNesting);
  GenericValue canon = value;
  const auto r = canon_value(canon);
  std::vector<uint8_t> held_bytes, canonical_bytes;
  cbor::Writer held(held_bytes), canonical(canonical_bytes);
  const bool held_ok = cbor::encode_as_held(held, value, kMaxCborNesting);
  const bool canonical_ok = cbor::encode_canonical(canonical, value, kMaxCborNesting);
  (void)format_key(value);
  if (depth > kMaxCborNesting) {
    // Refused everywhere, and left as it was.
    QM_FUZZ_CHECK(!r.has_value());
    QM_FUZZ_CHECK(same(canon, value));
    QM_FUZZ_CHECK(!held_ok && !canonical_ok);
    return;
  }
  QM_FUZZ_CHECK(r.has_value());
  QM_FUZZ_CHECK(held_ok && canonical_ok);

  // Encoding canonically equals canonicalising and encoding as held; canonical is stable.
  std::vector<uint8_t> canon_bytes;
  cbor::Writer canon_writer(canon_bytes);
  QM_FUZZ_CHECK(cbor::encode_as_held(canon_writer, canon, kMaxCborNesting));
  QM_FUZZ_CHECK(canon_bytes == canonical_bytes);
  GenericValue twice = canon;
  QM_FUZZ_CHECK(canon_value(twice).has_value());
  QM_FUZZ_CHECK(same(twice, canon));

  // The bytes are well-formed shortest-form CBOR of exactly the value held.
  Decoder decoder(held_bytes);
  const GenericValue decoded = decoder.item();
  QM_FUZZ_CHECK(decoder.at_end());
  QM_FUZZ_CHECK(same(decoded, value));
  Decoder canon_decoder(canonical_bytes);
  QM_FUZZ_CHECK(same(canon_decoder.item(), canon));

  // JSON writing fails only for keys JSON cannot hold; its text reads as JSON when
  // every string in it is UTF-8 and it stays within the reader's nesting.
  std::string json;
  const auto written = append_generic_json(json, value);
  if (written && depth * 2 < kJsonMaxDepth && held.text_ok()) {
    const auto parsed = parse_json(json);
    QM_FUZZ_CHECK_MSG(parsed.has_value(), json);
  }
}

}  // namespace

void values_target(std::span<const uint8_t> input) {
  InputReader in(input);
  switch (in.byte() % 4) {
    case 0:
      uuid_case(in);
      break;
    case 1:
      base64url_case(in);
      break;
    case 2:
      rfc3339_case(in);
      break;
    default:
      cbor_case(in);
      break;
  }
}

}  // namespace quillmere::fuzz
