// The str methods that hot bodies call, each with a fast path for an exact
// str (no method look-up, no argument packing) that gives exactly what the
// method gives, and the method call itself for anything else (subclasses may
// override it).
#pragma once

#include "pyx/names.hpp"

namespace pyx {
namespace py = pybind11;

// `text.lower()`
py::object lower(py::handle text);
// `text.startswith(prefix)`, prefix an exact str
bool startswith(py::handle text, py::handle prefix);
// `text.rstrip(chars)`, chars an exact str
py::object rstrip(py::handle text, py::handle chars);
// `"{}{}{}".format(a, b, c)` for three exact str is their concatenation; any
// other value goes through str.format, which formats it as Python does.
py::object concat3(py::handle a, py::handle b, py::handle c);
// `item in container`, raising what __contains__ raises.
bool contains(py::handle container, py::handle item);

}  // namespace pyx
