// The span decorator every provider backend applies to its public methods,
// with the backend's name as a static span attribute. The module's `traced`,
// `SpanName` and `SpanAttr` are read from its globals when the class is made,
// so a test that replaces them before import sees its own.
#pragma once

#include "pyx/object.hpp"

namespace vorn_sandbox {

// `traced(SpanName.<span>, **{SpanAttr.BACKEND: backend})`
inline pybind11::object backend_tracer(pybind11::module_& module, const char* span, const char* backend) {
    pybind11::dict static_attrs;
    static_attrs[module.attr("SpanAttr").attr("BACKEND")] = pybind11::str(backend);
    return pyx::apply(module.attr("traced"), pybind11::make_tuple(module.attr("SpanName").attr(span)), static_attrs);
}

}  // namespace vorn_sandbox
