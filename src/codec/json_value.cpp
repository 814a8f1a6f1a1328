// Sorted-object maintenance for the JSON value.
#include "codec/json_value.h"

#include <algorithm>

namespace quillmere {

namespace {
// std::string_view comparison is unsigned-byte lexicographic (char_traits<char>).
bool key_less(const JsonMember& m, std::string_view key) {
  return std::string_view(m.key) < key;
}
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
  const auto less = [](const JsonMember& a, const JsonMember& b) {
    return std::string_view(a.key) < std::string_view(b.key);
  };
  // Both sorts are stable, keeping input order among equal keys. Most objects are small, and
  // for them an insertion sort beats stable_sort, which allocates a buffer on every call.
  if (members.size() <= 32) {
    for (size_t i = 1; i < members.size(); ++i) {
      if (!less(members[i], members[i - 1])) continue;
      JsonMember moving = std::move(members[i]);
      size_t j = i;
      do {
        members[j] = std::move(members[j - 1]);
        --j;
      } while (j > 0 && less(moving, members[j - 1]));
      members[j] = std::move(moving);
    }
  } else {
    std::stable_sort(members.begin(), members.end(), less);
  }
  // The last of each run of equal keys wins; compacted in place.
  size_t kept = 0;
  for (size_t i = 0; i < members.size(); ++i) {
    if (kept > 0 && members[kept - 1].key == members[i].key) {
      members[kept - 1].value = std::move(members[i].value);
    } else {
      if (kept != i) members[kept] = std::move(members[i]);
      ++kept;
    }
  }
  members.resize(kept);
  JsonObject out;
  out.members = std::move(members);
  return out;
}

bool operator==(const JsonObject& a, const JsonObject& b) {
  return a.members == b.members;
}

}  // namespace quillmere
