// vorn_sandbox.code_interpreter.primitives
#include "vorn_sandbox/modules.hpp"

namespace vorn_sandbox::code_interpreter::primitives {

void init(pybind11::module_& /*module*/) {}

}  // namespace vorn_sandbox::code_interpreter::primitives
