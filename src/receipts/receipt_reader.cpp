// JSON text -> Receipt in one pass over the shared lexical layer. Each field is
// read straight into the receipt, reusing the storage it already has; any
// departure from the plain form declines, and the general reading (tree, then
// records) decides what the text means.
#include "receipts/receipt_reader.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "codec/json_cursor.h"
#include "codec/uuid.h"
#include "receipts/field_values.h"
#include "receipts/receipt_deser.h"
#include "receipts/record_fields.h"

namespace quillmere {

namespace {

template <typename Word>
Word load(const char* p) {
  Word w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// Whether the `n` bytes at `a` and `b` are equal. Keys are short: a few word
// comparisons (the last one overlapping) beat a call to memcmp.
bool same_bytes(const char* a, const char* b, size_t n) {
  if (n >= 8) {
    for (size_t i = 0; i + 8 < n; i += 8) {
      if (load<uint64_t>(a + i) != load<uint64_t>(b + i)) return false;
    }
    return load<uint64_t>(a + n - 8) == load<uint64_t>(b + n - 8);
  }
  if (n >= 4) {
    return load<uint32_t>(a) == load<uint32_t>(b) &&
           load<uint32_t>(a + n - 4) == load<uint32_t>(b + n - 4);
  }
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

bool same_key(std::string_view a, std::string_view b) {
  return a.size() == b.size() && same_bytes(a.data(), b.data(), a.size());
}

// The envelope's keys, in the order the writer puts them.
constexpr auto& kTopKeys = kKeys<Receipt>;
constexpr uint32_t bit(size_t index) {
  return 1u << index;
}

template <typename T>
inline constexpr bool kNoReaderFor = false;

class DirectReader : json_lex::Cursor {
 public:
  explicit DirectReader(std::string_view text) : Cursor(text) {}

  bool run(Receipt& r) {
    std::optional<ReceiptKind> kind;
    uint32_t seen = 0;
    const bool ok = members(kTopKeys, [&](size_t index) {
      if (index == kTopKeys.size() || (seen & bit(index)) != 0) return false;
      seen |= bit(index);
      return with_field_at<Receipt>(index, [&](auto f) { return envelope_field<f>(r, kind); });
    });
    if (!ok || (seen & kRequiredFields<Receipt>) != kRequiredFields<Receipt>) return false;
    skip_ws();
    if (p_ != end_) return false;
    // Fields that may be left out and were are empty, whatever `r` held before.
    for_each_field<Receipt>([&](auto f) {
      if constexpr ((kRequiredFields<Receipt> & bit(f)) == 0) {
        if ((seen & bit(f)) == 0) r.*(kField<Receipt, f>.member) = {};
      }
    });
    return true;
  }

 private:
  // Skips whitespace and steps over `c` when it comes next.
  bool consume(char c) {
    skip_ws();
    if (p_ == end_ || *p_ != c) return false;
    ++p_;
    return true;
  }

  // Calls `member(key)` for each member of the object that comes next; `member`
  // reads the value.
  template <typename F>
  bool object(F&& member) {
    if (!consume('{')) return false;
    if (consume('}')) return true;
    do {
      std::string_view key;
      if (!string(key) || !consume(':') || !member(key)) return false;
    } while (consume(','));
    return consume('}');
  }

  // Calls `member(index)` for each member of the object that comes next, with
  // the index of its key in `keys` (keys.size() for any other key); `member`
  // reads the value. The key that follows the previous one in `keys` is
  // tried first, as plain text.
  template <typename F>
  bool members(std::span<const std::string_view> keys, F&& member) {
    if (!consume('{')) return false;
    if (consume('}')) return true;
    size_t next = 0;
    do {
      size_t index = keys.size();
      if (!key(keys, next, index) || !consume(':') || !member(index)) return false;
      next = index + 1;
    } while (consume(','));
    return consume('}');
  }

  bool key(std::span<const std::string_view> keys, size_t expected, size_t& index) {
    skip_ws();
    if (expected < keys.size() && quoted_at(keys[expected])) {
      index = expected;
      return true;
    }
    std::string_view text;
    if (!string(text)) return false;
    for (index = 0; index < keys.size() && !same_key(keys[index], text); ++index) {
    }
    return true;
  }

  // Steps over `"name"` when the text at `p_` is exactly that. Names are plain
  // ASCII, so the string read from there would be the name and end there.
  bool quoted_at(std::string_view name) {
    const size_t n = name.size();
    if (static_cast<size_t>(end_ - p_) < n + 2 || p_[0] != '"' || p_[n + 1] != '"' ||
        !same_bytes(p_ + 1, name.data(), n)) {
      return false;
    }
    p_ += n + 2;
    return true;
  }

  template <typename F>
  bool array(F&& item) {
    if (!consume('[')) return false;
    if (consume(']')) return true;
    do {
      if (!item()) return false;
    } while (consume(','));
    return consume(']');
  }

  // A string that comes next; the view lasts until the next string is read.
  bool string(std::string_view& out) { return consume('"') && parse_string(out, scratch_); }

  bool number(JsonValue& out) {
    skip_ws();
    return p_ != end_ && (*p_ == '-' || json_lex::is_digit(*p_)) && parse_number(out);
  }

  bool read(std::string& out) {
    std::string_view text;
    if (!string(text)) return false;
    out.assign(text);
    return true;
  }

  template <NumberField T>
  bool read(T& out) {
    JsonValue n;
    return number(n) && number_as(n, out) == NumberFit::kTaken;
  }

  // Base64url text, or an array of exactly 32 byte values.
  bool read(Bytes32& out) {
    skip_ws();
    if (p_ != end_ && *p_ == '[') {
      size_t count = 0;
      return array([&] {
               uint8_t b = 0;
               if (count == kBytes32Length || !read(b)) return false;
               out[count++] = b;
               return true;
             }) &&
             count == kBytes32Length;
    }
    std::string_view text;
    return string(text) && bytes32_from_text(text, out).has_value();
  }

  bool read(Uuid& out) {
    std::string_view text;
    if (!string(text)) return false;
    auto id = parse_uuid_described(text);
    if (!id) return false;
    out = *id;
    return true;
  }

  bool read(Determinism& out) {
    std::string_view text;
    if (!string(text)) return false;
    auto d = determinism_from_wire(text);
    if (!d) return false;
    out = *d;
    return true;
  }

  // Generic values other than null take the general reading.
  bool read(GenericValue&) { return false; }

  // Keys arrive in any order; a repeated one declines.
  bool read(std::map<std::string, double>& out) {
    out.clear();
    return object([&](std::string_view key) {
      std::string name(key);
      double d = 0.0;
      return read(d) && out.emplace(std::move(name), d).second;
    });
  }

  template <typename T>
  bool read(std::optional<T>& out) {
    skip_ws();
    if (p_ != end_ && *p_ == 'n') {
      out.reset();
      return parse_literal("null");
    }
    if (!out) out.emplace();
    return read(*out);
  }

  // Elements already there are read into again.
  template <typename T>
  bool read(std::vector<T>& out) {
    size_t count = 0;
    const bool ok = array([&] {
      if (count == out.size()) out.emplace_back();
      return read(out[count++]);
    });
    out.resize(count);
    return ok;
  }

  // A record in object form: each key once, no unknown keys, every required
  // field present.
  template <JsonRecord R>
  bool read(R& out) {
    uint32_t seen = 0;
    const bool ok = members(kKeys<R>, [&](size_t index) {
      if (index == kKeys<R>.size() || (seen & bit(index)) != 0) return false;
      seen |= bit(index);
      return with_field_at<R>(index, [&](auto f) { return read(out.*(kField<R, f>.member)); });
    });
    if (!ok || (seen & kRequiredFields<R>) != kRequiredFields<R>) return false;
    // Optional fields left out are absent, whatever the record held before.
    for_each_field<R>([&](auto f) {
      if constexpr (kIsOptional<FieldType<R, f>>) {
        if ((seen & bit(f)) == 0) (out.*(kField<R, f>.member)).reset();
      }
    });
    return true;
  }

  bool payload(ReceiptKind kind, Payload& out) {
    return with_kind_record(
        kind, [&]<typename P>(std::type_identity<P>) { return read_alternative<P>(out); });
  }

  template <typename P>
  bool read_alternative(Payload& out) {
    if (auto* held = std::get_if<P>(&out)) return read(*held);
    return read(out.emplace<P>());
  }

  // Envelope field I into `r`. The kind is not held but kept in `kind` for the
  // payload, whose record it decides and which the writer puts after it.
  template <size_t I>
  bool envelope_field(Receipt& r, std::optional<ReceiptKind>& kind) {
    using T = FieldType<Receipt, I>;
    if constexpr (std::is_same_v<T, ReceiptKind>) {
      std::string_view name;
      if (!string(name)) return false;
      kind = receipt_kind_from_wire(name);
      return kind.has_value();
    } else if constexpr (std::is_same_v<T, Payload>) {
      return kind.has_value() && payload(*kind, r.payload);
    } else if constexpr (has_flag<Receipt, I>(kLenient)) {
      return lenient(r.*(kField<Receipt, I>.member));
    } else if constexpr (requires { read(r.*(kField<Receipt, I>.member)); }) {
      return read(r.*(kField<Receipt, I>.member));
    } else {
      static_assert(kNoReaderFor<T>, "an envelope field needs a reading here");
    }
  }

  // A lenient field is read as strictly as any other (the general reading decides
  // what a malformed one means), except that links drop texts that are not
  // identifiers, as the general reading does.
  template <typename T>
  bool lenient(T& out) {
    return read(out);
  }
  bool lenient(std::vector<Uuid>& out) { return links(out); }

  // Links are lenient: a text that is not an identifier is left out.
  bool links(std::vector<Uuid>& out) {
    out.clear();
    return array([&] {
      std::string_view text;
      if (!string(text)) return false;
      if (auto id = parse_uuid(text)) out.push_back(*id);
      return true;
    });
  }

  std::string scratch_;  // decoded text of strings with escapes
};

}  // namespace

bool read_receipt_direct(std::string_view text, Receipt& out) {
  return DirectReader(text).run(out);
}

std::optional<Receipt> read_receipt_direct(std::string_view text) {
  Receipt r;
  if (!read_receipt_direct(text, r)) return std::nullopt;
  return r;
}

}  // namespace quillmere
