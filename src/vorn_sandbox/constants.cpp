// vorn_sandbox.constants
#include "vorn_sandbox/modules.hpp"

namespace vorn_sandbox::constants {

void init(pybind11::module_& /*module*/) {}

}  // namespace vorn_sandbox::constants
