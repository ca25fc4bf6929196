// The modules compiled into the package, one line each: the namespace of the
// module's init function (defined in its own source file), its dotted name,
// and whether it is a package. The root's import table and these
// declarations are both made from this one list.
//
// Only a declaration of pybind11::module_ is needed here: a module file that
// defines nothing yet compiles without pybind11 at all.
#pragma once

namespace pybind11 {
class module_;
}

#define VORN_SANDBOX_MODULES(MODULE)                                                               \
    MODULE(base, "vorn_sandbox.base", false)                                                       \
    MODULE(constants, "vorn_sandbox.constants", false)                                             \
    MODULE(errors, "vorn_sandbox.errors", false)                                                   \
    MODULE(models, "vorn_sandbox.models", false)                                                   \
    MODULE(utils, "vorn_sandbox.utils", false)                                                     \
    MODULE(observability, "vorn_sandbox.observability", false)                                     \
    MODULE(primitives, "vorn_sandbox.primitives", false)                                           \
    MODULE(code_interpreter, "vorn_sandbox.code_interpreter", true)                                \
    MODULE(code_interpreter::base, "vorn_sandbox.code_interpreter.base", false)                    \
    MODULE(code_interpreter::e2b, "vorn_sandbox.code_interpreter.e2b", false)                      \
    MODULE(code_interpreter::primitives, "vorn_sandbox.code_interpreter.primitives", false)        \
    MODULE(code_interpreter::opensandbox, "vorn_sandbox.code_interpreter.opensandbox", false)      \
    MODULE(code_interpreter::bedrock, "vorn_sandbox.code_interpreter.bedrock", false)              \
    MODULE(template_, "vorn_sandbox.template", true)                                               \
    MODULE(template_::base, "vorn_sandbox.template.base", false)                                   \
    MODULE(template_::models, "vorn_sandbox.template.models", false)                               \
    MODULE(template_::e2b, "vorn_sandbox.template.e2b", false)                                     \
    MODULE(template_::opensandbox, "vorn_sandbox.template.opensandbox", false)                     \
    MODULE(template_::bedrock, "vorn_sandbox.template.bedrock", false)                             \
    MODULE(providers, "vorn_sandbox.providers", true)                                              \
    MODULE(providers::opensandbox, "vorn_sandbox.providers.opensandbox", true)                     \
    MODULE(providers::opensandbox::snapshot, "vorn_sandbox.providers.opensandbox.snapshot", false) \
    MODULE(computer_use, "vorn_sandbox.computer_use", true)

#define VORN_SANDBOX_DECLARE_INIT(ns, name, package) \
    namespace vorn_sandbox::ns {                     \
    void init(pybind11::module_& module);            \
    }
VORN_SANDBOX_MODULES(VORN_SANDBOX_DECLARE_INIT)
#undef VORN_SANDBOX_DECLARE_INIT
