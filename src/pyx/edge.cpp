#include "pyx/edge.hpp"

namespace pyx::detail {

void wrong_type(py::handle value, const std::string& what, const std::string& expected) {
    PyErr_Clear();  // a caster's own attempt leaves nothing worth keeping
    raise(PyExc_TypeError, what + ": expected " + expected + ", got " + Py_TYPE(value.ptr())->tp_name);
}

}  // namespace pyx::detail
