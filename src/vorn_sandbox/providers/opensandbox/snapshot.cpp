// vorn_sandbox.providers.opensandbox.snapshot
#include "vorn_sandbox/modules.hpp"

namespace vorn_sandbox::providers::opensandbox::snapshot {

void init(pybind11::module_& /*module*/) {}

}  // namespace vorn_sandbox::providers::opensandbox::snapshot
