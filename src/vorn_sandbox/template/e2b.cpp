// vorn_sandbox.template.e2b
#include "vorn_sandbox/modules.hpp"

namespace vorn_sandbox::template_::e2b {

void init(pybind11::module_& /*module*/) {}

}  // namespace vorn_sandbox::template_::e2b
