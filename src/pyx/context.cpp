#include "pyx/context.hpp"

#include <string>

namespace pyx {
namespace {

// The special method `name` of `manager`'s type, bound to `manager`; null when missing.
py::object special(py::handle manager, const char* name) {
    py::handle type = reinterpret_cast<PyObject*>(Py_TYPE(manager.ptr()));
    PyObject* function = PyObject_GetAttrString(type.ptr(), name);
    if (!function) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PyError::fetch();
        PyErr_Clear();
        return {};
    }
    py::object unbound = py::reinterpret_steal<py::object>(function);
    descrgetfunc get = Py_TYPE(function)->tp_descr_get;
    if (!get) return unbound;
    PyObject* bound = get(function, manager.ptr(), type.ptr());
    if (!bound) throw PyError::fetch();
    return py::reinterpret_steal<py::object>(bound);
}

[[noreturn]] void not_a_manager(py::handle manager, const char* kind) {
    raise(PyExc_TypeError, std::string("'") + Py_TYPE(manager.ptr())->tp_name + "' object does not support the " +
                               kind + "context manager protocol");
}

py::object exit_arguments_call(const py::object& exit, const PyError& error) {
    const py::object& value = error.value();
    PyObject* traceback = PyException_GetTraceback(value.ptr());
    py::object tb = traceback ? py::reinterpret_steal<py::object>(traceback) : py::object(py::none());
    return exit(error.type(), value, tb);
}

}  // namespace

WithBlock::WithBlock(py::handle manager) {
    py::object enter = special(manager, "__enter__");
    if (!enter) not_a_manager(manager, "");
    exit_ = special(manager, "__exit__");
    if (!exit_) not_a_manager(manager, "");
    value_ = enter();
}

void WithBlock::exit_normally() {
    exit_(py::none(), py::none(), py::none());
}

void WithBlock::exit_raising(const PyError& error) {
    if (!truthy(exit_arguments_call(exit_, error))) throw error;
}

AsyncWithBlock::AsyncWithBlock(py::handle manager) : manager_(py::reinterpret_borrow<py::object>(manager)) {
    enter_ = special(manager, "__aenter__");
    if (!enter_) not_a_manager(manager, "asynchronous ");
    exit_ = special(manager, "__aexit__");
    if (!exit_) not_a_manager(manager, "asynchronous ");
}

py::object AsyncWithBlock::enter() {
    return enter_();
}

py::object AsyncWithBlock::exit_normally() {
    return exit_(py::none(), py::none(), py::none());
}

py::object AsyncWithBlock::exit_raising(const PyError& error) {
    return exit_arguments_call(exit_, error);
}

}  // namespace pyx
