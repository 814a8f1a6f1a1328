// Generic value <-> JSON.
#include "codec/generic_json.h"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "codec/json_text.h"

namespace quillmere {

namespace {

// The text of -1 - magnitude, which reaches -2^64 and so needs more than 64 bits.
void append_cbor_integer(std::string& out, const CborInteger& i) {
  if (!i.negative) {
    append_u64(out, i.magnitude);
    return;
  }
  if (i.magnitude == std::numeric_limits<uint64_t>::max()) {
    out.append("-18446744073709551616");
    return;
  }
  out.push_back('-');
  append_u64(out, i.magnitude + 1);
}

std::expected<void, std::string> append_map_key(std::string& out, const GenericValue& key) {
  switch (key.v.index()) {
    case 0: {  // integer
      std::string text;
      append_cbor_integer(text, std::get<CborInteger>(key.v));
      append_json_string(out, text);
      return {};
    }
    case 2: {  // float
      double d = std::get<double>(key.v);
      if (!std::isfinite(d)) {
        return std::unexpected(std::string("float key must be finite (got NaN or +/-inf)"));
      }
      std::string text;
      append_generic_float(text, d);
      append_json_string(out, text);
      return {};
    }
    case 3:  // text
      append_json_string(out, std::get<std::string>(key.v));
      return {};
    case 4:  // bool
      out.append(std::get<bool>(key.v) ? "\"true\"" : "\"false\"");
      return {};
    default:
      return std::unexpected(std::string("key must be a string"));
  }
}

}  // namespace

void append_generic_float(std::string& out, double v) {
  if (!std::isfinite(v)) {
    out.append("null");
    return;
  }
  if (std::fabs(v) <= std::numeric_limits<float>::max()) {
    auto f = static_cast<float>(v);
    if (static_cast<double>(f) == v) {
      // A float32 holds the value, but its shortest text may name a different
      // double (0.10000000149011612 would become 0.1); only a text that reads
      // back to the same bits keeps the value through a round trip.
      std::string text;
      append_f32(text, f);
      double back = 0.0;
      auto res = std::from_chars(text.data(), text.data() + text.size(), back);
      if (res.ec == std::errc() && std::bit_cast<uint64_t>(back) == std::bit_cast<uint64_t>(v)) {
        out.append(text);
        return;
      }
    }
  }
  append_f64(out, v);
}

std::expected<void, std::string> append_generic_json(std::string& out, const GenericValue& v) {
  switch (v.v.index()) {
    case 0:
      append_cbor_integer(out, std::get<CborInteger>(v.v));
      return {};
    case 1: {
      out.push_back('[');
      bool first = true;
      for (uint8_t b : std::get<CborBytes>(v.v).bytes) {
        if (!first) out.push_back(',');
        first = false;
        append_u64(out, b);
      }
      out.push_back(']');
      return {};
    }
    case 2:
      append_generic_float(out, std::get<double>(v.v));
      return {};
    case 3:
      append_json_string(out, std::get<std::string>(v.v));
      return {};
    case 4:
      out.append(std::get<bool>(v.v) ? "true" : "false");
      return {};
    case 5:
      out.append("null");
      return {};
    case 6: {
      const auto& tag = std::get<CborTag>(v.v);
      out.append("{\"@@TAGGED@@\":[");
      append_u64(out, tag.tag);
      out.push_back(',');
      if (auto r = append_generic_json(out, *tag.item); !r) return r;
      out.append("]}");
      return {};
    }
    case 7: {
      out.push_back('[');
      bool first = true;
      for (const auto& item : std::get<CborArray>(v.v).items) {
        if (!first) out.push_back(',');
        first = false;
        if (auto r = append_generic_json(out, item); !r) return r;
      }
      out.push_back(']');
      return {};
    }
    case 8: {
      out.push_back('{');
      bool first = true;
      for (const auto& entry : std::get<CborMap>(v.v).entries) {
        if (!first) out.push_back(',');
        first = false;
        if (auto r = append_map_key(out, entry.key); !r) return r;
        out.push_back(':');
        if (auto r = append_generic_json(out, entry.value); !r) return r;
      }
      out.push_back('}');
      return {};
    }
  }
  return {};
}

GenericValue generic_from_json(const JsonValue& v) {
  switch (v.v.index()) {
    case 0:
      return GenericValue(nullptr);
    case 1:
      return GenericValue(v.as_bool());
    case 2:
      return GenericValue(CborInteger::from_u64(v.as_u64()));
    case 3:
      return GenericValue(CborInteger::from_i64(v.as_i64()));
    case 4:
      return GenericValue(v.as_f64());
    case 5:
      return GenericValue(v.as_string());
    case 6: {
      CborArray array;
      array.items.reserve(v.as_array().size());
      for (const auto& item : v.as_array()) array.items.push_back(generic_from_json(item));
      return GenericValue(std::move(array));
    }
    default: {
      CborMap map;
      map.entries.reserve(v.as_object().size());
      for (const auto& m : v.as_object().members) {
        map.entries.push_back(CborMapEntry{GenericValue(m.key), generic_from_json(m.value)});
      }
      return GenericValue(std::move(map));
    }
  }
}

}  // namespace quillmere
