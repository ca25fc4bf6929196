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

#include <initializer_list>

namespace pyx {
namespace py = pybind11;

namespace detail {

// A special method as the statements find it: in the MRO of the manager's type,
// never on the instance, and without a descriptor call on the type (which would
// mis-bind a staticmethod or classmethod). A plain function is kept unbound and
// called with the manager prepended, which spares a method object per call.
class SpecialMethod {
public:
    SpecialMethod() = default;
    // Empty when the type has no such method.
    SpecialMethod(py::handle manager, PyObject* name);

    explicit operator bool() const noexcept { return bool(method_); }
    // `manager.<name>(*arguments)`; at most three arguments.
    py::object call(py::handle manager, std::initializer_list<PyObject*> arguments) const;

    int traverse(visitproc visit, void* arg) const {
        Py_VISIT(method_.ptr());
        return 0;
    }

private:
    py::object method_;
    bool unbound_ = false;
};

}  // namespace detail

// `with manager as value:` taken apart, for a block that suspends or must be left
// from C++. An empty block (default-made) enters and exits nothing, and lets an
// error through.
class WithBlock {
public:
    WithBlock() = default;
    explicit WithBlock(py::object manager);

    const py::object& value() const noexcept { return value_; }
    void exit_normally();
    // Returns only when `__exit__` suppressed `error`; otherwise raises that very
    // object. Inside `__exit__` the error is the one being handled, as in a `with`.
    void exit_raising(const PyError& error);

    // A block held by a coroutine's parameters is seen by the cycle collector.
    friend int pyx_traverse(const WithBlock& block, visitproc visit, void* arg) {
        Py_VISIT(block.manager_.ptr());
        Py_VISIT(block.value_.ptr());
        return block.exit_.traverse(visit, arg);
    }

private:
    py::object manager_;
    detail::SpecialMethod exit_;
    py::object value_ = py::none();
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
    detail::SpecialMethod enter_;
    detail::SpecialMethod exit_;
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
