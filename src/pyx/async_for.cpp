#include "pyx/async_for.hpp"

namespace pyx {
namespace {

bool ends_iteration(const PyError& error) {
    return error.matches(PyExc_StopAsyncIteration);
}

}  // namespace

// The checks and messages of the statement's own GET_AITER.
AsyncFor::AsyncFor(py::handle iterable) {
    PyTypeObject* type = Py_TYPE(iterable.ptr());
    if (!type->tp_as_async || !type->tp_as_async->am_aiter) {
        PyErr_Format(PyExc_TypeError, "'async for' requires an object with __aiter__ method, got %.100s",
                     type->tp_name);
        throw PyError::fetch();
    }
    PyObject* iterator = type->tp_as_async->am_aiter(iterable.ptr());
    if (!iterator) throw PyError::fetch();
    iterator_ = py::reinterpret_steal<py::object>(iterator);
    PyTypeObject* iterator_type = Py_TYPE(iterator);
    if (!iterator_type->tp_as_async || !iterator_type->tp_as_async->am_anext) {
        PyErr_Format(PyExc_TypeError,
                     "'async for' received an object from __aiter__ that does not implement __anext__: %.100s",
                     iterator_type->tp_name);
        throw PyError::fetch();
    }
}

// The call of `__anext__` is inside the statement's guard too: a StopAsyncIteration
// it raises before any awaiting ends the loop as well.
AsyncFor::Next::Next(py::handle iterator) {
    PyObject* awaitable = Py_TYPE(iterator.ptr())->tp_as_async->am_anext(iterator.ptr());
    if (!awaitable) {
        failure_.emplace(PyError::fetch());
        return;
    }
    inner_.awaitable = py::reinterpret_steal<py::object>(awaitable);
    PyTypeObject* type = Py_TYPE(awaitable);
    if (!PyCoro_CheckExact(awaitable) && !(type->tp_as_async && type->tp_as_async->am_await)) {
        PyErr_Format(PyExc_TypeError, "'async for' received an invalid object from __anext__: %.100s", type->tp_name);
        failure_.emplace(PyError::fetch());
    }
}

std::optional<py::object> AsyncFor::Next::await_resume() {
    std::optional<PyError> failure = std::move(failure_);
    if (!failure) {
        try {
            return inner_.await_resume();
        } catch (...) {
            failure.emplace(to_pyerror(std::current_exception()));
        }
    }
    if (ends_iteration(*failure)) return std::nullopt;
    throw *failure;
}

}  // namespace pyx
