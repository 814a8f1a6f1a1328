// One pass over the text: scalars are rewritten in their canonical form as they are
// read, and each object's members are written as they come and reordered afterwards
// only when their keys were out of order or repeated. Any failure falls back to the
// tree reader, which gives the error text and position.
#include "codec/jcs_text.h"

#include <algorithm>
#include <cstdint>
#include <forward_list>
#include <vector>

#include "codec/json_cursor.h"
#include "codec/json_text.h"

namespace quillmere {

namespace {

// A member written to the output: its decoded key and the span of `"key":value`.
struct Member {
  std::string_view key;
  size_t begin;
  size_t end;
};

// Working storage kept by each thread between calls, so a call allocates nothing.
struct Workspace {
  std::string scratch;
  std::vector<Member> members;  // open objects' members, innermost last
  std::vector<uint32_t> order;
  std::string held;

  // Gives back to the system whatever a large text made grow beyond what small texts need
  // (clear() and assigning an empty string keep the capacity).
  void trim() {
    constexpr size_t kKeptBytes = size_t{64} << 10;
    if (scratch.capacity() > kKeptBytes) std::string().swap(scratch);
    if (held.capacity() > kKeptBytes) std::string().swap(held);
    if (members.capacity() * sizeof(Member) > kKeptBytes) std::vector<Member>().swap(members);
    if (order.capacity() * sizeof(uint32_t) > kKeptBytes) std::vector<uint32_t>().swap(order);
  }
};

class Transcoder : json_lex::Cursor {
 public:
  Transcoder(std::string_view text, std::string& out, Workspace& work)
      : Cursor(text),
        out_(out),
        scratch_(work.scratch),
        members_(work.members),
        order_(work.order),
        held_(work.held) {
    members_.clear();
  }

  bool run() {
    if (!value()) return false;
    skip_ws();
    return p_ == end_;
  }

 private:
  bool value() {
    skip_ws();
    if (p_ == end_) return false;
    switch (*p_) {
      case '"': {
        ++p_;
        std::string_view s;
        return parse_string(s, scratch_) && write_string(s);
      }
      case '{':
        ++p_;
        return object();
      case '[':
        ++p_;
        return array();
      case 't':
        return literal("true");
      case 'f':
        return literal("false");
      case 'n':
        return literal("null");
      default: {
        if (*p_ != '-' && !json_lex::is_digit(*p_)) return false;
        JsonValue number;
        if (!parse_number(number)) return false;
        append_json(out_, number);
        return true;
      }
    }
  }

  // `s` was just read by parse_string: a view of the input between its quotes, or of
  // the scratch text when it had escapes. Text read without escapes has nothing the
  // writer escapes either (no quote, backslash or control character), so it is copied
  // with its quotes as it stands.
  bool write_string(std::string_view s) {
    if (s.data() == scratch_.data()) {
      append_json_string(out_, s);
    } else {
      out_.append(s.data() - 1, s.size() + 2);
    }
    return true;
  }

  bool literal(std::string_view word) {
    if (!parse_literal(word)) return false;
    out_.append(word);
    return true;
  }

  // `p_` is just after the opening bracket.
  bool array() {
    if (++depth_ > kJsonMaxDepth) return false;
    out_.push_back('[');
    skip_ws();
    if (p_ == end_) return false;
    if (*p_ != ']') {
      for (;;) {
        if (!value()) return false;
        skip_ws();
        if (p_ == end_) return false;
        if (*p_ == ']') break;
        if (*p_ != ',') return false;
        ++p_;
        skip_ws();
        if (p_ < end_ && *p_ == ']') return false;  // trailing comma
        out_.push_back(',');
      }
    }
    ++p_;
    --depth_;
    out_.push_back(']');
    return true;
  }

  // `p_` is just after the opening brace.
  bool object() {
    if (++depth_ > kJsonMaxDepth) return false;
    const size_t first = members_.size();
    const size_t open = out_.size();
    out_.push_back('{');
    skip_ws();
    if (p_ == end_) return false;
    if (*p_ != '}') {
      for (;;) {
        if (*p_ != '"') return false;
        ++p_;
        std::string_view key;
        if (!parse_string(key, scratch_)) return false;
        const size_t begin = out_.size();
        write_string(key);
        out_.push_back(':');
        // A decoded key lives in the scratch text, which the next string reuses.
        if (key.data() == scratch_.data()) key = owned_keys_.emplace_front(key);
        skip_ws();
        if (p_ == end_ || *p_ != ':') return false;
        ++p_;
        if (!value()) return false;
        members_.push_back({key, begin, out_.size()});
        skip_ws();
        if (p_ == end_) return false;
        if (*p_ == '}') break;
        if (*p_ != ',') return false;
        ++p_;
        skip_ws();
        if (p_ == end_ || *p_ == '}') return false;  // trailing comma
        out_.push_back(',');
      }
    }
    ++p_;
    --depth_;
    reorder(first, open);
    members_.resize(first);
    out_.push_back('}');
    return true;
  }

  // Rewrites the members after `open` in key byte order; of repeated keys the last stays.
  void reorder(size_t first, size_t open) {
    const size_t n = members_.size() - first;
    const Member* m = members_.data() + first;
    bool in_order = true;
    for (size_t i = 1; i < n && in_order; ++i) in_order = m[i - 1].key < m[i].key;
    if (in_order) return;
    order_.resize(n);
    for (size_t i = 0; i < n; ++i) order_[i] = static_cast<uint32_t>(i);
    auto less = [m](uint32_t a, uint32_t b) { return m[a].key < m[b].key; };
    if (n <= 16) {
      // Insertion sort, stable: payload objects are small, and this allocates nothing.
      for (size_t i = 1; i < n; ++i) {
        const uint32_t idx = order_[i];
        size_t j = i;
        for (; j > 0 && less(idx, order_[j - 1]); --j) order_[j] = order_[j - 1];
        order_[j] = idx;
      }
    } else {
      std::stable_sort(order_.begin(), order_.end(), less);
    }
    const size_t base = open + 1;
    held_.assign(out_, base);
    out_.resize(base);
    for (size_t k = 0; k < n; ++k) {
      const Member& member = m[order_[k]];
      if (k + 1 < n && m[order_[k + 1]].key == member.key) continue;  // a later one wins
      if (out_.size() != base) out_.push_back(',');
      out_.append(held_, member.begin - base, member.end - member.begin);
    }
  }

  std::string& out_;
  size_t depth_ = 0;
  std::string& scratch_;
  std::vector<Member>& members_;
  std::vector<uint32_t>& order_;
  std::string& held_;
  std::forward_list<std::string> owned_keys_;  // decoded keys, rare: allocated only when used
};

}  // namespace

std::expected<void, JsonParseError> append_jcs_of_text(std::string& out, std::string_view text) {
  thread_local Workspace work;
  const size_t start = out.size();
  bool done = Transcoder(text, out, work).run();
  work.trim();
  if (done) return {};
  out.resize(start);
  auto parsed = parse_json(text);
  if (!parsed) return std::unexpected(std::move(parsed.error()));
  append_json(out, *parsed);  // the one-pass reading refused a text the reader took
  return {};
}

}  // namespace quillmere
