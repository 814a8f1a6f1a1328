// Sorted-object maintenance for the JSON value.
#include "receipts/json_value.h"

#include <algorithm>

namespace quillmere {

namespace {
// std::string_view comparison is unsigned-byte lexicographic (char_traits<char>).
bool key_less(const JsonMember& m, std::string_view key) { return std::string_view(m.key) < key; }
}  // namespace

const JsonValue* JsonObject::find(std::string_view key) const {
  auto it = std::lower_bound(members.begin(), members.end(), key, key_less);
  if (it != members.end() && it->key == key) return &it->value;
  return nullptr;
}

void JsonObject::insert(std::string key, JsonValue value) {
  auto it = std::lower_bound(members.begin(), members.end(), std::string_view(key), key_less);
  if (it != members.end() && it->key == key) {
    it->value = std::move(value);
  } else {
    members.insert(it, JsonMember{std::move(key), std::move(value)});
  }
}

JsonObject JsonObject::from_unsorted(std::vector<JsonMember> members) {
  // Stable sort keeps input order among equal keys; the last of each run wins.
  std::stable_sort(members.begin(), members.end(), [](const JsonMember& a, const JsonMember& b) {
    return std::string_view(a.key) < std::string_view(b.key);
  });
  JsonObject out;
  out.members.reserve(members.size());
  for (auto& m : members) {
    if (!out.members.empty() && out.members.back().key == m.key) {
      out.members.back().value = std::move(m.value);
    } else {
      out.members.push_back(std::move(m));
    }
  }
  return out;
}

bool operator==(const JsonObject& a, const JsonObject& b) { return a.members == b.members; }

}  // namespace quillmere
