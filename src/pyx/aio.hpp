// Typed wrappers over asyncio. asyncio keeps its own semantics; these only
// spare callers the attribute lookups and name the types they return.
#pragma once

#include "pyx/error.hpp"

namespace pyx::aio {
namespace py = pybind11;

py::module_ asyncio();

py::object sleep(double seconds);
py::object shield(py::handle awaitable);
py::object wait_for(py::handle awaitable, py::handle timeout);
py::object create_task(py::handle coroutine);
py::object ensure_future(py::handle awaitable);
py::object get_running_loop();

template <class... Args>
py::object to_thread(py::handle function, Args&&... args) {
    return asyncio().attr("to_thread")(function, std::forward<Args>(args)...);
}

py::handle cancelled_error();
bool is_cancellation(const PyError& error);

}  // namespace pyx::aio
