#include "pyx/aio.hpp"

namespace pyx::aio {

py::module_ asyncio() {
    static PyObject* module = py::module_::import("asyncio").release().ptr();
    return py::reinterpret_borrow<py::module_>(module);
}

py::object sleep(double seconds) { return asyncio().attr("sleep")(seconds); }
py::object shield(py::handle awaitable) { return asyncio().attr("shield")(awaitable); }
py::object wait_for(py::handle awaitable, py::handle timeout) {
    return asyncio().attr("wait_for")(awaitable, timeout);
}
py::object create_task(py::handle coroutine) { return asyncio().attr("create_task")(coroutine); }
py::object ensure_future(py::handle awaitable) { return asyncio().attr("ensure_future")(awaitable); }
py::object get_running_loop() { return asyncio().attr("get_running_loop")(); }

py::handle cancelled_error() {
    static PyObject* type = py::object(asyncio().attr("CancelledError")).release().ptr();
    return type;
}

bool is_cancellation(const PyError& error) { return error.matches(cancelled_error()); }

}  // namespace pyx::aio
