// vorn_sandbox: the root package and the table of every module compiled into it.
#include "pyx/importer.hpp"
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

}  // namespace

PYBIND11_MODULE(vorn_sandbox, package) {
    package.doc() = package_doc;
    pyx::install_importer(package, modules);
    py::module_ importlib = py::module_::import("importlib");
    importlib.attr("import_module")("vorn_sandbox.base");
    importlib.attr("import_module")("vorn_sandbox.errors");
    importlib.attr("import_module")("vorn_sandbox.models");
}
