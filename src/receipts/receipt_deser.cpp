// JSON tree -> Receipt. Records are read from the tree directly; the position
// of a failure is worked out only when one happens, from the compact lengths
// of the subtrees that precede the fault.
#include "receipts/receipt_deser.h"

#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <type_traits>
#include <utility>

#include "base/quote.h"
#include "codec/generic_json.h"
#include "codec/json_text.h"
#include "codec/uuid.h"
#include "receipts/field_values.h"
#include "receipts/record_fields.h"

namespace quillmere {

namespace {

// A failure while reading a record: the text, and the 0-based offset within the
// compact text of the node being read at which the column points. Parents add
// the child's offset as the failure travels up.
struct ReadError {
  std::string message;
  size_t pos = 0;
};

// Node is `const JsonValue` (copying) or `JsonValue` (moving out of the tree).
template <typename Node, typename T>
using Like = std::conditional_t<std::is_const_v<Node>, const T, T>;

size_t compact_len(const JsonValue& v) {
  std::string text;
  append_json(text, v);
  return text.size();
}

size_t key_len(std::string_view key) {
  std::string text;
  append_json_string(text, key);
  return text.size();
}

size_t element_offset(const JsonArray& items, size_t index) {
  size_t pos = 1;  // '['
  for (size_t i = 0; i < index; ++i) pos += compact_len(items[i]) + 1;
  return pos;
}

size_t member_value_offset(const JsonObject& obj, size_t index) {
  size_t pos = 1;  // '{'
  for (size_t i = 0; i < index; ++i) {
    pos += key_len(obj.members[i].key) + 1 + compact_len(obj.members[i].value) + 1;
  }
  return pos + key_len(obj.members[index].key) + 1;
}

// The kind of value found, as error texts name it.
std::string unexpected_text(const JsonValue& v) {
  std::string out;
  switch (v.v.index()) {
    case 0:
      return "null";
    case 1:
      return v.as_bool() ? "boolean `true`" : "boolean `false`";
    case 2:
      out = "integer `";
      append_u64(out, v.as_u64());
      break;
    case 3:
      out = "integer `";
      append_i64(out, v.as_i64());
      break;
    case 4:
      out = "floating point `";
      append_f64(out, v.as_f64());
      break;
    case 5:
      out = "string ";
      append_quoted(out, v.as_string(), Controls::kAscii);
      return out;
    case 6:
      return "sequence";
    default:
      return "map";
  }
  out.push_back('`');
  return out;
}

// Failures that point just after the offending value.
bool fail_after(const JsonValue& v, std::string message, ReadError& err) {
  err = ReadError{std::move(message), compact_len(v)};
  return false;
}

bool invalid_type(const JsonValue& v, std::string_view expected, ReadError& err) {
  return fail_after(
      v, "invalid type: " + unexpected_text(v) + ", expected " + std::string(expected), err);
}

bool invalid_value(const JsonValue& v, std::string_view expected, ReadError& err) {
  return fail_after(
      v, "invalid value: " + unexpected_text(v) + ", expected " + std::string(expected), err);
}

// ---- value readers, one overload per field type -------------------------

template <typename Node>
bool read_value(Node& v, std::string& out, ReadError& err) {
  if (!v.is_string()) return invalid_type(v, "a string", err);
  out = std::move(std::get<std::string>(v.v));
  return true;
}

template <typename Node, NumberField T>
bool read_value(Node& v, T& out, ReadError& err) {
  switch (number_as(v, out)) {
    case NumberFit::kTaken:
      return true;
    case NumberFit::kOutOfRange:
      return invalid_value(v, kNumberName<T>, err);
    case NumberFit::kWrongType:
      break;
  }
  return invalid_type(v, kNumberName<T>, err);
}

template <typename Node>
bool read_value(Node& v, Bytes32& out, ReadError& err) {
  if (v.is_string()) {
    auto taken = bytes32_from_text(v.as_string(), out);
    if (!taken) return fail_after(v, std::move(taken.error()), err);
    return true;
  }
  if (v.is_array()) {
    const auto& items = v.as_array();
    for (size_t i = 0; i < items.size(); ++i) {
      uint8_t b = 0;
      if (!read_value(items[i], b, err)) {
        err.pos += element_offset(items, i);
        return false;
      }
      if (i == kBytes32Length) {
        err = ReadError{"Array too long, expected 32 bytes",
                        element_offset(items, i) + compact_len(items[i])};
        return false;
      }
      out[i] = b;
    }
    if (items.size() < kBytes32Length) {
      return fail_after(
          v, "Array too short, expected 32 bytes, got " + std::to_string(items.size()), err);
    }
    return true;
  }
  return invalid_type(v, "a base64url string or array of 32 numbers", err);
}

template <typename Node>
bool read_value(Node& v, Uuid& out, ReadError& err) {
  if (!v.is_string()) return invalid_type(v, "a UUID string", err);
  auto id = parse_uuid_described(v.as_string());
  if (!id) return fail_after(v, "UUID parsing failed: " + id.error(), err);
  out = *id;
  return true;
}

template <typename Node>
bool read_value(Node& v, Determinism& out, ReadError& err) {
  if (!v.is_string()) return invalid_type(v, "enum Determinism", err);
  auto d = determinism_from_wire(v.as_string());
  if (!d) {
    return fail_after(
        v, "unknown variant `" + v.as_string() + "`, expected `strict`, `bounded`, `observational`",
        err);
  }
  out = *d;
  return true;
}

template <typename Node>
bool read_value(Node& v, GenericValue& out, ReadError&) {
  out = generic_from_json(v);
  return true;
}

template <typename Node>
bool read_value(Node& v, std::map<std::string, double>& out, ReadError& err) {
  if (!v.is_object()) return invalid_type(v, "a map", err);
  auto& members = std::get<JsonObject>(v.v).members;
  out.clear();
  for (size_t i = 0; i < members.size(); ++i) {
    double d = 0.0;
    if (!read_value(static_cast<Like<Node, JsonValue>&>(members[i].value), d, err)) {
      err.pos += member_value_offset(v.as_object(), i);
      return false;
    }
    // Keys arrive sorted, so each insertion lands at the end.
    out.emplace_hint(out.end(), std::move(members[i].key), d);
  }
  return true;
}

template <typename Node, typename T>
bool read_value(Node& v, std::optional<T>& out, ReadError& err);
template <typename Node, typename T>
bool read_value(Node& v, std::vector<T>& out, ReadError& err);
template <typename Node, JsonRecord R>
bool read_value(Node& v, R& out, ReadError& err);

template <typename Node, typename T>
bool read_value(Node& v, std::optional<T>& out, ReadError& err) {
  if (v.is_null()) {
    out.reset();
    return true;
  }
  return read_value(v, out.emplace(), err);
}

template <typename Node, typename T>
bool read_value(Node& v, std::vector<T>& out, ReadError& err) {
  if (!v.is_array()) return invalid_type(v, "a sequence", err);
  auto& items = std::get<JsonArray>(v.v);
  out.clear();
  out.reserve(items.size());
  for (size_t i = 0; i < items.size(); ++i) {
    if (!read_value(static_cast<Like<Node, JsonValue>&>(items[i]), out.emplace_back(), err)) {
      err.pos += element_offset(v.as_array(), i);
      return false;
    }
  }
  return true;
}

// ---- records ---------------------------------------------------------------

// Only the 32-byte fields take the absent value when an array form ends early.
template <typename R, size_t I>
constexpr bool kAbsentWhenShort = std::is_same_v<FieldType<R, I>, std::optional<Bytes32>>;

template <typename Node, typename R>
bool read_record_object(Node& v, R& out, ReadError& err) {
  auto& members = std::get<JsonObject>(v.v).members;
  uint32_t seen = 0;
  for (size_t i = 0; i < members.size(); ++i) {
    auto& value = static_cast<Like<Node, JsonValue>&>(members[i].value);
    const size_t index = field_index<R>(members[i].key);
    if (index == kFieldCount<R>) continue;  // keys naming no field are skipped
    seen |= uint32_t{1} << index;
    const bool ok = with_field_at<R>(
        index, [&](auto f) { return read_value(value, out.*(kField<R, f>.member), err); });
    if (!ok) {
      err.pos += member_value_offset(v.as_object(), i);
      return false;
    }
  }
  // Missing required fields are reported after the object, first in declaration order.
  const uint32_t missing = kRequiredFields<R> & ~seen;
  if (missing == 0) return true;
  err = ReadError{"missing field `" + std::string(kKeys<R>[std::countr_zero(missing)]) + "`",
                  compact_len(v) - 1};
  return false;
}

template <typename Node, typename R>
bool read_record_array(Node& v, R& out, ReadError& err) {
  auto& items = std::get<JsonArray>(v.v);
  constexpr size_t count = kFieldCount<R>;
  const bool ok = all_fields<R>([&](auto f) {
    if (f < items.size()) {
      if (read_value(static_cast<Like<Node, JsonValue>&>(items[f]), out.*(kField<R, f>.member),
                     err)) {
        return true;
      }
      err.pos += element_offset(v.as_array(), f);
      return false;
    }
    if constexpr (kAbsentWhenShort<R, f>) {
      return true;
    } else {
      err = ReadError{"invalid length " + std::to_string(size_t{f}) + ", expected struct " +
                          std::string(RecordFields<R>::name) + " with " + std::to_string(count) +
                          " elements",
                      compact_len(v) - 1};
      return false;
    }
  });
  if (!ok) return false;
  if (items.size() > count) {
    err = ReadError{"trailing characters", element_offset(v.as_array(), count)};
    return false;
  }
  return true;
}

template <typename Node, JsonRecord R>
bool read_value(Node& v, R& out, ReadError& err) {
  if (v.is_object()) return read_record_object(v, out, err);
  if (v.is_array()) return read_record_array(v, out, err);
  return invalid_type(v, "struct " + std::string(RecordFields<R>::name), err);
}

// "Failed to deserialize <record>: <description> at line 1 column <c>": positions
// count in the compact text of the subtree, which is always a single line.
template <typename Node, typename R>
std::expected<R, std::string> read_subtree(Node& v) {
  R out{};
  ReadError err;
  if (read_value(v, out, err)) return out;
  return std::unexpected("Failed to deserialize " + std::string(RecordFields<R>::name) + ": " +
                         err.message + " at line 1 column " + std::to_string(err.pos + 1));
}

std::string missing(std::string_view name) {
  return "missing field `" + std::string(name) + "`";
}

template <typename Node>
Like<Node, JsonValue>* member(Node& obj, std::string_view key) {
  return const_cast<Like<Node, JsonValue>*>(obj.as_object().find(key));
}

// ---- the envelope ------------------------------------------------------------

// Lenient fields: whatever is malformed is left out, and the reading goes on.

// Texts that are not identifiers, and anything else that is not an array, are left out.
void read_lenient(const JsonValue& v, std::vector<Uuid>& out) {
  if (!v.is_array()) return;
  out.reserve(v.as_array().size());
  for (const auto& item : v.as_array()) {
    if (!item.is_string()) continue;
    if (auto parsed = parse_uuid(item.as_string())) out.push_back(*parsed);
  }
}

// JSON null is written and hashed exactly like a missing value.
void read_lenient(const JsonValue& v, std::optional<GenericValue>& out) {
  if (!v.is_null()) out = generic_from_json(v);
}

// A signature is taken from an object whose fields are all texts (other members
// ignored); anything else leaves the receipt without one.
void read_lenient(const JsonValue& v, std::optional<Signature>& out) {
  if (!v.is_object()) return;
  Signature sig;
  const bool whole = all_fields<Signature>([&](auto f) {
    const JsonValue* text = v.as_object().find(kField<Signature, f>.key);
    if (text == nullptr || !text->is_string()) return false;
    sig.*(kField<Signature, f>.member) = text->as_string();
    return true;
  });
  if (whole) out = std::move(sig);
}

template <typename T>
inline constexpr bool kNoReaderFor = false;

// Reads envelope field I of `doc` into `r`; false with the failure text in `failure`.
// `kind` is set by the kind field, which is read before the payload.
template <size_t I, typename Node>
bool read_envelope_field(Node& doc, Receipt& r, std::optional<ReceiptKind>& kind,
                         std::string& failure) {
  using T = FieldType<Receipt, I>;
  constexpr std::string_view key = kField<Receipt, I>.key;
  auto* v = member(doc, key);
  auto fail = [&](std::string text) {
    failure = std::move(text);
    return false;
  };
  if constexpr (has_flag<Receipt, I>(kLenient)) {
    if (v != nullptr) read_lenient(*v, r.*(kField<Receipt, I>.member));
    return true;
  } else if constexpr (std::is_same_v<T, ReceiptKind>) {
    if (v == nullptr || !v->is_string()) return fail(missing(key));
    kind = receipt_kind_from_wire(v->as_string());
    if (kind) return true;
    std::string text = "invalid value: string ";
    append_quoted(text, v->as_string(), Controls::kAscii);
    return fail(text + ", expected one of: " + kind_wire_list());
  } else if constexpr (std::is_same_v<T, Payload>) {
    if (v == nullptr) return fail(missing(key));
    return with_kind_record(*kind, [&]<typename P>(std::type_identity<P>) {
      auto read = read_subtree<Node, P>(*v);
      if (!read) return fail(std::move(read.error()));
      r.payload.template emplace<P>(std::move(*read));
      return true;
    });
  } else if constexpr (std::is_same_v<T, Uuid>) {
    if (v == nullptr || !v->is_string()) return fail(missing(key));
    auto id = parse_uuid_described(v->as_string());
    if (!id) return fail("Invalid UUID in " + std::string(key) + ": " + id.error());
    r.*(kField<Receipt, I>.member) = *id;
    return true;
  } else if constexpr (std::is_same_v<T, std::string>) {
    // Only the text of a string member; anything else counts as missing.
    if (v == nullptr || !v->is_string()) return fail(missing(key));
    r.*(kField<Receipt, I>.member) = std::move(std::get<std::string>(v->v));
    return true;
  } else if constexpr (JsonRecord<T>) {
    if (v == nullptr) return fail(missing(key));
    auto read = read_subtree<Node, T>(*v);
    if (!read) return fail(std::move(read.error()));
    r.*(kField<Receipt, I>.member) = std::move(*read);
    return true;
  } else {
    static_assert(kNoReaderFor<T>, "an envelope field needs a reading here");
  }
}

// The index of the envelope field holding a T.
template <typename T>
constexpr size_t envelope_field_holding() {
  size_t found = kFieldCount<Receipt>;
  for_each_field<Receipt>([&](auto f) {
    if (std::is_same_v<FieldType<Receipt, f>, T>) found = f;
  });
  return found;
}

// The order of reading, and so which failure is reported first: the kind, then
// the payload whose record it decides, then the rest in the envelope's order.
constexpr auto kReadOrder = [] {
  constexpr size_t kind = envelope_field_holding<ReceiptKind>();
  constexpr size_t payload = envelope_field_holding<Payload>();
  static_assert(kind < kFieldCount<Receipt> && payload < kFieldCount<Receipt>);
  std::array<size_t, kFieldCount<Receipt>> order{kind, payload};
  size_t n = 2;
  for (size_t i = 0; i < kFieldCount<Receipt>; ++i) {
    if (i != kind && i != payload) order[n++] = i;
  }
  return order;
}();

template <typename Node>
std::expected<Receipt, std::string> deserialize(Node& doc) {
  if (!doc.is_object()) {
    return std::unexpected(std::string("invalid type: expected object, expected an object"));
  }
  Receipt r;
  std::optional<ReceiptKind> kind;
  std::string failure;
  const bool ok = [&]<size_t... I>(std::index_sequence<I...>) {
    return (read_envelope_field<kReadOrder[I]>(doc, r, kind, failure) && ...);
  }(std::make_index_sequence<kReadOrder.size()>());
  if (!ok) return std::unexpected(std::move(failure));
  return r;
}

}  // namespace

std::expected<Receipt, std::string> deserialize_from_json_value(const JsonValue& doc) {
  return deserialize(doc);
}

std::expected<Receipt, std::string> deserialize_consuming(JsonValue& doc) {
  return deserialize(doc);
}

}  // namespace quillmere
