// Canonical ordering and encoding of generic values. Every walk carries a nesting
// budget, so hostile values cannot exhaust the stack.
#include "codec/cbor_canon.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <numeric>
#include <string>
#include <string_view>
#include <variant>

namespace quillmere {

namespace {

struct KeyBytes {
  const uint8_t* data;
  size_t size;
};

// Unsigned lexicographic order, a proper prefix first.
bool key_less(const KeyBytes& a, const KeyBytes& b) {
  int c = std::memcmp(a.data, b.data, std::min(a.size, b.size));
  return c != 0 ? c < 0 : a.size < b.size;
}

KeyBytes text_key(const std::string& s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// Sort keys of a map's keys. Non-text keys are encoded into `owned`, which must
// be reserved beforehand so the views stay valid. False when a key nests
// beyond `budget`.
bool sort_keys(const std::vector<CborMapEntry>& entries, size_t budget, std::vector<KeyBytes>& keys,
               std::vector<std::vector<uint8_t>>& owned) {
  keys.reserve(entries.size());
  for (const auto& e : entries) {
    if (const auto* s = std::get_if<std::string>(&e.key.v)) {
      keys.push_back(text_key(*s));
      continue;
    }
    auto& buf = owned.emplace_back();
    cbor::Writer kw(buf);
    if (!cbor::encode_canonical(kw, e.key, budget)) return false;
    keys.push_back({buf.data(), buf.size()});
  }
  return true;
}

bool has_non_text_key(const std::vector<CborMapEntry>& entries) {
  return std::any_of(entries.begin(), entries.end(), [](const CborMapEntry& e) {
    return !std::holds_alternative<std::string>(e.key.v);
  });
}

// Entry positions in canonical order (stable); empty when already in order.
std::vector<uint32_t> canonical_order(const std::vector<KeyBytes>& keys) {
  bool sorted = true;
  for (size_t i = 1; i < keys.size() && sorted; ++i) sorted = !key_less(keys[i], keys[i - 1]);
  if (sorted) return {};
  std::vector<uint32_t> order(keys.size());
  std::iota(order.begin(), order.end(), 0U);
  std::stable_sort(order.begin(), order.end(),
                   [&](uint32_t a, uint32_t b) { return key_less(keys[a], keys[b]); });
  return order;
}

void canon_in_place(GenericValue& value) {
  if (auto* arr = std::get_if<CborArray>(&value.v)) {
    for (auto& item : arr->items) canon_in_place(item);
    return;
  }
  auto* map = std::get_if<CborMap>(&value.v);
  if (map == nullptr) return;  // scalars, and tags, whose content stays as held
  for (auto& e : map->entries) canon_in_place(e.value);
  std::vector<KeyBytes> keys;
  std::vector<std::vector<uint8_t>> owned;
  owned.reserve(has_non_text_key(map->entries) ? map->entries.size() : 0);
  // The caller checked the nesting, so encoding the keys cannot fail.
  sort_keys(map->entries, kMaxCborNesting, keys, owned);
  std::vector<uint32_t> order = canonical_order(keys);
  if (order.empty()) return;
  std::vector<CborMapEntry> sorted;
  sorted.reserve(order.size());
  for (uint32_t i : order) sorted.push_back(std::move(map->entries[i]));
  map->entries = std::move(sorted);
}

// A readable description of a value, cut short below `budget` levels.
void append_debug(std::string& out, const GenericValue& value, size_t budget) {
  auto number = [&out](auto n) {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, n);
    out.append(buf, r.ptr);
  };
  if (budget == 0) {
    out.append("..");
    return;
  }
  std::visit(
      [&](const auto& v) {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, CborInteger>) {
          out.append("Integer(");
          if (v.negative) {
            out.append("-1-");
          }
          number(v.magnitude);
          out.push_back(')');
        } else if constexpr (std::is_same_v<T, CborBytes>) {
          out.append("Bytes([");
          for (size_t i = 0; i < v.bytes.size(); ++i) {
            if (i != 0) out.append(", ");
            number(static_cast<unsigned>(v.bytes[i]));
          }
          out.append("])");
        } else if constexpr (std::is_same_v<T, double>) {
          out.append("Float(");
          number(v);
          out.push_back(')');
        } else if constexpr (std::is_same_v<T, std::string>) {
          out.append("Text(\"").append(v).append("\")");
        } else if constexpr (std::is_same_v<T, bool>) {
          out.append(v ? "Bool(true)" : "Bool(false)");
        } else if constexpr (std::is_same_v<T, std::nullptr_t>) {
          out.append("Null");
        } else if constexpr (std::is_same_v<T, CborTag>) {
          out.append("Tag(");
          number(v.tag);
          out.append(", ");
          append_debug(out, *v.item, budget - 1);
          out.push_back(')');
        } else if constexpr (std::is_same_v<T, CborArray>) {
          out.append("Array([");
          for (size_t i = 0; i < v.items.size(); ++i) {
            if (i != 0) out.append(", ");
            append_debug(out, v.items[i], budget - 1);
          }
          out.append("])");
        } else {
          out.append("Map([");
          for (size_t i = 0; i < v.entries.size(); ++i) {
            if (i != 0) out.append(", ");
            out.push_back('(');
            append_debug(out, v.entries[i].key, budget - 1);
            out.append(", ");
            append_debug(out, v.entries[i].value, budget - 1);
            out.push_back(')');
          }
          out.append("])");
        }
      },
      value.v);
}

}  // namespace

size_t nesting_depth(const GenericValue& value, size_t limit) {
  const GenericValue* only_child = nullptr;
  if (const auto* tag = std::get_if<CborTag>(&value.v)) only_child = &*tag->item;
  const auto* arr = std::get_if<CborArray>(&value.v);
  const auto* map = std::get_if<CborMap>(&value.v);
  if (only_child == nullptr && arr == nullptr && map == nullptr) return 0;
  if (limit == 0) return 1;
  size_t deepest = 0;
  auto visit = [&](const GenericValue& child) {
    deepest = std::max(deepest, nesting_depth(child, limit - 1));
    return deepest >= limit;  // already over: stop early
  };
  if (only_child != nullptr) {
    visit(*only_child);
  } else if (arr != nullptr) {
    for (const auto& item : arr->items) {
      if (visit(item)) break;
    }
  } else {
    for (const auto& e : map->entries) {
      if (visit(e.key) || visit(e.value)) break;
    }
  }
  return 1 + deepest;
}

std::vector<uint8_t> format_key(const GenericValue& key) {
  if (const auto* s = std::get_if<std::string>(&key.v)) return {s->begin(), s->end()};
  std::vector<uint8_t> out;
  cbor::Writer w(out);
  if (cbor::encode_canonical(w, key, kMaxCborNesting)) return out;
  std::string debug;
  append_debug(debug, key, kMaxCborNesting);
  return {debug.begin(), debug.end()};
}

std::expected<void, CanonicalError> canon_value(GenericValue& value) {
  if (nesting_depth(value, kMaxCborNesting) > kMaxCborNesting) {
    return std::unexpected(
        CanonicalError{CanonicalError::Kind::Conversion, "RecursionLimitExceeded"});
  }
  canon_in_place(value);
  return {};
}

namespace cbor {

bool encode_as_held(Writer& w, const GenericValue& value, size_t max_nesting) {
  switch (value.v.index()) {
    case 0:
      w.integer(std::get<CborInteger>(value.v));
      return true;
    case 1:
      w.bytes(std::get<CborBytes>(value.v).bytes);
      return true;
    case 2:
      w.float64(std::get<double>(value.v));
      return true;
    case 3:
      w.text(std::get<std::string>(value.v));
      return true;
    case 4:
      w.boolean(std::get<bool>(value.v));
      return true;
    case 5:
      w.null();
      return true;
    default:
      break;
  }
  if (max_nesting == 0) return false;
  if (const auto* tag = std::get_if<CborTag>(&value.v)) {
    w.tag(tag->tag);
    return encode_as_held(w, *tag->item, max_nesting - 1);
  }
  if (const auto* arr = std::get_if<CborArray>(&value.v)) {
    w.array(arr->items.size());
    for (const auto& item : arr->items) {
      if (!encode_as_held(w, item, max_nesting - 1)) return false;
    }
    return true;
  }
  const auto& map = std::get<CborMap>(value.v);
  w.map(map.entries.size());
  for (const auto& e : map.entries) {
    if (!encode_as_held(w, e.key, max_nesting - 1)) return false;
    if (!encode_as_held(w, e.value, max_nesting - 1)) return false;
  }
  return true;
}

bool encode_canonical(Writer& w, const GenericValue& value, size_t max_nesting) {
  const auto* arr = std::get_if<CborArray>(&value.v);
  const auto* map = std::get_if<CborMap>(&value.v);
  if (arr == nullptr && map == nullptr) return encode_as_held(w, value, max_nesting);
  if (max_nesting == 0) return false;
  if (arr != nullptr) {
    w.array(arr->items.size());
    for (const auto& item : arr->items) {
      if (!encode_canonical(w, item, max_nesting - 1)) return false;
    }
    return true;
  }
  const auto& entries = map->entries;
  std::vector<KeyBytes> keys;
  std::vector<std::vector<uint8_t>> owned;
  owned.reserve(has_non_text_key(entries) ? entries.size() : 0);
  if (!sort_keys(entries, max_nesting - 1, keys, owned)) return false;
  std::vector<uint32_t> order = canonical_order(keys);
  w.map(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    const CborMapEntry& e = order.empty() ? entries[i] : entries[order[i]];
    // Keys are written as held: canonicalisation never rewrites a key.
    if (!encode_as_held(w, e.key, max_nesting - 1)) return false;
    if (!encode_canonical(w, e.value, max_nesting - 1)) return false;
  }
  return true;
}

}  // namespace cbor

}  // namespace quillmere
