// vorn_sandbox.code_interpreter: the interface, the sandbox root and the error family.
#include "pyx/object.hpp"
#include "vorn_sandbox/modules.hpp"

namespace py = pybind11;

namespace vorn_sandbox::code_interpreter {

void init(py::module_& module) {
    module.attr("__doc__") = py::str(
        "Code-interpreter sandbox interface: ABCs and errors only.\n\n"
        "The backends .e2b, .opensandbox and .bedrock are not re-exported, because each one\n"
        "needs a provider SDK: import each backend from its own module.");
    module.attr("BaseSandbox") = py::module_::import("vorn_sandbox.base").attr("BaseSandbox");
    module.attr("CodeInterpreterSandbox") =
        py::module_::import("vorn_sandbox.code_interpreter.base").attr("CodeInterpreterSandbox");
    py::module_ errors = py::module_::import("vorn_sandbox.errors");
    for (const char* name : {"CodeInterpreterError", "SandboxExecutionError", "SandboxNotInitializedError",
                             "SandboxStartError", "SandboxTerminateError", "Stage", "TemplateBuildError"})
        module.attr(name) = errors.attr(name);
    module.attr("__all__") = pyx::string_list({"BaseSandbox", "CodeInterpreterError", "CodeInterpreterSandbox",
                                               "SandboxExecutionError", "SandboxNotInitializedError",
                                               "SandboxStartError", "SandboxTerminateError", "Stage",
                                               "TemplateBuildError"});
}

}  // namespace vorn_sandbox::code_interpreter
