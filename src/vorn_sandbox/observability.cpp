// vorn_sandbox.observability
#include "vorn_sandbox/modules.hpp"

namespace vorn_sandbox::observability {

void init(pybind11::module_& /*module*/) {}

}  // namespace vorn_sandbox::observability
