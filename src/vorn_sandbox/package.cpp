// vorn_sandbox: the root package and the table of every module compiled into it.
#include "pyx/importer.hpp"
#include "pyx/object.hpp"
#include "vorn_sandbox/modules.hpp"

#include <array>

namespace py = pybind11;

namespace {

#define VORN_SANDBOX_ENTRY(ns, name, package) pyx::ModuleEntry{name, package, &vorn_sandbox::ns::init},
constexpr std::array modules = std::to_array<pyx::ModuleEntry>({VORN_SANDBOX_MODULES(VORN_SANDBOX_ENTRY)});
#undef VORN_SANDBOX_ENTRY

constexpr const char* package_doc =
    "Provider-agnostic sandbox library: sandbox lifecycle, code execution and template building.\n"
    "\n"
    "The root package imports no provider SDK, so a plain install of the distribution\n"
    "vorn-sandbox, without any extra, can import it. Each backend lives in a module of its\n"
    "own and needs its provider's optional extra (for example,\n"
    "vorn_sandbox.code_interpreter.e2b needs the extra e2b).\n";

// Makes the package's module object and installs the finder of its
// submodules. The import system publishes the module in sys.modules right
// after this and only then executes it: a thread that imports a submodule in
// between finds the parent there and must find the submodule too.
PyObject* create_slot(PyObject* spec, PyModuleDef*) {
    try {
        py::handle module_spec(spec);
        py::module_ package =
            py::reinterpret_steal<py::module_>(PyModule_NewObject(py::object(module_spec.attr("name")).ptr()));
        if (!package) throw pyx::PyError::fetch();
        pyx::install_finder(package, module_spec.attr("origin"), modules);
        return package.release().ptr();
    } catch (...) {
        pyx::set_python_error(std::current_exception());
        return nullptr;
    }
}

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
    package.attr("__all__") =
        pyx::string_list({"BaseSandbox", "CommandResult", "CodeInterpreterError", "ExecutionResult", "ExecutionStatus",
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
    {Py_mod_create, reinterpret_cast<void*>(create_slot)},
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

extern "C" PYBIND11_EXPORT PyObject* PyInit_vorn_sandbox() {
    return PyModuleDef_Init(&package_def);
}
