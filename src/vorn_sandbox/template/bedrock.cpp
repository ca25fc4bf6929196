// vorn_sandbox.template.bedrock
#include "vorn_sandbox/modules.hpp"

namespace vorn_sandbox::template_::bedrock {

void init(pybind11::module_& /*module*/) {}

}  // namespace vorn_sandbox::template_::bedrock
