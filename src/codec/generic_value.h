// The generic value: one item of the CBOR data model, as carried by `attest` and
// `cash_instr`. Maps are ordered (key, value) pairs whose keys may be any item.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

#include "codec/alternative_of.h"
#include "codec/box.h"

namespace quillmere {

struct GenericValue;

// An integer from -2^64 to 2^64-1, held as CBOR does: a non-negative value n is
// {false, n}; a negative value v is {true, -1 - v}.
struct CborInteger {
  bool negative = false;
  uint64_t magnitude = 0;

  static CborInteger from_u64(uint64_t u) { return {false, u}; }
  static CborInteger from_i64(int64_t i) {
    return i >= 0 ? CborInteger{false, static_cast<uint64_t>(i)}
                  : CborInteger{true, static_cast<uint64_t>(-(i + 1))};
  }
  friend bool operator==(const CborInteger&, const CborInteger&) = default;
};

struct CborBytes {
  std::vector<uint8_t> bytes;
  friend bool operator==(const CborBytes&, const CborBytes&) = default;
};

struct CborTag {
  uint64_t tag = 0;
  Box<GenericValue> item;
  friend bool operator==(const CborTag&, const CborTag&) = default;
};

struct CborArray {
  std::vector<GenericValue> items;
  friend bool operator==(const CborArray&, const CborArray&);
};

struct CborMapEntry;
struct CborMap {
  std::vector<CborMapEntry> entries;  // held order, keys of any type
  friend bool operator==(const CborMap&, const CborMap&);
};

struct GenericValue {
  using Storage = std::variant<CborInteger, CborBytes, double, std::string, bool, std::nullptr_t,
                               CborTag, CborArray, CborMap>;
  Storage v;

  // The constructors are defined below, once `CborMapEntry` is complete: building
  // the variant instantiates the destructor of `std::vector<CborMapEntry>`.
  GenericValue();
  // Any alternative, held as given.
  template <AlternativeOf<Storage> T>
  GenericValue(T x);
  GenericValue(const char* s);

  static GenericValue integer(int64_t i);
  static GenericValue unsigned_integer(uint64_t u);

  friend bool operator==(const GenericValue& a, const GenericValue& b) { return a.v == b.v; }
};

struct CborMapEntry {
  GenericValue key;
  GenericValue value;
  friend bool operator==(const CborMapEntry&, const CborMapEntry&) = default;
};

inline GenericValue::GenericValue() : v(nullptr) {}
template <AlternativeOf<GenericValue::Storage> T>
inline GenericValue::GenericValue(T x) : v(std::in_place_type<T>, std::move(x)) {}
inline GenericValue::GenericValue(const char* s) : v(std::string(s)) {}

inline GenericValue GenericValue::integer(int64_t i) {
  return GenericValue(CborInteger::from_i64(i));
}
inline GenericValue GenericValue::unsigned_integer(uint64_t u) {
  return GenericValue(CborInteger::from_u64(u));
}

inline bool operator==(const CborArray& a, const CborArray& b) {
  return a.items == b.items;
}
inline bool operator==(const CborMap& a, const CborMap& b) {
  return a.entries == b.entries;
}

}  // namespace quillmere
