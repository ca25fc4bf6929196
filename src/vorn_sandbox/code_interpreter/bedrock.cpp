// vorn_sandbox.code_interpreter.bedrock
#include "vorn_sandbox/modules.hpp"

namespace vorn_sandbox::code_interpreter::bedrock {

void init(pybind11::module_& /*module*/) {}

}  // namespace vorn_sandbox::code_interpreter::bedrock
