// Awaiting something whose failure must be handled with more awaiting (a
// clean-up, a rollback, a pause before the next attempt). C++ forbids
// `co_await` inside a `catch` block, so the failure is taken as a value:
//
//     pyx::Outcome created = co_await pyx::outcome_of(create());
//     if (!created) {
//         created.pass_non_exceptions();   // cancellation and interrupts leave at once
//         co_await rollback();
//         created.rethrow();
//     }
//     py::object sandbox = created.value();
#pragma once

#include "pyx/task.hpp"

#include <optional>
#include <type_traits>
#include <utility>

namespace pyx {
namespace py = pybind11;

class Outcome {
public:
    explicit Outcome(py::object value) : value_(std::move(value)) {}
    explicit Outcome(PyError error) : error_(std::move(error)) {}

    // True when the awaited thing returned.
    explicit operator bool() const noexcept { return !error_; }
    const py::object& value() const noexcept { return value_; }
    // The failure; only when the outcome is one.
    const PyError& error() const noexcept { return *error_; }
    // Re-raises the very exception object, as a bare `raise` would.
    [[noreturn]] void rethrow() const { throw *error_; }
    // Re-raises a failure that is not an Exception (cancellation,
    // KeyboardInterrupt, SystemExit), which `except Exception` lets through.
    void pass_non_exceptions() const {
        if (error_ && !error_->is_exception()) throw *error_;
    }

private:
    py::object value_;
    std::optional<PyError> error_;
};

// Awaits a Python awaitable or a Task<py::object> and returns how it ended.
// Given a callable instead, calls it first and awaits what it returns: a
// failure of the call itself is then part of the outcome too, as in
// `try: await operation()`.
template <class Awaitable>
Task<Outcome> outcome_of(Awaitable awaitable) {
    std::optional<PyError> failure;
    try {
        py::object value;
        if constexpr (std::is_invocable_v<Awaitable&>) {
            value = co_await awaitable();
        } else {
            value = co_await std::move(awaitable);
        }
        co_return Outcome(std::move(value));
    } catch (...) {
        failure.emplace(to_pyerror(std::current_exception()));
    }
    co_return Outcome(std::move(*failure));
}

}  // namespace pyx
