// vorn_sandbox.template.models: what to build (TemplateSpec), how to refer to
// the built template (TemplateRef), how the build went (TemplateBuildResult),
// and the registry credentials that a spec may carry (RegistryAuth).
#include "pyx/classes.hpp"
#include "pyx/object.hpp"
#include "pyx/params.hpp"
#include "vorn_sandbox/modules.hpp"

#include <cctype>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;
using namespace pyx::literals;

namespace vorn_sandbox::template_::models {
namespace {

constexpr const char* auth_requires_image = "registry_auth requires 'image' (the registry reference it authenticates)";
constexpr const char* base_template_deprecated =
    "base_template is deprecated; use 'image' (an image registry reference) instead.";
constexpr const char* dockerfile_deprecated =
    "dockerfile is deprecated; use 'image' (an image registry reference) instead.";

using pyx::optional;

// `Literal[tag]`
py::object literal(const char* tag) {
    return pyx::typing("Literal")[py::str(tag)];
}

py::object secret_value(const py::object& secret) {
    return secret.attr("get_secret_value")();
}

// The after-validator of TemplateSpec: credentials only authenticate the pull of `image`.
using pyx::SelfOnly;

py::object registry_auth_requires_image(SelfOnly& a) {
    if (pyx::getattr(a.self, "registry_auth"_name).is_none()) return a.self;
    if (pyx::getattr(a.self, "image"_name).is_none()) pyx::raise(PyExc_ValueError, auth_requires_image);
    return a.self;
}

// The content of the service-account JSON: the file's text when the value
// names a regular file, else the value verbatim. Only OSError is absorbed; a
// decoding error of the file's content reaches the caller.
py::object resolved_service_account_json(SelfOnly& a) {
    py::object value = secret_value(pyx::getattr(a.self, "service_account_json"_name));
    try {
        py::object path = pyx::call(a.global("Path"_name), value);
        if (pyx::truthy(pyx::call_method(path, "is_file"_name))) {
            return pyx::call_method(path, "read_text"_name, "encoding"_kw = "utf-8");
        }
    } catch (...) {
        pyx::PyError error = pyx::to_pyerror(std::current_exception());
        if (!error.matches(PyExc_OSError)) throw error;
    }
    return value;
}

// The one configuration of the models that may hold a secret (the three
// credentials and TemplateSpec). By pydantic's default a validation error
// prints the raw input beside each error, so a credential given as a mapping
// (or a missing field next to the password) would put the plain secret into
// the error's text, and from there into logs, ensure's warning included.
// Hiding the input keeps secrets out of every error text; nothing else changes.
py::dict secret_safe_config() {
    return pyx::pydantic("ConfigDict")(py::arg("hide_input_in_errors") = true);
}

// A credential model: the one-value `type` tag with its default, then its fields.
py::object credential(py::module_& module, const char* name, const char* doc, const char* tag,
                      const std::vector<std::pair<const char*, py::object>>& fields) {
    pyx::ClassBody body(module, name);
    body.doc(doc).attr("model_config", secret_safe_config()).field("type", literal(tag), py::str(tag));
    for (const auto& [field, annotation] : fields) body.field(field, annotation);
    return body.create_model();
}

// Plain methods go on a model right after it is made: pydantic refuses
// attributes of unknown types in the namespace of the class statement.
void attach(py::module_& module, py::handle model, pyx::FunctionSpec spec) {
    std::string name = spec.name;
    std::string qualname = py::str(model.attr("__qualname__")).cast<std::string>() + "." + name;
    model.attr(name.c_str()) = pyx::make_function(std::move(spec), module.attr("__dict__"), qualname);
}

}  // namespace

void init(py::module_& module) {
    module.attr("__doc__") = py::str(
        "Template models: what to build (TemplateSpec), how to refer to the built template\n"
        "(TemplateRef, stamped with its SandboxProvider) and how the build went\n"
        "(TemplateBuildResult, with a TemplateBuildStatus), plus the registry credentials that\n"
        "a spec may carry (BasicAuth, AwsAuth, GcpAuth and their tagged union RegistryAuth).\n\n"
        "Secrets are held as SecretStr, masked in representations, logs and dumps, and revealed\n"
        "only by each credential's own method at the provider SDK boundary.");
    py::module_ enum_module = py::module_::import("enum");
    module.attr("Path") = py::module_::import("pathlib").attr("Path");
    py::module_ typing_module = py::module_::import("typing");
    for (const char* name : {"Annotated", "Literal", "Union"}) module.attr(name) = typing_module.attr(name);
    for (const char* name : {"BaseModel", "ConfigDict", "Field", "SecretStr", "model_validator"})
        module.attr(name) = pyx::pydantic(name);
    py::object stage = py::module_::import("vorn_sandbox.errors").attr("Stage");
    module.attr("Stage") = stage;

    py::object str = pyx::builtin("str"), boolean = pyx::builtin("bool");
    py::object secret = pyx::pydantic("SecretStr"), field_of = pyx::pydantic("Field");
    py::object empty = py::str("");

    // --- enumerations -----------------------------------------------------
    py::object status = pyx::make_enum(enum_module.attr("Enum"), module, "TemplateBuildStatus",
                                       {{"SUCCESS", py::str("success")},
                                        {"SKIPPED", py::str("skipped")},
                                        {"UNSUPPORTED", py::str("unsupported")},
                                        {"FAILED", py::str("failed")}},
                                       "Outcome of a template build or ensure operation; compare members by identity.");
    module.attr("TemplateBuildStatus") = status;

    // `str` mixed into `Enum` (bases (str, Enum)), not StrEnum: str() and
    // format() give the member-name form, `.value` the plain text.
    py::list providers;
    for (const char* member : {"E2B", "OPENSANDBOX", "BEDROCK"}) {
        std::string value = member;
        for (char& c : value) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        providers.append(py::make_tuple(member, value));
    }
    py::object provider =
        enum_module.attr("Enum")(py::str("SandboxProvider"), providers, py::arg("module") = module.attr("__name__"),
                                 py::arg("qualname") = py::str("SandboxProvider"), py::arg("type") = str);
    provider.attr("__doc__") = py::str("The sandbox backend that produced, or would produce, a template reference.");
    module.attr("SandboxProvider") = provider;

    // --- registry credentials ----------------------------------------------
    py::object basic = credential(module, "BasicAuth",
                                  "User-name and password authentication for any registry with basic authentication.",
                                  "basic", {{"username", str}, {"password", secret}});
    attach(module, basic,
           pyx::def("reveal_password", [](SelfOnly& a) { return secret_value(pyx::getattr(a.self, "password"_name)); })
               .returning(str)
               .with_doc("The password in plain text; call only where it is handed to a provider SDK."));
    module.attr("BasicAuth") = basic;

    py::object aws = credential(module, "AwsAuth", "Amazon ECR authentication through IAM credentials.", "aws",
                                {{"access_key_id", str}, {"secret_access_key", secret}, {"region", str}});
    attach(module, aws,
           pyx::def("reveal_secret_key",
                    [](SelfOnly& a) { return secret_value(pyx::getattr(a.self, "secret_access_key"_name)); })
               .returning(str)
               .with_doc("The secret access key in plain text; call only where it is handed to a provider SDK."));
    module.attr("AwsAuth") = aws;

    py::object gcp = credential(module, "GcpAuth",
                                "GCP Artifact Registry or Container Registry authentication through a service-account "
                                "JSON, given as its content or as the path of its file.",
                                "gcp", {{"service_account_json", secret}});
    attach(module, gcp,
           pyx::def("resolved_service_account_json", resolved_service_account_json)
               .returning(str)
               .with_doc("The service-account JSON content: the file's text when the value names a regular "
                         "file, else the value verbatim. Call only where it is handed to a provider SDK."));
    module.attr("GcpAuth") = gcp;

    py::object registry_auth = typing_module.attr("Annotated")[py::make_tuple(
        typing_module.attr("Union")[py::make_tuple(basic, aws, gcp)], field_of(py::arg("discriminator") = "type"))];
    module.attr("RegistryAuth") = registry_auth;

    // --- template models ---------------------------------------------------
    auto deprecated = [&](const char* message) {
        return field_of(py::arg("default") = py::none(), py::arg("deprecated") = message);
    };
    py::object optional_str = optional(str);

    pyx::ClassBody spec(module, "TemplateSpec");
    spec.doc("Provider-neutral inputs for building a sandbox template.")
        .attr("model_config", secret_safe_config())
        .field("template_id", str)
        .field("image", optional_str, py::none())
        .field("registry_auth", optional(registry_auth), py::none())
        .field("packages", optional(pyx::builtin("list")[str]), py::none())
        .field("start_cmd", optional_str, py::none())
        .field("ready_cmd", optional_str, py::none())
        .field("base_template", optional_str, deprecated(base_template_deprecated))
        .field("dockerfile", optional_str, deprecated(dockerfile_deprecated))
        .field("force_rebuild", boolean, py::bool_(false))
        .attr("_registry_auth_requires_image",
              pyx::pydantic("model_validator")(py::arg("mode") = "after")(
                  spec.function(pyx::def("_registry_auth_requires_image", registry_auth_requires_image)
                                    .returning(py::str("TemplateSpec"))
                                    .with_doc("Refuses registry credentials without the image they authenticate."))));
    module.attr("TemplateSpec") = spec.create_model();

    pyx::ClassBody ref(module, "TemplateRef");
    ref.doc("A self-describing, serialisable reference to a built template.")
        .field("provider", provider)
        .field("value", str);
    py::object template_ref = ref.create_model();
    module.attr("TemplateRef") = template_ref;

    pyx::ClassBody result(module, "TemplateBuildResult");
    result.doc("The structured, provider-agnostic result of a template build or ensure.")
        .field("status", status)
        .field("template_ref", optional(template_ref), py::none())
        .field("detail", str, empty)
        .field("stage", optional(stage), py::none())
        .field("logs", str, empty);
    module.attr("TemplateBuildResult") = result.create_model();
}

}  // namespace vorn_sandbox::template_::models
