// The JSON value: null, bool, number (u64 / negative i64 / finite f64, the form
// kept from parse to write), string, array, and object with keys kept sorted by
// their UTF-8 bytes (each key once).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "codec/alternative_of.h"

namespace quillmere {

struct JsonValue;
struct JsonMember;

using JsonArray = std::vector<JsonValue>;

// Members sorted by key (unsigned byte order), keys unique. Use `insert` (or
// `from_unsorted`) to keep the invariant.
struct JsonObject {
  std::vector<JsonMember> members;

  const JsonValue* find(std::string_view key) const;
  // Inserts or replaces (a repeated key keeps the last value).
  void insert(std::string key, JsonValue value);
  // Sorts members in place; for repeated keys the last one wins.
  static JsonObject from_unsorted(std::vector<JsonMember> members);

  // Defined below, once `JsonMember` is complete.
  bool empty() const;
  size_t size() const;
  friend bool operator==(const JsonObject&, const JsonObject&);
};

struct JsonValue {
  // Alternatives in this order; a negative integer is always < 0.
  using Storage = std::variant<std::nullptr_t, bool, uint64_t, int64_t, double, std::string,
                               JsonArray, JsonObject>;
  Storage v;

  // The constructors are defined below, once `JsonMember` is complete: building
  // the variant instantiates the destructor of `std::vector<JsonMember>`.
  JsonValue();
  // Any alternative, held as given, but for int64_t below.
  template <AlternativeOf<Storage> T>
  JsonValue(T x);
  // A non-negative integer is held as uint64_t.
  JsonValue(int64_t i);
  JsonValue(int i);
  JsonValue(const char* s);

  bool is_null() const { return std::holds_alternative<std::nullptr_t>(v); }
  bool is_bool() const { return std::holds_alternative<bool>(v); }
  bool is_u64() const { return std::holds_alternative<uint64_t>(v); }
  bool is_i64() const { return std::holds_alternative<int64_t>(v); }
  bool is_f64() const { return std::holds_alternative<double>(v); }
  bool is_number() const { return is_u64() || is_i64() || is_f64(); }
  bool is_string() const { return std::holds_alternative<std::string>(v); }
  bool is_array() const { return std::holds_alternative<JsonArray>(v); }
  bool is_object() const { return std::holds_alternative<JsonObject>(v); }

  bool as_bool() const { return std::get<bool>(v); }
  uint64_t as_u64() const { return std::get<uint64_t>(v); }
  int64_t as_i64() const { return std::get<int64_t>(v); }
  double as_f64() const { return std::get<double>(v); }
  const std::string& as_string() const { return std::get<std::string>(v); }
  const JsonArray& as_array() const { return std::get<JsonArray>(v); }
  JsonArray& as_array() { return std::get<JsonArray>(v); }
  const JsonObject& as_object() const { return std::get<JsonObject>(v); }
  JsonObject& as_object() { return std::get<JsonObject>(v); }

  friend bool operator==(const JsonValue& a, const JsonValue& b) { return a.v == b.v; }
};

struct JsonMember {
  std::string key;
  JsonValue value;
  friend bool operator==(const JsonMember&, const JsonMember&) = default;
};

inline bool JsonObject::empty() const {
  return members.empty();
}
inline size_t JsonObject::size() const {
  return members.size();
}

inline JsonValue::JsonValue() : v(nullptr) {}
template <AlternativeOf<JsonValue::Storage> T>
inline JsonValue::JsonValue(T x) : v(std::in_place_type<T>, std::move(x)) {}
inline JsonValue::JsonValue(int64_t i) : v(i) {
  if (i >= 0) v = static_cast<uint64_t>(i);
}
inline JsonValue::JsonValue(int i) : JsonValue(static_cast<int64_t>(i)) {}
inline JsonValue::JsonValue(const char* s) : v(std::string(s)) {}

}  // namespace quillmere
