// vorn_sandbox.providers: an import-free package for provider-scoped modules.
#include "vorn_sandbox/modules.hpp"

namespace vorn_sandbox::providers {

void init(pybind11::module_& module) {
    module.attr("__doc__") = pybind11::str(
        "Provider-scoped helpers shared across capabilities. Import-free: each submodule needs its extra.");
}

}  // namespace vorn_sandbox::providers
