// Small conveniences over Python objects that pybind11 does not offer.
#pragma once

#include "pyx/error.hpp"

#include <initializer_list>

namespace pyx {
namespace py = pybind11;

// The host's truth test (`bool(x)`), raising what __bool__/__len__ raise.
inline bool truthy(py::handle object) {
    int result = PyObject_IsTrue(object.ptr());
    if (result < 0) throw PyError::fetch();
    return result == 1;
}

// `isinstance(object, types)`, with any class or tuple of classes, raising
// what __instancecheck__ raises.
inline bool is_instance(py::handle object, py::handle types) {
    int result = PyObject_IsInstance(object.ptr(), types.ptr());
    if (result < 0) throw PyError::fetch();
    return result == 1;
}

// `value <op> constant` (op one of Py_LT, Py_LE, Py_EQ, Py_NE, Py_GT, Py_GE)
// for a small int constant, as Python compares them: worked out in C++ for
// a plain int or float, by the value's own comparison for anything else
// (which raises what it raises).
inline bool compare(py::handle value, int op, long long constant) {
    PyObject* object = value.ptr();
    auto decide = [op](auto left, auto right) {
        switch (op) {
            case Py_LT:
                return left < right;
            case Py_LE:
                return left <= right;
            case Py_EQ:
                return left == right;
            case Py_NE:
                return left != right;
            case Py_GT:
                return left > right;
            default:
                return left >= right;
        }
    };
    if (PyLong_CheckExact(object)) {
        int overflow = 0;
        long long number = PyLong_AsLongLongAndOverflow(object, &overflow);
        if (!overflow) return decide(number, constant);
        return decide(overflow, 0);  // beyond every constant, on its side of zero
    }
    if (PyFloat_CheckExact(object)) return decide(PyFloat_AS_DOUBLE(object), static_cast<double>(constant));
    PyObject* other = PyLong_FromLongLong(constant);
    if (!other) throw PyError::fetch();
    int result = PyObject_RichCompareBool(object, other, op);
    Py_DECREF(other);
    if (result < 0) throw PyError::fetch();
    return result == 1;
}

inline py::object builtin(const char* name) {
    return py::module_::import("builtins").attr(name);
}

// The builtin type itself, e.g. `type_object(PyLong_Type)` for `int`.
inline py::object type_object(PyTypeObject& type) {
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&type));
}

// `type | None`, the annotation of an optional value.
inline py::object optional(py::handle type) {
    PyObject* union_type = PyNumber_Or(type.ptr(), Py_None);
    if (!union_type) throw PyError::fetch();
    return py::reinterpret_steal<py::object>(union_type);
}

// `function(*args, **kwargs)`, `kwargs` a dict or None.
inline py::object apply(py::handle function, py::handle args, py::handle kwargs) {
    PyObject* result = PyObject_Call(function.ptr(), args.ptr(), kwargs.is_none() ? nullptr : kwargs.ptr());
    if (!result) throw PyError::fetch();
    return py::reinterpret_steal<py::object>(result);
}

inline py::list string_list(std::initializer_list<const char*> items) {
    py::list list;
    for (const char* item : items) list.append(item);
    return list;
}

}  // namespace pyx
