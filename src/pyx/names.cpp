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

namespace pyx {

py::object getattr(py::handle object, py::handle name, py::handle fallback) {
    PyObject* value = nullptr;
    int found = PyObject_GetOptionalAttr(object.ptr(), name.ptr(), &value);
    if (found < 0) throw PyError::fetch();
    if (found == 0) return py::reinterpret_borrow<py::object>(fallback);
    return py::reinterpret_steal<py::object>(value);
}

py::object getattr(py::handle object, const char* name, py::handle fallback) {
    PyObject* value = nullptr;
    int found = PyObject_GetOptionalAttrString(object.ptr(), name, &value);
    if (found < 0) throw PyError::fetch();
    if (found == 0) return py::reinterpret_borrow<py::object>(fallback);
    return py::reinterpret_steal<py::object>(value);
}

bool hasattr(py::handle object, py::handle name) {
    int found = PyObject_HasAttrWithError(object.ptr(), name.ptr());
    if (found < 0) throw PyError::fetch();
    return found == 1;
}

}  // namespace pyx
