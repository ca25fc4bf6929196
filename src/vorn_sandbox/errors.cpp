// vorn_sandbox.errors
#include "vorn_sandbox/modules.hpp"

namespace vorn_sandbox::errors {

void init(pybind11::module_& /*module*/) {}

}  // namespace vorn_sandbox::errors
