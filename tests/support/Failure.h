#pragma once

#include <optional>
#include <variant>

namespace vantry::test {

/// The error of a failed `result` when it is an `E`, one alternative of the result's error type.
template <class E, class Result> std::optional<E> failureOf(const Result &result)
{
    const E *error = result ? nullptr : std::get_if<E>(&result.error());
    return error ? std::optional(*error) : std::nullopt;
}

} // namespace vantry::test
