// vorn_sandbox.template: the template package's public surface, the builder
// interface and the shared models only; no provider module is loaded here.
#include "pyx/object.hpp"
#include "vorn_sandbox/modules.hpp"

namespace py = pybind11;

namespace vorn_sandbox::template_ {

void init(py::module_& module) {
    module.attr("__doc__") = py::str(
        "Sandbox templates: the builder interface BaseTemplateBuilder and the shared template models.\n\n"
        "The concrete builders are not re-exported, because each needs a provider SDK: import\n"
        "E2BTemplateBuilder from vorn_sandbox.template.e2b, OpenSandboxTemplateBuilder from\n"
        "vorn_sandbox.template.opensandbox and BedrockTemplateBuilder from vorn_sandbox.template.bedrock.");
    module.attr("BaseTemplateBuilder") = py::module_::import("vorn_sandbox.template.base").attr("BaseTemplateBuilder");
    py::module_ models = py::module_::import("vorn_sandbox.template.models");
    for (const char* name : {"AwsAuth", "BasicAuth", "GcpAuth", "RegistryAuth", "SandboxProvider",
                             "TemplateBuildResult", "TemplateBuildStatus", "TemplateRef", "TemplateSpec"})
        module.attr(name) = models.attr(name);
    module.attr("__all__") =
        pyx::string_list({"AwsAuth", "BaseTemplateBuilder", "BasicAuth", "GcpAuth", "RegistryAuth", "SandboxProvider",
                          "TemplateBuildResult", "TemplateBuildStatus", "TemplateRef", "TemplateSpec"});
}

}  // namespace vorn_sandbox::template_
