// vorn_sandbox.providers.opensandbox
#include "vorn_sandbox/modules.hpp"

namespace vorn_sandbox::providers::opensandbox {

void init(pybind11::module_& /*module*/) {}

}  // namespace vorn_sandbox::providers::opensandbox
