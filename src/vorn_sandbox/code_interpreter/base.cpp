// vorn_sandbox.code_interpreter.base
#include "vorn_sandbox/modules.hpp"

namespace vorn_sandbox::code_interpreter::base {

void init(pybind11::module_& /*module*/) {}

}  // namespace vorn_sandbox::code_interpreter::base
