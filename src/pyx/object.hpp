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

inline py::object builtin(const char* name) { return py::module_::import("builtins").attr(name); }

inline py::list string_list(std::initializer_list<const char*> items) {
    py::list list;
    for (const char* item : items) list.append(item);
    return list;
}

}  // namespace pyx
