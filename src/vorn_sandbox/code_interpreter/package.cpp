// vorn_sandbox.code_interpreter
#include "vorn_sandbox/modules.hpp"

namespace vorn_sandbox::code_interpreter {

void init(pybind11::module_& /*module*/) {}

}  // namespace vorn_sandbox::code_interpreter
