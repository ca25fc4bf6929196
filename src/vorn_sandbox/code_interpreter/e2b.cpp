// vorn_sandbox.code_interpreter.e2b
#include "vorn_sandbox/modules.hpp"

namespace vorn_sandbox::code_interpreter::e2b {

void init(pybind11::module_& /*module*/) {}

}  // namespace vorn_sandbox::code_interpreter::e2b
