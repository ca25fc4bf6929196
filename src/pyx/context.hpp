// `with` and `async with` over Python context managers, taken apart so that
// the body can be C++ that awaits. The manager's methods are looked up on its
// type before anything runs, as the statements do, and exit is called once,
// whichever way the body ends; an exception that exit does not suppress goes
// on as the very same object.
//
//     py::object result = co_await pyx::async_with(client, [&](py::object session) -> pyx::Task<py::object> {
//         co_return co_await pyx::call_method(session, "run"_name, code);
//     });
#pragma once

#include "pyx/object.hpp"
#include "pyx/outcome.hpp"

namespace pyx {
namespace py = pybind11;

class WithBlock {
public:
    explicit WithBlock(py::handle manager);

    const py::object& value() const noexcept { return value_; }
    void exit_normally();
    // Returns normally only when `__exit__` suppressed `error`.
    void exit_raising(const PyError& error);

private:
    py::object exit_;
    py::object value_;
};

class AsyncWithBlock {
public:
    explicit AsyncWithBlock(py::handle manager);

    // The awaitable of `__aenter__`; its result is the `as` target.
    py::object enter();
    // The awaitable of `__aexit__(None, None, None)`.
    py::object exit_normally();
    // The awaitable of `__aexit__(type, error, traceback)`; true when its
    // result suppresses the error.
    py::object exit_raising(const PyError& error);

private:
    py::object manager_;
    py::object enter_;
    py::object exit_;
};

// Makes `exception` the one being handled for the guard's lifetime, as inside
// an `except` block: `exc_info=True` finds it, and an error raised meanwhile
// gets it as its __context__.
class Handling {
public:
    explicit Handling(py::handle exception) : previous_(PyErr_GetHandledException()) {
        PyErr_SetHandledException(exception.ptr());
    }
    ~Handling() {
        PyErr_SetHandledException(previous_);
        Py_XDECREF(previous_);
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject* previous_;
};

// `async with manager as value: return await body(value)`.
template <class Body>
Task<py::object> async_with(py::object manager, Body body) {
    AsyncWithBlock block(manager);
    py::object value = co_await block.enter();
    Outcome outcome = co_await outcome_of(body(std::move(value)));
    if (!outcome) {
        py::object suppress = co_await block.exit_raising(outcome.error());
        if (!truthy(suppress)) outcome.rethrow();
        co_return py::none();
    }
    co_await block.exit_normally();
    co_return outcome.value();
}

}  // namespace pyx
