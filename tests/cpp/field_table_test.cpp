// Every field of every record, reached through the field tables: changing it
// changes the receipt hash (only `sig` and `hash`, and what they hold, stay out of
// it) and survives a JSON round trip, on which both readers agree. A member that a
// table leaves out does not compile (for_each_field checks the count).
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "codec/json_reader.h"
#include "receipts/canonical.h"
#include "receipts/json_adapter.h"
#include "receipts/receipt_deser.h"
#include "receipts/receipt_reader.h"
#include "receipts/record_fields.h"

namespace quillmere {
namespace {

using Step = std::function<void(Receipt&)>;
template <typename T>
using Access = std::function<T&(Receipt&)>;

// One change of one value: `prepare` makes the value exist (optionals present,
// sequences not empty); `change` then alters it.
struct Change {
  std::string path;
  bool hashed;
  Step prepare;
  Step change;
};

// A value of each type to put where there was none.
template <typename T>
T sample() {
  if constexpr (std::is_same_v<T, std::string>) {
    return "s";
  } else if constexpr (std::is_same_v<T, GenericValue>) {
    return GenericValue::integer(7);
  } else {
    return T{};
  }
}

// A different value of the same type.
void alter(std::string& s) {
  s += "x";
}
template <typename T>
  requires std::is_arithmetic_v<T>
void alter(T& v) {
  v = static_cast<T>(v + 1);
}
template <size_t N>
void alter(std::array<uint8_t, N>& bytes) {
  bytes[0] ^= 1;
}
void alter(Determinism& d) {
  d = d == Determinism::Strict ? Determinism::Bounded : Determinism::Strict;
}
void alter(GenericValue& g) {
  g = GenericValue(CborArray{{g}});
}
void alter(std::map<std::string, double>& m) {
  m["k"] += 1.0;
}

template <typename T>
struct Walk;

// Adds the changes of the value at `at` (whose path `prepare` makes exist).
template <typename T>
void walk(std::vector<Change>& out, const std::string& path, bool hashed, Access<T> at,
          Step prepare) {
  Walk<T>::run(out, path, hashed, std::move(at), std::move(prepare));
}

template <typename T>
struct Walk {
  static void run(std::vector<Change>& out, const std::string& path, bool hashed, Access<T> at,
                  Step prepare) {
    if constexpr (JsonRecord<T>) {
      for_each_field<T>([&](auto f) {
        using F = FieldType<T, f>;
        if constexpr (!std::is_same_v<F, ReceiptKind>) {
          const std::string key(kField<T, f>.key);
          // Only `sig` and `hash` are left out of the canonical body.
          const bool field_hashed =
              hashed && !(std::is_same_v<T, Receipt> && (key == "sig" || key == "hash"));
          constexpr auto member = kField<T, f>.member;
          Access<F> field_at = [at](Receipt& r) -> F& { return at(r).*member; };
          walk<F>(out, path + "." + key, field_hashed, field_at, prepare);
        }
      });
    } else {
      out.push_back({path, hashed, prepare, [at](Receipt& r) { alter(at(r)); }});
    }
  }
};

template <typename T>
struct Walk<std::optional<T>> {
  static void run(std::vector<Change>& out, const std::string& path, bool hashed,
                  Access<std::optional<T>> at, Step prepare) {
    out.push_back({path + " (absent or present)", hashed, prepare, [at](Receipt& r) {
                     auto& v = at(r);
                     if (v) {
                       v.reset();
                     } else {
                       v.emplace(sample<T>());
                     }
                   }});
    Step present = [at, prepare](Receipt& r) {
      prepare(r);
      if (!at(r)) at(r).emplace(sample<T>());
    };
    walk<T>(out, path, hashed, [at](Receipt& r) -> T& { return *at(r); }, present);
  }
};

template <typename T>
struct Walk<std::vector<T>> {
  static void run(std::vector<Change>& out, const std::string& path, bool hashed,
                  Access<std::vector<T>> at, Step prepare) {
    out.push_back({path + " (one more)", hashed, prepare,
                   [at](Receipt& r) { at(r).push_back(sample<T>()); }});
    Step non_empty = [at, prepare](Receipt& r) {
      prepare(r);
      if (at(r).empty()) at(r).push_back(sample<T>());
    };
    walk<T>(out, path + "[0]", hashed, [at](Receipt& r) -> T& { return at(r)[0]; }, non_empty);
  }
};

// The payload's fields are walked with the record it holds, below.
template <>
struct Walk<Payload> {
  static void run(std::vector<Change>&, const std::string&, bool, Access<Payload>, Step) {}
};

// The walk of a receipt whose payload is a `P`.
template <typename P>
std::vector<Change> changes_of_receipt_with() {
  std::vector<Change> out;
  Step none = [](Receipt&) {};
  Walk<Receipt>::run(
      out, std::string(RecordFields<P>::name), true, [](Receipt& r) -> Receipt& { return r; },
      none);
  // The payload itself: its record's fields.
  Access<P> payload = [](Receipt& r) -> P& { return std::get<P>(r.payload); };
  walk<P>(out, std::string(RecordFields<P>::name) + ".payload", true, payload, none);
  return out;
}

std::string hash_of(const Receipt& r) {
  auto h = compute_hash(r);
  return h ? *h : "(failed) " + h.error().detail;
}

template <typename P>
void check_every_field() {
  Receipt base;
  base.payload = P{};
  size_t count = 0;
  for (const Change& c : changes_of_receipt_with<P>()) {
    SCOPED_TRACE(c.path);
    Receipt before = base;
    c.prepare(before);
    Receipt after = before;
    c.change(after);
    ASSERT_NE(after, before);
    if (c.hashed) {
      EXPECT_NE(hash_of(after), hash_of(before));
    } else {
      EXPECT_EQ(hash_of(after), hash_of(before));
    }
    auto text = receipt_to_json(after);
    ASSERT_TRUE(text.has_value());
    auto back = receipt_from_json(*text);
    ASSERT_TRUE(back.has_value()) << back.error().display() << "\n" << *text;
    EXPECT_EQ(*back, after) << *text;
    auto tree = parse_json(*text);
    ASSERT_TRUE(tree.has_value());
    EXPECT_EQ(deserialize_from_json_value(*tree), *back);
    if (auto direct = read_receipt_direct(*text)) {
      EXPECT_EQ(*direct, *back);
    }
    ++count;
  }
  // Reaching the payload's fields at all (each has at least one change).
  EXPECT_GE(count, 10 + kFieldCount<P>);
}

TEST(FieldTable, EveryFieldEntersTheHashAndSurvivesTheJsonForm) {
  check_every_field<DataShapePayload>();
  check_every_field<MethodShapePayload>();
  check_every_field<ReasoningShapePayload>();
  check_every_field<ExecutionPayload>();
  check_every_field<SpendPayload>();
  check_every_field<SettlementPayload>();
}

}  // namespace
}  // namespace quillmere
