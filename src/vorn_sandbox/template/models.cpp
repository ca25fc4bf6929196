// vorn_sandbox.template.models
#include "vorn_sandbox/modules.hpp"

namespace vorn_sandbox::template_::models {

void init(pybind11::module_& /*module*/) {}

}  // namespace vorn_sandbox::template_::models
