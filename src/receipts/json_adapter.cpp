// Receipt -> JSON text in one pass into a growing buffer; JSON text -> receipt
// in one pass when the text is in the plain form, else through the JSON tree.
#include "receipts/json_adapter.h"

#include <map>
#include <optional>
#include <vector>

#include "codec/base64url.h"
#include "codec/generic_json.h"
#include "codec/json_reader.h"
#include "codec/json_text.h"
#include "receipts/receipt_deser.h"
#include "receipts/receipt_reader.h"
#include "receipts/record_fields.h"

namespace quillmere {

namespace {

// Set by the first generic value that cannot be written; writing stops there.
struct Writer {
  std::string out;
  std::optional<std::string> error;

  void value(const std::string& s) { append_json_string(out, s); }
  void value(uint64_t v) { append_u64(out, v); }
  void value(int64_t v) { append_i64(out, v); }
  void value(uint8_t v) { append_u64(out, v); }
  void value(double v) { append_f64(out, v); }
  void value(float v) { append_f32(out, v); }
  void value(const Bytes32& b) {
    out.push_back('"');
    append_base64url(out, b);
    out.push_back('"');
  }
  void value(const Uuid& id) { plain_text(uuid_to_string(id)); }
  void value(Determinism d) { plain_text(wire_name(d)); }
  void value(ReceiptKind kind) { plain_text(wire_name(kind)); }
  void value(const GenericValue& g) {
    if (error) return;
    if (auto r = append_generic_json(out, g); !r) error = std::move(r.error());
  }
  void value(const std::map<std::string, double>& m) {
    out.push_back('{');
    bool first = true;
    for (const auto& [key, v] : m) {
      if (!first) out.push_back(',');
      first = false;
      append_json_string(out, key);
      out.push_back(':');
      append_f64(out, v);
    }
    out.push_back('}');
  }
  template <typename T>
  void value(const std::optional<T>& v) {
    if (v) {
      value(*v);
    } else {
      out.append("null");
    }
  }
  template <typename T>
  void value(const std::vector<T>& items) {
    out.push_back('[');
    bool first = true;
    for (const auto& item : items) {
      if (!first) out.push_back(',');
      first = false;
      value(item);
    }
    out.push_back(']');
  }
  // The payload is the object of the record it holds, with no tag of its own.
  void value(const Payload& payload) {
    std::visit([&](const auto& record) { value(record); }, payload);
  }
  template <JsonRecord R>
  void value(const R& record) {
    out.push_back('{');
    bool first = true;
    for_each_field<R>([&](auto f) {
      const auto& v = kField<R, f>.get(record);
      if constexpr (has_flag<R, f>(kOmitWhenAbsent)) {
        if (!v.has_value()) return;
      }
      if (!first) out.push_back(',');
      first = false;
      key(kField<R, f>.key);
      value(v);
    });
    out.push_back('}');
  }

  // Names and identifiers are plain ASCII, so they need no escaping.
  void plain_text(std::string_view text) {
    out.push_back('"');
    out.append(text);
    out.push_back('"');
  }

  // Keys are plain ASCII names, so they need no escaping.
  void key(std::string_view k) {
    out.push_back('"');
    out.append(k);
    out.append("\":");
  }
};

}  // namespace

std::expected<std::string, AdapterError> receipt_to_json(const Receipt& receipt) {
  Writer w;
  w.out.reserve(1024);
  w.value(receipt);
  if (w.error)
    return std::unexpected(AdapterError{AdapterError::Kind::JsonSerialization, *w.error});
  return std::move(w.out);
}

std::expected<Receipt, AdapterError> receipt_from_json(std::string_view text) {
  // Receipts as written take the one-pass reading; anything else goes through
  // the tree, which also gives the exact failure text.
  if (auto direct = read_receipt_direct(text)) return std::move(*direct);
  return receipt_from_json_tree(text);
}

std::expected<Receipt, AdapterError> receipt_from_json_tree(std::string_view text) {
  auto fail = [](std::string detail) {
    return std::unexpected(
        AdapterError{AdapterError::Kind::JsonDeserialization, std::move(detail)});
  };
  // The document is converted before the text after it is judged: a document
  // that cannot be a receipt reports that, whatever follows it.
  auto doc = parse_leading_json(text);
  if (!doc) return fail(doc.error().display());
  // The fast path takes strings out of the tree; a failure is read again from a
  // fresh tree so that its positions are exact.
  auto receipt = deserialize_consuming(doc->value);
  if (receipt) {
    if (doc->trailing) return fail(doc->trailing->display());
    return std::move(*receipt);
  }
  auto again = parse_leading_json(text);
  auto exact = deserialize_from_json_value(again->value);
  return fail(exact ? std::move(receipt.error()) : std::move(exact.error()));
}

}  // namespace quillmere
