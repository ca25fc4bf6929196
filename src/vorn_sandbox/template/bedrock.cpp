// vorn_sandbox.template.bedrock: BedrockTemplateBuilder. The AgentCore Code
// Interpreter is a fixed, service-managed interpreter with no images to bake, so
// the builder only keeps the template interface total across providers: every
// answer is UNSUPPORTED, and it imports no AWS package.
#include "pyx/classes.hpp"
#include "pyx/module.hpp"
#include "pyx/object.hpp"
#include "pyx/params.hpp"
#include "vorn_sandbox/modules.hpp"

namespace py = pybind11;
using namespace pyx::literals;

namespace vorn_sandbox::template_::bedrock {
namespace {

constexpr const char* unsupported_detail =
    "Bedrock AgentCore has no template mechanism; install packages per session via "
    "BedrockAgentCoreSandbox.execute_command('pip install ...').";

using pyx::SelfOnly;
py::object provider(SelfOnly& a) {
    return a.global("SandboxProvider"_name).attr("BEDROCK");
}
py::object supports_build(SelfOnly&) {
    return py::bool_(false);
}

struct IsUsable : pyx::Params {
    Arg self = arg("self");
    Arg template_id = arg("template_id").annotated(pyx::builtin("str"));
};
py::object is_usable(IsUsable&) {
    return py::bool_(false);
}

struct Build : pyx::Params {
    Arg self = arg("self");
    Arg spec = arg("spec").annotated(module_global("TemplateSpec"));
};
py::object build(Build& a) {
    return pyx::call(a.global("TemplateBuildResult"_name),
                     "status"_kw = a.global("TemplateBuildStatus"_name).attr("UNSUPPORTED"),
                     "template_ref"_kw = py::none(), "detail"_kw = a.global("_UNSUPPORTED_DETAIL"_name));
}

}  // namespace

void init(py::module_& module) {
    module.attr("__doc__") =
        py::str("BedrockTemplateBuilder: template requests for Bedrock AgentCore, all UNSUPPORTED.");
    pyx::import_from(module, "kelmo_core.logging", {"LoggerManager"});
    py::object base =
        pyx::import_from(module, "vorn_sandbox.template.base", {"BaseTemplateBuilder"}).attr("BaseTemplateBuilder");
    pyx::import_from(module, "vorn_sandbox.template.models",
                     {"SandboxProvider", "TemplateBuildResult", "TemplateBuildStatus", "TemplateSpec"});
    pyx::bind_logger(module);
    module.attr("_UNSUPPORTED_DETAIL") = py::str(unsupported_detail);

    pyx::ClassBody body(module, "BedrockTemplateBuilder");
    body.doc("Template builder for Bedrock AgentCore, which has no templates: every build is UNSUPPORTED.")
        .property("provider", pyx::def("provider", provider).returning(module.attr("SandboxProvider")),
                  "SandboxProvider.BEDROCK.")
        .property("supports_build", pyx::def("supports_build", supports_build).returning(pyx::builtin("bool")),
                  "False: there is nothing to build.")
        .method(pyx::def("is_usable", is_usable)
                    .returning(pyx::builtin("bool"))
                    .with_doc("False for every template id: no template is ever usable."))
        .method(pyx::def("build", build)
                    .returning(module.attr("TemplateBuildResult"))
                    .with_doc("An UNSUPPORTED result; `spec` is not read."));
    module.attr("BedrockTemplateBuilder") = body.create(py::type::of(base), py::make_tuple(base));
}

}  // namespace vorn_sandbox::template_::bedrock
