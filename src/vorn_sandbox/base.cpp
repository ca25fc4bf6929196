// vorn_sandbox.base
#include "vorn_sandbox/modules.hpp"

namespace vorn_sandbox::base {

void init(pybind11::module_& /*module*/) {}

}  // namespace vorn_sandbox::base
