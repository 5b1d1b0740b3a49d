#pragma once

#include <tl/expected.hpp>

#include <type_traits>
#include <utility>

namespace vantry {

/// The result of an operation that can fail: a value of T, or an error of E.
template <class T, class E> using Expected = tl::expected<T, E>;

template <class E> using Unexpected = tl::unexpected<E>;

template <class E> [[nodiscard]] Unexpected<std::decay_t<E>> unexpected(E &&error)
{
    return tl::make_unexpected(std::forward<E>(error));
}

} // namespace vantry
