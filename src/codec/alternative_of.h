// AlternativeOf<T, V>: T is exactly one of the alternatives of the variant V, so that a
// value type built on a variant can take each alternative through one constructor.
#pragma once

#include <type_traits>
#include <variant>

namespace quillmere {

namespace detail {
template <typename T, typename V>
inline constexpr bool kIsAlternative = false;
template <typename T, typename... A>
inline constexpr bool kIsAlternative<T, std::variant<A...>> = (std::is_same_v<T, A> || ...);
}  // namespace detail

template <typename T, typename V>
concept AlternativeOf = detail::kIsAlternative<T, V>;

}  // namespace quillmere
