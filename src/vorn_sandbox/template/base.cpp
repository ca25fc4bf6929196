// vorn_sandbox.template.base
#include "vorn_sandbox/modules.hpp"

namespace vorn_sandbox::template_::base {

void init(pybind11::module_& /*module*/) {}

}  // namespace vorn_sandbox::template_::base
