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

namespace detail {

// Awaits a Python awaitable inside the awaiting frame itself (no frame of its
// own) and hands back how it ended.
class OutcomeAwaiter {
public:
    explicit OutcomeAwaiter(py::object awaitable) : inner_{std::move(awaitable)} {}
    explicit OutcomeAwaiter(PyError failure) : failure_(std::move(failure)) {}

    void bridge_awaiter() const noexcept {}
    bool await_ready() const noexcept { return failure_.has_value(); }
    template <class P>
    bool await_suspend(std::coroutine_handle<P> handle) {
        try {
            return inner_.await_suspend(handle);
        } catch (...) {
            failure_.emplace(to_pyerror(std::current_exception()));
            return false;
        }
    }
    Outcome await_resume() {
        if (failure_) return Outcome(std::move(*failure_));
        // A failure that the driver delivers is taken as it is, without a C++ throw
        // and catch: the end of every `async for` is one, on the success path.
        if (inner_.driver && inner_.driver->thrown) {
            return Outcome(PyError(std::exchange(inner_.driver->thrown, py::object())));
        }
        try {
            return Outcome(inner_.await_resume());
        } catch (...) {
            return Outcome(to_pyerror(std::current_exception()));
        }
    }

private:
    PythonAwaiter inner_;
    std::optional<PyError> failure_;
};

template <class T>
struct is_task_type : std::false_type {};
template <class T>
struct is_task_type<Task<T>> : std::true_type {};

template <class T>
Task<Outcome> task_outcome(Task<T> task) {
    std::optional<PyError> failure;
    try {
        py::object value = co_await std::move(task);
        co_return Outcome(std::move(value));
    } catch (...) {
        failure.emplace(to_pyerror(std::current_exception()));
    }
    co_return Outcome(std::move(*failure));
}

}  // namespace detail

// Awaits a Python awaitable (or a Task<py::object>) and returns how it ended.
// Given a callable instead, calls it first and awaits what it returns: a
// failure of the call itself is then part of the outcome too, as in
// `try: await operation()`.
template <class Awaitable>
auto outcome_of(Awaitable&& awaitable) {
    using Plain = std::remove_cvref_t<Awaitable>;
    if constexpr (detail::is_task_type<Plain>::value) {
        return detail::task_outcome(std::forward<Awaitable>(awaitable));
    } else if constexpr (std::is_invocable_v<Plain&>) {
        using Result = std::remove_cvref_t<std::invoke_result_t<Plain&>>;
        if constexpr (detail::is_task_type<Result>::value) {
            // A Task starts lazily: the call only makes its frame, so every
            // failure of the operation surfaces while it is awaited.
            return detail::task_outcome(awaitable());
        } else {
            try {
                return detail::OutcomeAwaiter(py::object(awaitable()));
            } catch (...) {
                return detail::OutcomeAwaiter(to_pyerror(std::current_exception()));
            }
        }
    } else {
        return detail::OutcomeAwaiter(py::object(std::forward<Awaitable>(awaitable)));
    }
}

}  // namespace pyx
