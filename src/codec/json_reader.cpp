// One-pass recursive-descent JSON reader over the shared lexical layer.
// Recursion is bounded by the nesting cap; errors record the offending byte and
// are turned into line and column only when they happen.
#include "codec/json_reader.h"

#include <array>
#include <cstdint>
#include <utility>

#include "codec/json_cursor.h"

namespace quillmere {

std::string JsonParseError::display() const {
  return description + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

namespace {

// Sorts by key bytes; of repeated keys the last one stays. Receipts are
// written in declaration order, so nearly every object needs sorting; objects
// are small, so the order is found on indices first and each member is then
// moved once.
void sort_members(std::vector<JsonMember>& members) {
  size_t n = members.size();
  bool sorted = true;
  for (size_t i = 1; i < n && sorted; ++i) {
    sorted = std::string_view(members[i - 1].key) < std::string_view(members[i].key);
  }
  if (sorted) return;
  if (n > 64) {
    members = JsonObject::from_unsorted(std::move(members)).members;
    return;
  }
  std::array<uint8_t, 64> order;
  for (size_t i = 0; i < n; ++i) {
    auto idx = static_cast<uint8_t>(i);
    std::string_view key = members[i].key;
    size_t j = i;
    // Stable: an equal key goes after the earlier one.
    while (j > 0 && key < std::string_view(members[order[j - 1]].key)) {
      order[j] = order[j - 1];
      --j;
    }
    order[j] = idx;
  }
  std::vector<JsonMember> out;
  out.reserve(n);
  for (size_t k = 0; k < n; ++k) {
    JsonMember& m = members[order[k]];
    if (!out.empty() && out.back().key == m.key) {
      out.back().value = std::move(m.value);
    } else {
      out.push_back(std::move(m));
    }
  }
  members = std::move(out);
}

class Parser : json_lex::Cursor {
 public:
  explicit Parser(std::string_view text) : Cursor(text) {}

  std::expected<JsonValue, JsonParseError> run() {
    JsonValue root;
    if (parse_value(root)) {
      if (at_end()) return root;
      fail(p_, "trailing characters");
    }
    return std::unexpected(error());
  }

  std::expected<LeadingDocument, JsonParseError> run_leading() {
    LeadingDocument doc;
    if (!parse_value(doc.value)) return std::unexpected(error());
    if (!at_end()) {
      fail(p_, "trailing characters");
      doc.trailing = error();
    }
    return doc;
  }

 private:
  // Whether only whitespace is left.
  bool at_end() {
    skip_ws();
    return p_ == end_;
  }

  bool parse_value(JsonValue& out) {
    skip_ws();
    if (p_ == end_) return fail(end_, "EOF while parsing a value");
    switch (*p_) {
      case '"':
        ++p_;
        return parse_string(out.v.emplace<std::string>());
      case '{':
        ++p_;
        return parse_object(out);
      case '[':
        ++p_;
        return parse_array(out);
      case 't':
        out.v = true;
        return parse_literal("true");
      case 'f':
        out.v = false;
        return parse_literal("false");
      case 'n':
        out.v = nullptr;
        return parse_literal("null");
      default:
        if (*p_ == '-' || json_lex::is_digit(*p_)) return parse_number(out);
        return fail(p_, "expected value");
    }
  }

  // `p_` is just after the opening quote.
  bool parse_string(std::string& out) {
    std::string_view text;
    if (!Cursor::parse_string(text, scratch_)) return false;
    out.assign(text);
    return true;
  }

  // `p_` is just after the opening bracket.
  bool parse_array(JsonValue& out) {
    if (++depth_ > kJsonMaxDepth) return fail(p_ - 1, "recursion limit exceeded");
    auto& items = out.v.emplace<JsonArray>();
    skip_ws();
    if (p_ == end_) return fail(end_, "EOF while parsing a list");
    if (*p_ == ']') {
      ++p_;
      --depth_;
      return true;
    }
    for (;;) {
      if (!parse_value(items.emplace_back())) return false;
      skip_ws();
      if (p_ == end_) return fail(end_, "EOF while parsing a list");
      if (*p_ == ',') {
        ++p_;
        skip_ws();
        if (p_ < end_ && *p_ == ']') return fail(p_, "trailing comma");
        continue;
      }
      if (*p_ == ']') break;
      return fail(p_, "expected `,` or `]`");
    }
    ++p_;
    --depth_;
    return true;
  }

  // `p_` is just after the opening brace.
  bool parse_object(JsonValue& out) {
    if (++depth_ > kJsonMaxDepth) return fail(p_ - 1, "recursion limit exceeded");
    std::vector<JsonMember> members;
    skip_ws();
    if (p_ == end_) return fail(end_, "EOF while parsing an object");
    if (*p_ != '}') {
      members.reserve(8);
      for (;;) {
        if (*p_ != '"') return fail(p_, "key must be a string");
        ++p_;
        JsonMember& member = members.emplace_back();
        if (!parse_string(member.key)) return false;
        skip_ws();
        if (p_ == end_) return fail(end_, "EOF while parsing an object");
        if (*p_ != ':') return fail(p_, "expected `:`");
        ++p_;
        if (!parse_value(member.value)) return false;
        skip_ws();
        if (p_ == end_) return fail(end_, "EOF while parsing an object");
        if (*p_ == ',') {
          ++p_;
          skip_ws();
          if (p_ == end_) return fail(end_, "EOF while parsing an object");
          if (*p_ == '}') return fail(p_, "trailing comma");
          continue;
        }
        if (*p_ == '}') break;
        return fail(p_, "expected `,` or `}`");
      }
    }
    ++p_;
    --depth_;
    sort_members(members);
    out.v.emplace<JsonObject>().members = std::move(members);
    return true;
  }

  size_t depth_ = 0;
  std::string scratch_;  // decoded text of strings with escapes
};

}  // namespace

std::expected<JsonValue, JsonParseError> parse_json(std::string_view text) {
  return Parser(text).run();
}

std::expected<LeadingDocument, JsonParseError> parse_leading_json(std::string_view text) {
  return Parser(text).run_leading();
}

}  // namespace quillmere
