// vorn_sandbox.models
#include "vorn_sandbox/modules.hpp"

namespace vorn_sandbox::models {

void init(pybind11::module_& /*module*/) {}

}  // namespace vorn_sandbox::models
