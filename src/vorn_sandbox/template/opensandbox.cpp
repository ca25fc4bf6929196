// vorn_sandbox.template.opensandbox
#include "vorn_sandbox/modules.hpp"

namespace vorn_sandbox::template_::opensandbox {

void init(pybind11::module_& /*module*/) {}

}  // namespace vorn_sandbox::template_::opensandbox
