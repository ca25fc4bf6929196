// `async for item in iterable:` as a loop in a Task, with no frame of its own:
//
//     pyx::AsyncFor items(stream);
//     while (std::optional<py::object> item = co_await items.next()) {
//         ...
//     }
//
// `__aiter__` and `__anext__` are found on the types, as the statement finds
// them. A StopAsyncIteration from `__anext__` (raised by the call or by the
// awaitable it returns) ends the loop; any other exception goes on unchanged.
#pragma once

#include "pyx/outcome.hpp"

#include <optional>

namespace pyx {
namespace py = pybind11;

class AsyncFor {
public:
    explicit AsyncFor(py::handle iterable);

    // Awaits the next item in the awaiting frame itself; empty at the end.
    class Next {
    public:
        explicit Next(py::handle iterator);

        void bridge_awaiter() const noexcept {}
        bool await_ready() const noexcept { return awaiter_.await_ready(); }
        template <class P>
        bool await_suspend(std::coroutine_handle<P> handle) {
            return awaiter_.await_suspend(handle);
        }
        std::optional<py::object> await_resume();

    private:
        detail::OutcomeAwaiter awaiter_;
    };

    Next next() const { return Next(iterator_); }
    const py::object& iterator() const noexcept { return iterator_; }

private:
    py::object iterator_;
};

}  // namespace pyx
