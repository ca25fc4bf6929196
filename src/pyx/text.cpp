#include "pyx/text.hpp"

#include "pyx/object.hpp"

#include <cstring>

namespace pyx {
using namespace literals;

namespace {
py::object checked(PyObject* result) {
    if (!result) throw PyError::fetch();
    return py::reinterpret_steal<py::object>(result);
}
}  // namespace

py::object lower(py::handle text) {
    PyObject* s = text.ptr();
    if (!PyUnicode_CheckExact(s) || !PyUnicode_IS_ASCII(s)) return call_method(text, "lower"_name);
    // ASCII lower-casing is the one mapping str.lower applies to ASCII text.
    Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    const char* source = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(s));
    Py_ssize_t first_upper = 0;
    while (first_upper < length && !(source[first_upper] >= 'A' && source[first_upper] <= 'Z')) ++first_upper;
    if (first_upper == length) return py::reinterpret_borrow<py::object>(text);
    py::object result = checked(PyUnicode_New(length, 127));
    char* target = reinterpret_cast<char*>(PyUnicode_1BYTE_DATA(result.ptr()));
    std::memcpy(target, source, static_cast<std::size_t>(first_upper));
    for (Py_ssize_t i = first_upper; i < length; ++i) {
        char c = source[i];
        target[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return result;
}

bool startswith(py::handle text, py::handle prefix) {
    if (!PyUnicode_CheckExact(text.ptr())) return truthy(call_method(text, "startswith"_name, prefix));
    Py_ssize_t found = PyUnicode_Tailmatch(text.ptr(), prefix.ptr(), 0, PY_SSIZE_T_MAX, -1);
    if (found < 0) throw PyError::fetch();
    return found == 1;
}

py::object rstrip(py::handle text, py::handle chars) {
    PyObject* s = text.ptr();
    if (!PyUnicode_CheckExact(s) || !PyUnicode_CheckExact(chars.ptr())) return call_method(text, "rstrip"_name, chars);
    Py_ssize_t end = PyUnicode_GET_LENGTH(s);
    while (end > 0) {
        Py_ssize_t at = PyUnicode_FindChar(chars.ptr(), PyUnicode_READ_CHAR(s, end - 1), 0, PY_SSIZE_T_MAX, 1);
        if (at == -2) throw PyError::fetch();
        if (at < 0) break;
        --end;
    }
    if (end == PyUnicode_GET_LENGTH(s)) return py::reinterpret_borrow<py::object>(text);
    return checked(PyUnicode_Substring(s, 0, end));
}

py::object concat3(py::handle a, py::handle b, py::handle c) {
    if (!PyUnicode_CheckExact(a.ptr()) || !PyUnicode_CheckExact(b.ptr()) || !PyUnicode_CheckExact(c.ptr())) {
        return format("{}{}{}"_str, a, b, c);
    }
    py::object first = checked(PyUnicode_Concat(a.ptr(), b.ptr()));
    return checked(PyUnicode_Concat(first.ptr(), c.ptr()));
}

bool contains(py::handle container, py::handle item) {
    int found = PyAnySet_CheckExact(container.ptr()) ? PySet_Contains(container.ptr(), item.ptr())
                                                     : PySequence_Contains(container.ptr(), item.ptr());
    if (found < 0) throw PyError::fetch();
    return found == 1;
}

}  // namespace pyx
