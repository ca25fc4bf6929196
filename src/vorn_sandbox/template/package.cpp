// vorn_sandbox.template
#include "vorn_sandbox/modules.hpp"

namespace vorn_sandbox::template_ {

void init(pybind11::module_& /*module*/) {}

}  // namespace vorn_sandbox::template_
