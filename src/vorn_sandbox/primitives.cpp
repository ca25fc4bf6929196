// vorn_sandbox.primitives
#include "vorn_sandbox/modules.hpp"

namespace vorn_sandbox::primitives {

void init(pybind11::module_& /*module*/) {}

}  // namespace vorn_sandbox::primitives
