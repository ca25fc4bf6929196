#include "pyx/async_for.hpp"

namespace pyx {
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

namespace {

// The call of `__anext__` is inside the statement's guard too: a StopAsyncIteration
// it raises before any awaiting ends the loop as well.
detail::OutcomeAwaiter next_awaiter(py::handle iterator) {
    PyObject* awaitable = Py_TYPE(iterator.ptr())->tp_as_async->am_anext(iterator.ptr());
    if (!awaitable) return detail::OutcomeAwaiter(PyError::fetch());
    py::object held = py::reinterpret_steal<py::object>(awaitable);
    PyTypeObject* type = Py_TYPE(awaitable);
    if (!PyCoro_CheckExact(awaitable) && !(type->tp_as_async && type->tp_as_async->am_await)) {
        PyErr_Format(PyExc_TypeError, "'async for' received an invalid object from __anext__: %.100s", type->tp_name);
        return detail::OutcomeAwaiter(PyError::fetch());
    }
    return detail::OutcomeAwaiter(std::move(held));
}

}  // namespace

AsyncFor::Next::Next(py::handle iterator) : awaiter_(next_awaiter(iterator)) {}

std::optional<py::object> AsyncFor::Next::await_resume() {
    Outcome next = awaiter_.await_resume();
    if (next) return next.value();
    if (next.error().matches(PyExc_StopAsyncIteration)) return std::nullopt;
    next.rethrow();
}

}  // namespace pyx
