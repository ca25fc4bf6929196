// vorn_sandbox: the root package and the table of every module compiled into it.
#include "pyx/importer.hpp"
#include "pyx/object.hpp"
#include "vorn_sandbox/modules.hpp"

#include <array>

namespace py = pybind11;

namespace {

constexpr std::array modules = std::to_array<pyx::ModuleEntry>({
    {"vorn_sandbox.base", false, &vorn_sandbox::base::init},
    {"vorn_sandbox.constants", false, &vorn_sandbox::constants::init},
    {"vorn_sandbox.errors", false, &vorn_sandbox::errors::init},
    {"vorn_sandbox.models", false, &vorn_sandbox::models::init},
    {"vorn_sandbox.utils", false, &vorn_sandbox::utils::init},
    {"vorn_sandbox.observability", false, &vorn_sandbox::observability::init},
    {"vorn_sandbox.primitives", false, &vorn_sandbox::primitives::init},
    {"vorn_sandbox.code_interpreter", true, &vorn_sandbox::code_interpreter::init},
    {"vorn_sandbox.code_interpreter.base", false, &vorn_sandbox::code_interpreter::base::init},
    {"vorn_sandbox.code_interpreter.e2b", false, &vorn_sandbox::code_interpreter::e2b::init},
    {"vorn_sandbox.code_interpreter.primitives", false, &vorn_sandbox::code_interpreter::primitives::init},
    {"vorn_sandbox.code_interpreter.opensandbox", false, &vorn_sandbox::code_interpreter::opensandbox::init},
    {"vorn_sandbox.code_interpreter.bedrock", false, &vorn_sandbox::code_interpreter::bedrock::init},
    {"vorn_sandbox.template", true, &vorn_sandbox::template_::init},
    {"vorn_sandbox.template.base", false, &vorn_sandbox::template_::base::init},
    {"vorn_sandbox.template.models", false, &vorn_sandbox::template_::models::init},
    {"vorn_sandbox.template.e2b", false, &vorn_sandbox::template_::e2b::init},
    {"vorn_sandbox.template.opensandbox", false, &vorn_sandbox::template_::opensandbox::init},
    {"vorn_sandbox.template.bedrock", false, &vorn_sandbox::template_::bedrock::init},
    {"vorn_sandbox.providers", true, &vorn_sandbox::providers::init},
    {"vorn_sandbox.providers.opensandbox", true, &vorn_sandbox::providers::opensandbox::init},
    {"vorn_sandbox.providers.opensandbox.snapshot", false, &vorn_sandbox::providers::opensandbox::snapshot::init},
    {"vorn_sandbox.computer_use", true, &vorn_sandbox::computer_use::init},
});

constexpr const char* package_doc =
    "Provider-agnostic sandbox library: sandbox lifecycle, code execution and template building.\n"
    "\n"
    "The root package imports no provider SDK, so a plain install of the distribution\n"
    "vorn-sandbox, without any extra, can import it. Each backend lives in a module of its\n"
    "own and needs its provider's optional extra (for example,\n"
    "vorn_sandbox.code_interpreter.e2b needs the extra e2b).\n";


// Runs when the package is imported, after the import system has put the
// module in sys.modules and set its __path__, so the modules it imports can
// find their parent.
void exec_package(py::module_ package) {
    pyx::install_importer(package, modules);
    // The provider-neutral core, each name the very object of its module.
    package.attr("BaseSandbox") = py::module_::import("vorn_sandbox.base").attr("BaseSandbox");
    py::module_ errors = py::module_::import("vorn_sandbox.errors");
    for (const char* name : {"CodeInterpreterError", "SandboxExecutionError", "SandboxNotInitializedError",
                             "SandboxStartError", "SandboxTerminateError", "Stage", "TemplateBuildError"})
        package.attr(name) = errors.attr(name);
    py::module_ models = py::module_::import("vorn_sandbox.models");
    for (const char* name : {"CommandResult", "ExecutionResult", "ExecutionStatus", "SandboxFile",
                             "WorkspaceFileWriteRequest", "WorkspaceFileWriteResult"})
        package.attr(name) = models.attr(name);
    package.attr("__all__") = pyx::string_list(
        {"BaseSandbox", "CommandResult", "CodeInterpreterError", "ExecutionResult", "ExecutionStatus",
         "SandboxExecutionError", "SandboxFile", "SandboxNotInitializedError", "SandboxStartError",
         "SandboxTerminateError", "Stage", "TemplateBuildError", "WorkspaceFileWriteRequest",
         "WorkspaceFileWriteResult"});
}

int exec_slot(PyObject* module) {
    try {
        exec_package(py::reinterpret_borrow<py::module_>(module));
        return 0;
    } catch (...) {
        // The failure of an import inside (kelmo_core, pydantic) surfaces as
        // that import's own error, not wrapped.
        pyx::set_python_error(std::current_exception());
        return -1;
    }
}

PyModuleDef_Slot package_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_slot)},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_USED},
#endif
    {0, nullptr},
};

PyModuleDef package_def = {
    PyModuleDef_HEAD_INIT, "vorn_sandbox", package_doc, 0, nullptr, package_slots, nullptr, nullptr, nullptr,
};

}  // namespace

extern "C" PYBIND11_EXPORT PyObject* PyInit_vorn_sandbox() { return PyModuleDef_Init(&package_def); }
