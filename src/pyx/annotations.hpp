// Annotation objects, built once when a function or class is made, to give
// native signatures what `def f(x: list[str] | None) -> bool` gives a Python
// function (inspect.signature and typing.get_type_hints read them).
//
//     Arg packages = arg("packages").annotated(pyx::types::list_of(pyx::types::str()));
//     pyx::def("f", f).returning(pyx::types::optional(pyx::types::bytes()))
#pragma once

#include "pyx/object.hpp"

#include <initializer_list>

namespace pyx::types {
namespace py = pybind11;

inline py::object str() {
    return type_object(PyUnicode_Type);
}
inline py::object int_() {
    return type_object(PyLong_Type);
}
inline py::object float_() {
    return type_object(PyFloat_Type);
}
inline py::object bool_() {
    return type_object(PyBool_Type);
}
inline py::object bytes() {
    return type_object(PyBytes_Type);
}
inline py::object base_exception() {
    return py::reinterpret_borrow<py::object>(PyExc_BaseException);
}
// `-> None`
inline py::object none() {
    return py::none();
}

// `name` of `module`, e.g. typing.Any or collections.abc.Awaitable.
inline py::object from(const char* module, const char* name) {
    return py::module_::import(module).attr(name);
}
inline py::object any() {
    return from("typing", "Any");
}

// `generic[a, b, ...]`
inline py::object subscript(py::handle generic, std::initializer_list<py::handle> items) {
    if (items.size() == 1) return py::reinterpret_borrow<py::object>(generic)[*items.begin()];
    py::tuple arguments(items.size());
    std::size_t i = 0;
    for (py::handle item : items) arguments[i++] = py::reinterpret_borrow<py::object>(item);
    return py::reinterpret_borrow<py::object>(generic)[arguments];
}

inline py::object list_of(py::handle item) {
    return subscript(type_object(PyList_Type), {item});
}
inline py::object dict_of(py::handle key, py::handle value) {
    return subscript(type_object(PyDict_Type), {key, value});
}

// `a | b | ...`
inline py::object union_of(std::initializer_list<py::handle> items) {
    py::object result;
    for (py::handle item : items) {
        if (!result) {
            result = py::reinterpret_borrow<py::object>(item);
            continue;
        }
        PyObject* joined = PyNumber_Or(result.ptr(), item.ptr());
        if (!joined) throw PyError::fetch();
        result = py::reinterpret_steal<py::object>(joined);
    }
    return result;
}

// `Callable[[parameters...], result]`
inline py::object callable(std::initializer_list<py::handle> parameters, py::handle result) {
    py::list listed;
    for (py::handle parameter : parameters) listed.append(parameter);
    return subscript(from("collections.abc", "Callable"), {listed, result});
}

// `Callable[[], Awaitable[result]]`: what the retry helpers take.
inline py::object awaitable_factory(py::handle result) {
    return callable({}, subscript(from("collections.abc", "Awaitable"), {result}));
}

}  // namespace pyx::types
