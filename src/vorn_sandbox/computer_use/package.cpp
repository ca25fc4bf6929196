// vorn_sandbox.computer_use: a reserved, empty capability package.
#include "vorn_sandbox/modules.hpp"

#include <pybind11/pybind11.h>

namespace vorn_sandbox::computer_use {

void init(pybind11::module_& module) {
    module.attr("__doc__") = pybind11::str(
        "Reserved for a future computer-use capability (desktop sandboxes, such as those of the E2B service).\n\n"
        "The package is empty: there is nothing to import from it yet. It exists to make the\n"
        "capability-first layout visible: BaseSandbox is the root, and each capability gets a\n"
        "package of its own with its own abstract base class plus one module per provider, as\n"
        "code_interpreter does.");
}

}  // namespace vorn_sandbox::computer_use
