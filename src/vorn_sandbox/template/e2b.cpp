// vorn_sandbox.template.e2b: E2BTemplateBuilder, the synchronous builder of
// E2B template aliases, and the shared default alias that sandbox creation
// can ask for.
//
// Template, default_build_logger, wait_for_port and every helper are globals
// of this module looked up at call time, so callers and tests can replace them.
#include "pyx/annotations.hpp"
#include "pyx/classes.hpp"
#include "pyx/module.hpp"
#include "pyx/object.hpp"
#include "pyx/params.hpp"
#include "vorn_sandbox/backend_tracing.hpp"
#include "vorn_sandbox/modules.hpp"
#include "vorn_sandbox/provider_sdk.hpp"

#include <exception>
#include <optional>
#include <utility>
#include <vector>

namespace py = pybind11;
using namespace pyx::literals;
namespace types = pyx::types;

namespace vorn_sandbox::template_::e2b {
namespace {

constexpr const char* install_hint =
    "The 'e2b' package is required for E2BTemplateBuilder. Install it with: pip install 'vorn-sandbox[e2b]'";
constexpr const char* no_source = "E2B build requires 'image' (or deprecated 'dockerfile'/'base_template')";

py::object repr_of(py::handle object) {
    PyObject* text = PyObject_Repr(object.ptr());
    if (!text) throw pyx::PyError::fetch();
    return py::reinterpret_steal<py::object>(text);
}

// Runs `body` as `try: ... except Exception as e`: the failure comes back as
// a value; cancellation, interrupts and exits pass on.
template <class Body>
std::optional<pyx::PyError> failure_of(Body&& body) {
    try {
        body();
        return std::nullopt;
    } catch (...) {
        pyx::PyError error = pyx::to_pyerror(std::current_exception());
        if (!error.is_exception()) throw error;
        return error;
    }
}

void log(const pyx::Params& a, const char* level, py::handle message) {
    py::object logger = a.global("logger"_name);
    logger.attr(level)(message);
}

// `Template.<operation>(alias, **self._api_opts())`.
py::object template_call(const pyx::Params& a, py::handle self, const char* operation, py::handle alias) {
    py::object options = pyx::call_method(self, "_api_opts"_name);
    return pyx::apply(a.global("Template"_name).attr(operation), py::make_tuple(alias), options);
}

struct Init : pyx::Params {
    Arg self = arg("self");
    Arg api_key = kwonly("api_key", py::none()).annotated(pyx::optional(types::str()));
    Arg domain = kwonly("domain", py::none()).annotated(pyx::optional(types::str()));
};
py::object init_builder(Init& a) {
    pyx::setattr(a.self, "_api_key"_name, a.api_key);
    pyx::setattr(a.self, "_domain"_name, a.domain);
    return py::none();
}

using pyx::SelfOnly;

py::object provider(SelfOnly& a) {
    return pyx::getattr(a.global("SandboxProvider"_name), "E2B"_name);
}

py::object supports_build(SelfOnly&) {
    return py::bool_(true);
}

struct TemplateId : pyx::Params {
    Arg self = arg("self");
    Arg template_id = arg("template_id").annotated(types::str());
};

// The truth of one of the SDK's template questions about the alias; a failure to
// answer is logged as the named check and counts as no.
bool template_check(TemplateId& a, const char* operation, const char* check) {
    bool answer = false;
    auto failed = failure_of([&] { answer = pyx::truthy(template_call(a, a.self, operation, a.template_id)); });
    if (failed) {
        log(a, "warning",
            py::str("E2B template {} check failed for {}: {}").format(check, repr_of(a.template_id), failed->value()));
        return false;
    }
    return answer;
}

py::object alias_exists(TemplateId& a) {
    return py::bool_(template_check(a, "exists", "exists"));
}

// An alias can exist without a successful build; only a tag marks a build
// that sandboxes can start from.
py::object is_usable(TemplateId& a) {
    if (!pyx::truthy(pyx::call_method(a.self, "_alias_exists"_name, a.template_id))) return py::bool_(false);
    return py::bool_(template_check(a, "get_tags", "tag"));
}

// ---------------------------------------------------------------------------
// Registry secrets in failure texts

// The service-account key of GCP credentials as the SDK takes its content: a
// dict (the SDK reads a str as the path of a file). The texts of these errors
// name no part of the key.
py::object service_account_key(const pyx::Params& a, py::handle auth) {
    py::object text = pyx::call_method(auth, "resolved_service_account_json"_name);
    py::object key;
    auto unreadable = failure_of([&] { key = pyx::call_method(a.global("json"_name), "loads"_name, text); });
    if (unreadable) {
        if (!unreadable->matches(PyExc_ValueError)) throw *unreadable;
        pyx::raise(PyExc_ValueError, "GCP service_account_json is neither JSON text nor the path of a JSON file");
    }
    if (!PyDict_Check(key.ptr())) pyx::raise(PyExc_ValueError, "GCP service_account_json must hold a JSON object");
    return key;
}

// The secrets that `auth` hands to the SDK, in plain text. A source that
// cannot be read adds nothing: this runs while a failure is being reported.
std::vector<py::object> secrets_of(const pyx::Params& a, py::handle auth) {
    std::vector<py::object> secrets;
    auto add = [&](auto&& source) {
        py::object value;
        if (!failure_of([&] { value = source(); }) && PyUnicode_Check(value.ptr())) secrets.push_back(value);
    };
    if (pyx::is_instance(auth, a.global("BasicAuth"_name))) {
        add([&] { return pyx::call_method(auth, "reveal_password"_name); });
    } else if (pyx::is_instance(auth, a.global("AwsAuth"_name))) {
        add([&] { return pyx::call_method(auth, "reveal_secret_key"_name); });
    } else if (pyx::is_instance(auth, a.global("GcpAuth"_name))) {
        add([&] { return pyx::getattr(auth, "service_account_json"_name).attr("get_secret_value")(); });
        add([&] { return pyx::call_method(auth, "resolved_service_account_json"_name); });
        py::object key;
        if (failure_of([&] { key = service_account_key(a, auth); })) return secrets;
        add([&] { return pyx::call_method(a.global("json"_name), "dumps"_name, key); });
        for (const char* field : {"private_key", "private_key_id"}) {
            add([&] { return pyx::call_method(key, "get"_name, field); });
        }
    }
    return secrets;
}

// Every form in which a secret can show in a failure's text: as it is,
// escaped as JSON or repr() writes a string (or both, as an error that shows
// a JSON document's text in a repr does), and each line of a multi-line
// secret, so that a PEM key's body is caught under any escaping.
py::list secret_forms(const pyx::Params& a, const std::vector<py::object>& secrets) {
    py::object json = a.global("json"_name);
    // The inside of the quoted literal that json.dumps() or repr() writes.
    auto json_escaped = [&](py::handle text) -> py::object {
        return pyx::call_method(json, "dumps"_name, text)[py::slice(1, -1, 1)];
    };
    auto repr_escaped = [](py::handle text) -> py::object { return repr_of(text)[py::slice(1, -1, 1)]; };
    py::set forms;
    for (const py::object& secret : secrets) {
        if (!pyx::truthy(secret)) continue;
        forms.add(secret);
        py::object as_json = json_escaped(secret);
        forms.add(as_json);
        forms.add(repr_escaped(secret));
        forms.add(repr_escaped(as_json));
        for (py::handle line : pyx::call_method(secret, "splitlines"_name)) {
            if (py::len(line) >= 8) forms.add(line);
        }
    }
    py::list ordered = pyx::call(pyx::builtin("sorted"), forms, "key"_kw = pyx::builtin("len"), "reverse"_kw = true);
    return ordered;
}

// The text of a failure, with every known secret of the template's registry credentials
// masked: it goes into a log record and into the result's detail.
py::object redacted(const pyx::Params& a, py::handle spec, py::handle failure) {
    py::object text = py::str(failure);
    py::object auth = pyx::getattr(spec, "registry_auth"_name, py::none());
    if (auth.is_none()) return text;
    for (py::handle form : secret_forms(a, secrets_of(a, auth))) {
        text = pyx::call_method(text, "replace"_name, form, a.global("_REDACTED"_name));
    }
    return text;
}

// ---------------------------------------------------------------------------
// Builds

// `(self, spec: TemplateSpec)`: the build and its recipe.
struct SpecParams : pyx::Params {
    Arg self = arg("self");
    Arg spec = arg("spec").annotated(module_global("TemplateSpec"));
};
py::object build(SpecParams& a) {
    py::object template_id = pyx::getattr(a.spec, "template_id"_name);
    py::dict attrs;
    attrs[a.global("SpanAttr"_name).attr("TEMPLATE_ID")] = template_id;
    pyx::apply(a.global("set_current_span_attributes"_name), py::tuple(), attrs);

    py::object definition;
    if (auto failed = failure_of([&] { definition = pyx::call_method(a.self, "_create_template"_name, a.spec); })) {
        py::object e = redacted(a, a.spec, failed->value());
        log(a, "warning", py::str("E2B template creation failed for {}: {}").format(repr_of(template_id), e));
        return pyx::call_method(a.self, "_failed"_name, py::str("template creation failed: {}").format(e));
    }
    auto failed = failure_of([&] {
        py::dict keywords;
        keywords["alias"] = template_id;
        keywords["on_build_logs"] = pyx::call(a.global("default_build_logger"_name));
        for (auto option : py::reinterpret_borrow<py::dict>(pyx::call_method(a.self, "_api_opts"_name))) {
            keywords[option.first] = option.second;
        }
        pyx::apply(a.global("Template"_name).attr("build"), py::make_tuple(definition), keywords);
    });
    if (failed) {
        py::object e = redacted(a, a.spec, failed->value());
        log(a, "warning", py::str("E2B template build failed for {}: {}").format(repr_of(template_id), e));
        return pyx::call_method(a.self, "_failed"_name, py::str("build failed: {}").format(e));
    }
    log(a, "info", py::str("E2B template built: {}").format(template_id));
    return pyx::call(a.global("TemplateBuildResult"_name),
                     "status"_kw = pyx::getattr(a.global("TemplateBuildStatus"_name), "SUCCESS"_name),
                     "template_ref"_kw = pyx::call_method(a.self, "_make_ref"_name, template_id));
}

py::object ensure_default(SelfOnly& a) {
    py::object alias = pyx::getattr(a.global("E2BConfig"_name), "DEFAULT_TEMPLATE_ALIAS"_name);
    py::object spec = pyx::call(a.global("TemplateSpec"_name), "template_id"_kw = alias,
                                "image"_kw = a.global("DEFAULT_SANDBOX_IMAGE"_name));
    py::object result = pyx::call_method(a.self, "ensure"_name, spec);
    py::object statuses = a.global("TemplateBuildStatus"_name);
    py::object status = pyx::getattr(result, "status"_name);
    py::object ref = pyx::getattr(result, "template_ref"_name);
    bool usable =
        status.equal(pyx::getattr(statuses, "SUCCESS"_name)) || status.equal(pyx::getattr(statuses, "SKIPPED"_name));
    if (usable && pyx::truthy(ref)) return pyx::getattr(ref, "value"_name);
    log(a, "warning",
        py::str("Could not ensure default E2B template {} ({}: {}); falling back to E2B's default template")
            .format(repr_of(alias), pyx::getattr(status, "value"_name), pyx::getattr(result, "detail"_name)));
    return py::none();
}

// The recipe: a source, an optional pip layer, an optional start command.
// Each SDK step returns the definition to go on from.
py::object create_template(SpecParams& a) {
    // The deprecated sources are read only when no image is given.
    py::object image = pyx::getattr(a.spec, "image"_name);
    py::object definition;
    bool from_image = false;
    if (pyx::truthy(image)) {
        log(a, "info", py::str("Creating E2B template from image registry: {}").format(image));
        definition = pyx::call_method(a.self, "_from_registry"_name, image, pyx::getattr(a.spec, "registry_auth"_name));
        from_image = true;
    } else if (py::object dockerfile = pyx::getattr(a.spec, "dockerfile"_name); pyx::truthy(dockerfile)) {
        log(a, "info", py::str("Creating E2B template from Dockerfile: {}").format(dockerfile));
        definition = pyx::call_method(pyx::call(a.global("Template"_name)), "from_dockerfile"_name, dockerfile);
    } else if (py::object base_template = pyx::getattr(a.spec, "base_template"_name); pyx::truthy(base_template)) {
        log(a, "info", py::str("Creating E2B template from base: {}").format(base_template));
        definition = pyx::call_method(pyx::call(a.global("Template"_name)), "from_template"_name, base_template);
    } else {
        pyx::raise(PyExc_ValueError, no_source);
    }

    py::object packages = pyx::getattr(a.spec, "packages"_name);
    if (pyx::truthy(packages)) {
        py::list quoted;
        py::object quote = a.global("shlex"_name).attr("quote");
        for (py::handle package : packages) quoted.append(quote(package));
        py::object packages_str = py::str(" ").attr("join")(quoted);
        log(a, "info", py::str("Baking packages into template: {}").format(packages_str));
        definition = pyx::call_method(definition, "run_cmd"_name, py::str("pip install -q {}").format(packages_str));
    }

    py::object start_cmd = pyx::getattr(a.spec, "start_cmd"_name);
    if (pyx::truthy(start_cmd) || from_image) {
        if (!pyx::truthy(start_cmd)) start_cmd = a.global("_DEFAULT_CI_START_CMD"_name);
        py::object ready_cmd = pyx::getattr(a.spec, "ready_cmd"_name);
        if (!pyx::truthy(ready_cmd))
            ready_cmd = pyx::call(a.global("wait_for_port"_name), a.global("_DEFAULT_CI_PORT"_name));
        log(a, "info", py::str("Setting E2B start command: {}").format(start_cmd));
        definition = pyx::call_method(definition, "set_start_cmd"_name, start_cmd, ready_cmd);
    }
    return definition;
}

// Registry credentials go to the SDK as raw values, revealed only in the call
// (a GCP key as its parsed JSON); the service resolves cloud-registry
// credentials itself.
struct FromRegistry : pyx::Params {
    Arg self = arg("self");
    Arg image = arg("image").annotated(types::str());
    Arg auth = arg("auth").annotated(pyx::optional(module_global("RegistryAuth")));
};
py::object from_registry(FromRegistry& a) {
    // A new, empty definition for each supported kind of credentials.
    auto fresh = [&] { return pyx::call(a.global("Template"_name)); };
    if (a.auth.is_none()) return pyx::call_method(fresh(), "from_image"_name, a.image);
    if (pyx::is_instance(a.auth, a.global("BasicAuth"_name))) {
        return pyx::call_method(fresh(), "from_image"_name, a.image,
                                "username"_kw = pyx::getattr(a.auth, "username"_name),
                                "password"_kw = pyx::call_method(a.auth, "reveal_password"_name));
    }
    if (pyx::is_instance(a.auth, a.global("AwsAuth"_name))) {
        return pyx::call_method(fresh(), "from_aws_registry"_name, a.image,
                                "access_key_id"_kw = pyx::getattr(a.auth, "access_key_id"_name),
                                "secret_access_key"_kw = pyx::call_method(a.auth, "reveal_secret_key"_name),
                                "region"_kw = pyx::getattr(a.auth, "region"_name));
    }
    if (pyx::is_instance(a.auth, a.global("GcpAuth"_name))) {
        return pyx::call_method(fresh(), "from_gcp_registry"_name, a.image,
                                "service_account_json"_kw = service_account_key(a, a.auth));
    }
    py::object kind = pyx::getattr(py::type::of(a.auth), "__name__"_name);
    throw pyx::PyError(pyx::call(py::handle(PyExc_ValueError), py::str("Unsupported registry auth: {}").format(kind)));
}

py::object api_opts(SelfOnly& a) {
    py::dict options;
    py::object api_key = pyx::getattr(a.self, "_api_key"_name);
    py::object domain = pyx::getattr(a.self, "_domain"_name);
    if (!api_key.is_none()) options["api_key"] = api_key;
    if (!domain.is_none()) options["domain"] = domain;
    return options;
}

struct Failed : pyx::Params {
    Arg self = arg("self");
    Arg detail = arg("detail").annotated(types::str());
};
py::object failed(Failed& a) {
    return pyx::call(a.global("TemplateBuildResult"_name),
                     "status"_kw = pyx::getattr(a.global("TemplateBuildStatus"_name), "FAILED"_name),
                     "template_ref"_kw = py::none(), "detail"_kw = a.detail);
}

void import_sdk(py::module_& module) {
    import_provider_sdk(install_hint, [&] {
        pyx::import_from(module, "e2b", {"Template", "default_build_logger", "wait_for_port"});
        pyx::import_from(module, "e2b.template.main", {"TemplateBuilder"});
    });
}

}  // namespace

void init(py::module_& module) {
    module.attr("__doc__") = py::str(
        "E2BTemplateBuilder: checks and builds E2B template aliases from a registry image, a Dockerfile or a base\n"
        "alias, and keeps the shared default alias in place for sandbox creation.");
    pyx::import_module(module, "json");
    pyx::import_module(module, "shlex");
    pyx::import_from(module, "typing", {"Any"});
    import_sdk(module);
    pyx::import_from(module, "kelmo_core.logging", {"LoggerManager"});
    pyx::import_from(module, "vorn_sandbox.constants", {"DEFAULT_SANDBOX_IMAGE", "E2BConfig"});
    pyx::import_from(module, "vorn_sandbox.observability",
                     {"SpanAttr", "SpanName", "set_current_span_attributes", "traced"});
    py::object base =
        pyx::import_from(module, "vorn_sandbox.template.base", {"BaseTemplateBuilder"}).attr("BaseTemplateBuilder");
    pyx::import_from(module, "vorn_sandbox.template.models",
                     {"AwsAuth", "BasicAuth", "GcpAuth", "RegistryAuth", "SandboxProvider", "TemplateBuildResult",
                      "TemplateBuildStatus", "TemplateSpec"});
    pyx::bind_logger(module);
    module.attr("_DEFAULT_CI_START_CMD") = py::str("sudo /root/.jupyter/start-up.sh");
    module.attr("_DEFAULT_CI_PORT") = py::int_(49999);
    // What a registry secret becomes in a failure's text (SecretStr's mask).
    module.attr("_REDACTED") = py::str("**********");

    py::object traced_build = backend_tracer(module, "TEMPLATE_BUILD", "e2b");

    py::object result_type = module.attr("TemplateBuildResult");
    py::object definition_type = module.attr("TemplateBuilder");
    pyx::ClassBody body(module, "E2BTemplateBuilder");
    body.doc("Builds E2B template aliases; the TemplateRef it hands out names the alias.")
        .method(pyx::def("__init__", init_builder).returning(types::none()))
        .property("provider", pyx::def("provider", provider).returning(module.attr("SandboxProvider")),
                  "SandboxProvider.E2B.")
        .property("supports_build", pyx::def("supports_build", supports_build).returning(types::bool_()),
                  "Always True: E2B builds templates.")
        .method(pyx::def("is_usable", is_usable)
                    .returning(types::bool_())
                    .with_doc("True when the alias exists and has at least one tag."))
        .method(pyx::def("_alias_exists", alias_exists)
                    .returning(types::bool_())
                    .with_doc("True when the alias exists; False after a warning "
                              "when the check fails."))
        .attr("build",
              traced_build(body.function(
                  pyx::def("build", build)
                      .returning(result_type)
                      .with_doc("Builds the alias spec.template_id from spec; a failure is a FAILED result."))))
        .method(pyx::def("ensure_default", ensure_default)
                    .returning(pyx::optional(types::str()))
                    .with_doc("Ensures the shared default alias; the alias when usable, else None. Never raises."))
        .method(pyx::def("_create_template", create_template)
                    .returning(definition_type)
                    .with_doc("The SDK template definition for spec: source, pip layer, start command."))
        .method(pyx::def("_from_registry", from_registry)
                    .returning(definition_type)
                    .with_doc("A definition started from a registry image with the given credentials."))
        .method(pyx::def("_api_opts", api_opts)
                    .returning(types::dict_of(types::str(), types::any()))
                    .with_doc("api_key and domain keywords for the SDK's class-level calls."))
        .method(pyx::def("_failed", failed).returning(result_type).with_doc("A FAILED result with the given detail."));
    module.attr("E2BTemplateBuilder") = body.create(py::type::of(base), py::make_tuple(base));
}

}  // namespace vorn_sandbox::template_::e2b
