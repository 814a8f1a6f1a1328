// The canonical body is written in one pass: each record's keys are emitted in
// their sorted (unsigned byte) order, taken from its field table at compile time,
// and generic values go through the canonical encoder. The bytes equal encoding the whole receipt,
// dropping `sig` and `hash`, sorting every map and encoding again.
#include "receipts/canonical.h"

#include <map>
#include <optional>
#include <utility>
#include <variant>

#include "base/utf8.h"
#include "codec/cbor_canon.h"
#include "codec/cbor_encode.h"
#include "codec/sha256.h"
#include "receipts/receipt.h"
#include "receipts/record_fields.h"

namespace quillmere {

namespace {

// The writer of the canonical body: one value overload per field type; every
// record a map of its hashed fields in the sorted order of their keys.
class BodyWriter {
 public:
  explicit BodyWriter(std::vector<uint8_t>& out) : w_(out) {}
  explicit BodyWriter(cbor::ByteBuffer& out) : w_(out) {}

  std::expected<void, CanonicalError> receipt(const Receipt& r) {
    value(r);
    if (!nesting_ok_) {
      return std::unexpected(
          CanonicalError{CanonicalError::Kind::Conversion, "RecursionLimitExceeded"});
    }
    if (!w_.text_ok() || !unhashed_text_ok_) {
      return std::unexpected(
          CanonicalError{CanonicalError::Kind::Conversion, "InvalidUtf8 in text string"});
    }
    return {};
  }

 private:
  template <JsonRecord R>
  void value(const R& record) {
    size_t entries = kBodyAlwaysWritten<R>;
    for_each_field<R>([&](auto f) {
      if constexpr (has_flag<R, f>(kOmitWhenAbsent) && !has_flag<R, f>(kNotHashed)) {
        entries += kField<R, f>.get(record).has_value();
      }
      // Fields left out of the body still hold text, and a body whose receipt
      // holds ill-formed text is refused all the same, so whether a receipt
      // hashes never depends on which fields are left out.
      if constexpr (has_flag<R, f>(kNotHashed)) {
        if (!texts_are_utf8(kField<R, f>.get(record))) unhashed_text_ok_ = false;
      }
    });
    w_.map(entries);
    ++depth_;
    [&]<size_t... I>(std::index_sequence<I...>) {
      (entry<R, kBodyOrder<R>[I]>(record), ...);
    }(std::make_index_sequence<kBodyOrder<R>.size()>());
    --depth_;
  }

  template <typename R, size_t I>
  void entry(const R& record) {
    const auto& v = kField<R, I>.get(record);
    if constexpr (has_flag<R, I>(kOmitWhenAbsent)) {
      if (!v.has_value()) return;
    }
    static constexpr cbor::EncodedKey kKey = cbor::key(kField<R, I>.key);
    w_.raw(kKey);
    value(v);
  }

  void value(const std::string& s) { w_.text(s); }
  void value(uint64_t v) { w_.uint(v); }
  void value(int64_t v) { w_.int64(v); }
  void value(uint8_t v) { w_.uint(v); }
  void value(double d) { w_.float64(d); }
  // Held as 32 bits, written as the same value widened.
  void value(float f) { w_.float64(static_cast<double>(f)); }
  void value(ReceiptKind kind) { w_.text(wire_name(kind)); }
  void value(Determinism d) { w_.text(wire_name(d)); }
  // Identifiers are byte strings of their 16 bytes.
  void value(const Uuid& id) { w_.bytes(id); }
  // 32-byte values, like other byte sequences, are arrays of small integers.
  void value(const Bytes32& bytes) {
    w_.array(bytes.size());
    for (uint8_t b : bytes) w_.uint(b);
  }
  void value(const Payload& payload) {
    std::visit([this](const auto& record) { value(record); }, payload);
  }
  // Generic values go through the canonical encoder, within what is left of the
  // nesting allowance after the maps and arrays around them.
  void value(const GenericValue& g) {
    if (!cbor::encode_canonical(w_, g, kMaxCborNesting - depth_)) nesting_ok_ = false;
  }
  // std::map orders std::string keys by unsigned bytes: already canonical.
  void value(const std::map<std::string, double>& m) {
    w_.map(m.size());
    for (const auto& [name, v] : m) {
      w_.text(name);
      w_.float64(v);
    }
  }
  template <typename T>
  void value(const std::optional<T>& v) {
    if (v) {
      value(*v);
    } else {
      w_.null();
    }
  }
  template <typename T>
  void value(const std::vector<T>& items) {
    w_.array(items.size());
    ++depth_;
    for (const T& item : items) value(item);
    --depth_;
  }

  template <typename T>
  static bool texts_are_utf8(const T&) {
    return true;  // holds no text
  }
  static bool texts_are_utf8(const std::string& s) { return utf8::is_valid(s); }
  template <typename T>
  static bool texts_are_utf8(const std::vector<T>& items) {
    for (const T& item : items) {
      if (!texts_are_utf8(item)) return false;
    }
    return true;
  }
  template <typename T>
  static bool texts_are_utf8(const std::optional<T>& v) {
    return !v || texts_are_utf8(*v);
  }
  template <JsonRecord R>
  static bool texts_are_utf8(const R& record) {
    return all_fields<R>([&](auto f) { return texts_are_utf8(kField<R, f>.get(record)); });
  }

  cbor::Writer w_;
  size_t depth_ = 0;  // maps and arrays around the value being written
  bool nesting_ok_ = true;
  bool unhashed_text_ok_ = true;
};

}  // namespace

std::expected<void, CanonicalError> append_canonical_body(std::vector<uint8_t>& out,
                                                          const Receipt& receipt) {
  return BodyWriter(out).receipt(receipt);
}

std::expected<std::vector<uint8_t>, CanonicalError> canonical_body(const Receipt& receipt) {
  std::vector<uint8_t> out;
  out.reserve(1024);
  auto r = append_canonical_body(out, receipt);
  if (!r) return std::unexpected(std::move(r.error()));
  return out;
}

std::expected<std::string, CanonicalError> compute_hash(const Receipt& receipt) {
  // One buffer per thread, reused across calls.
  thread_local cbor::ByteBuffer buffer;
  buffer.clear();
  std::expected<std::string, CanonicalError> result;
  if (auto body = BodyWriter(buffer).receipt(receipt); body) {
    result = hash_string(sha256(buffer.data(), buffer.size()));
  } else {
    result = std::unexpected(std::move(body.error()));
  }
  // Do not keep a large body's buffer alive for the thread's lifetime.
  if (buffer.capacity() > (size_t{64} << 10)) buffer.release();
  return result;
}

bool validate_hash_format(std::string_view s) {
  if (s.size() != 71 || s.substr(0, 7) != "sha256:") return false;
  for (char c : s.substr(7)) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

std::expected<std::string, ValidationError> Receipt::compute_hash() const {
  auto r = quillmere::compute_hash(*this);
  if (r) return std::move(*r);
  const char* prefix = r.error().kind == CanonicalError::Kind::Conversion
                           ? "serde to Value failed: "
                           : "encode failed: ";
  return std::unexpected(ValidationError::serialization(prefix + r.error().detail));
}

}  // namespace quillmere
