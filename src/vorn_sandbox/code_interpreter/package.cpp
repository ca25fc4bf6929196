// vorn_sandbox.code_interpreter: the interface, the sandbox root, the error
// family and the two workspace primitives; no provider backend.
#include "pyx/module.hpp"
#include "pyx/object.hpp"
#include "vorn_sandbox/modules.hpp"

namespace py = pybind11;

namespace vorn_sandbox::code_interpreter {

void init(py::module_& module) {
    module.attr("__doc__") = py::str(
        "Code-interpreter sandbox interface: ABCs and errors only.\n\n"
        "The backends .e2b, .opensandbox and .bedrock are not re-exported, because each one\n"
        "needs a provider SDK: import each backend from its own module.");
    pyx::import_from(module, "vorn_sandbox.base", {"BaseSandbox"});
    pyx::import_from(module, "vorn_sandbox.code_interpreter.base", {"CodeInterpreterSandbox"});
    pyx::import_from(module, "vorn_sandbox.code_interpreter.primitives",
                     {"run_workspace_command", "write_workspace_file"});
    pyx::import_from(module, "vorn_sandbox.errors",
                     {"CodeInterpreterError", "SandboxExecutionError", "SandboxNotInitializedError",
                      "SandboxStartError", "SandboxTerminateError", "Stage", "TemplateBuildError"});
    module.attr("__all__") =
        pyx::string_list({"BaseSandbox", "CodeInterpreterError", "CodeInterpreterSandbox", "SandboxExecutionError",
                          "SandboxNotInitializedError", "SandboxStartError", "SandboxTerminateError", "Stage",
                          "TemplateBuildError", "run_workspace_command", "write_workspace_file"});
}

}  // namespace vorn_sandbox::code_interpreter
