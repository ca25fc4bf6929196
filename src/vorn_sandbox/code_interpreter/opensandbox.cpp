// vorn_sandbox.code_interpreter.opensandbox
#include "vorn_sandbox/modules.hpp"

namespace vorn_sandbox::code_interpreter::opensandbox {

void init(pybind11::module_& /*module*/) {}

}  // namespace vorn_sandbox::code_interpreter::opensandbox
