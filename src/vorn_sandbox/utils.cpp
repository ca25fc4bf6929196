// vorn_sandbox.utils
#include "vorn_sandbox/modules.hpp"

namespace vorn_sandbox::utils {

void init(pybind11::module_& /*module*/) {}

}  // namespace vorn_sandbox::utils
