// vorn_sandbox.providers.opensandbox: an import-free package; its one module
// needs the SDK, the package itself never does.
#include "vorn_sandbox/modules.hpp"

namespace vorn_sandbox::providers::opensandbox {

void init(pybind11::module_& module) {
    module.attr("__doc__") = pybind11::str(
        "OpenSandbox helpers shared by every capability. Import-free: submodules need the [opensandbox] extra.");
}

}  // namespace vorn_sandbox::providers::opensandbox
