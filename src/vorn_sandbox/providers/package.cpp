// vorn_sandbox.providers
#include "vorn_sandbox/modules.hpp"

namespace vorn_sandbox::providers {

void init(pybind11::module_& /*module*/) {}

}  // namespace vorn_sandbox::providers
