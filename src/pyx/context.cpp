#include "pyx/context.hpp"

#include <string>

namespace pyx {
using namespace literals;

namespace detail {

SpecialMethod::SpecialMethod(py::handle manager, PyObject* name) {
    PyObject* found = _PyType_Lookup(Py_TYPE(manager.ptr()), name);  // borrowed, sets no error
    if (!found) return;
    unbound_ = PyFunction_Check(found) || PyType_HasFeature(Py_TYPE(found), Py_TPFLAGS_METHOD_DESCRIPTOR);
    descrgetfunc get = Py_TYPE(found)->tp_descr_get;
    if (unbound_ || !get) {
        method_ = py::reinterpret_borrow<py::object>(found);
        return;
    }
    // Held across the binding, which may run any Python code.
    py::object held = py::reinterpret_borrow<py::object>(found);
    PyObject* bound = get(found, manager.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(manager.ptr())));
    if (!bound) throw PyError::fetch();
    method_ = py::reinterpret_steal<py::object>(bound);
}

py::object SpecialMethod::call(py::handle manager, std::initializer_list<PyObject*> arguments) const {
    PyObject* stack[5] = {nullptr, manager.ptr()};
    std::size_t count = 0;
    for (PyObject* argument : arguments) stack[2 + count++] = argument;
    // Slot 0 stays free for the callee (PY_VECTORCALL_ARGUMENTS_OFFSET).
    PyObject* const* first = unbound_ ? stack + 1 : stack + 2;
    std::size_t given = unbound_ ? count + 1 : count;
    PyObject* result = PyObject_Vectorcall(method_.ptr(), first, given | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    if (!result) throw PyError::fetch();
    return py::reinterpret_steal<py::object>(result);
}

}  // namespace detail

namespace {

using detail::SpecialMethod;

// The statements' own messages; a missing exit method is named.
SpecialMethod required(py::handle manager, PyObject* name, const char* kind, const char* exit_name = nullptr) {
    SpecialMethod method(manager, name);
    if (!method) {
        std::string message = std::string("'") + Py_TYPE(manager.ptr())->tp_name + "' object does not support the " +
                              kind + "context manager protocol";
        if (exit_name) message += std::string(" (missed ") + exit_name + " method)";
        raise(PyExc_TypeError, message);
    }
    return method;
}

py::object traceback_of(const py::object& exception) {
    PyObject* traceback = PyException_GetTraceback(exception.ptr());
    return traceback ? py::reinterpret_steal<py::object>(traceback) : py::object(py::none());
}

}  // namespace

WithBlock::WithBlock(py::object manager) : manager_(std::move(manager)) {
    SpecialMethod enter = required(manager_, "__enter__"_name.get(), "");
    exit_ = required(manager_, "__exit__"_name.get(), "", "__exit__");
    value_ = enter.call(manager_, {});
}

void WithBlock::exit_normally() {
    if (manager_) exit_.call(manager_, {Py_None, Py_None, Py_None});
}

void WithBlock::exit_raising(const PyError& error) {
    if (!manager_) throw error;
    const py::object& exception = error.value();
    py::object traceback = traceback_of(exception);
    py::object suppressed;
    {
        Handling handling(exception);
        suppressed = exit_.call(manager_, {error.type().ptr(), exception.ptr(), traceback.ptr()});
    }
    if (!truthy(suppressed)) throw error;
}

AsyncWithBlock::AsyncWithBlock(py::handle manager)
    : manager_(py::reinterpret_borrow<py::object>(manager)),
      enter_(required(manager, "__aenter__"_name.get(), "asynchronous ")),
      exit_(required(manager, "__aexit__"_name.get(), "asynchronous ", "__aexit__")) {}

py::object AsyncWithBlock::enter() {
    return enter_.call(manager_, {});
}

py::object AsyncWithBlock::exit_normally() {
    return exit_.call(manager_, {Py_None, Py_None, Py_None});
}

py::object AsyncWithBlock::exit_raising(const PyError& error) {
    const py::object& exception = error.value();
    py::object traceback = traceback_of(exception);
    return exit_.call(manager_, {error.type().ptr(), exception.ptr(), traceback.ptr()});
}

}  // namespace pyx
