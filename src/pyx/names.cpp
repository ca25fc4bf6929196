#include "pyx/names.hpp"

namespace pyx::detail {

PyObject* intern(const char* text) {
    PyObject* interned = PyUnicode_InternFromString(text);
    if (!interned) throw PyError::fetch();
    return interned;
}

PyObject* keyword_tuple(const char* const* names, std::size_t count) {
    py::object tuple = py::reinterpret_steal<py::object>(PyTuple_New(static_cast<Py_ssize_t>(count)));
    if (!tuple) throw PyError::fetch();
    for (std::size_t i = 0; i < count; ++i) PyTuple_SET_ITEM(tuple.ptr(), static_cast<Py_ssize_t>(i), intern(names[i]));
    return tuple.release().ptr();
}

}  // namespace pyx::detail
