#include "pyx/aio.hpp"

#include <pybind11/gil_safe_call_once.h>

namespace pyx::aio {

// Importing runs Python code that may release the GIL, so these are built
// under the GIL-safe call-once rather than a function-local static's guard.
py::module_ asyncio() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::module_> storage;
    return storage.call_once_and_store_result([] { return py::module_::import("asyncio"); }).get_stored();
}

py::object sleep(double seconds) {
    return asyncio().attr("sleep")(seconds);
}
py::object shield(py::handle awaitable) {
    return asyncio().attr("shield")(awaitable);
}
py::object wait_for(py::handle awaitable, py::handle timeout) {
    return asyncio().attr("wait_for")(awaitable, timeout);
}
py::object create_task(py::handle coroutine) {
    return asyncio().attr("create_task")(coroutine);
}
py::object ensure_future(py::handle awaitable) {
    return asyncio().attr("ensure_future")(awaitable);
}
py::object get_running_loop() {
    return asyncio().attr("get_running_loop")();
}

py::handle cancelled_error() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<py::object> storage;
    return storage.call_once_and_store_result([] { return py::object(asyncio().attr("CancelledError")); }).get_stored();
}

bool is_cancellation(const PyError& error) {
    return error.matches(cancelled_error());
}

}  // namespace pyx::aio
