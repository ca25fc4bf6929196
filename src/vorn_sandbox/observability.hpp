// What other modules of the package ask of the tracing layer from C++.
#pragma once

#include <pybind11/pybind11.h>

namespace vorn_sandbox::observability {

// Whether a call of `set_attributes` (a module's binding of
// `set_current_span_attributes`, looked up at call time) would write anything
// now. False only when it is this module's own function and tracing is off or
// the current span does not record, so that a caller may skip building the
// attributes; any replacement of the function is always called.
bool span_attributes_wanted(pybind11::handle set_attributes);

}  // namespace vorn_sandbox::observability
