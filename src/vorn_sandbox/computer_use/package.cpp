// vorn_sandbox.computer_use
#include "vorn_sandbox/modules.hpp"

namespace vorn_sandbox::computer_use {

void init(pybind11::module_& /*module*/) {}

}  // namespace vorn_sandbox::computer_use
