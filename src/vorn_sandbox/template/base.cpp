// vorn_sandbox.template.base: BaseTemplateBuilder, the synchronous interface
// that every template builder implements, and its never-raising `ensure`.
#include "pyx/classes.hpp"
#include "pyx/context.hpp"
#include "pyx/module.hpp"
#include "pyx/object.hpp"
#include "pyx/params.hpp"
#include "vorn_sandbox/modules.hpp"

#include <optional>

namespace py = pybind11;
using namespace pyx::literals;

namespace vorn_sandbox::template_::base {
namespace {

constexpr const char* already_usable = "already usable";
constexpr const char* usable_after_failure = "usable after failed build (concurrent build?)";

struct ResolveRef : pyx::Params {
    Arg self = arg("self");
    Arg template_id = arg("template_id").annotated(pyx::builtin("str"));
};
py::object resolve_ref(ResolveRef& a) {
    return pyx::truthy(pyx::call_method(a.self, "is_usable"_name, a.template_id)) ? a.template_id
                                                                                  : py::object(py::none());
}

struct MakeRef : pyx::Params {
    Arg self = arg("self");
    Arg value = arg("value").annotated(pyx::builtin("str"));
};
py::object make_ref(MakeRef& a) {
    return pyx::call(a.global("TemplateRef"_name), "provider"_kw = pyx::getattr(a.self, "provider"_name),
                     "value"_kw = a.value);
}

struct Skipped : pyx::Params {
    Arg self = arg("self");
    Arg value = arg("value").annotated(pyx::builtin("str"));
    Arg detail = arg("detail").annotated(pyx::builtin("str"));
};
py::object skipped(Skipped& a) {
    return pyx::call(a.global("TemplateBuildResult"_name),
                     "status"_kw = a.global("TemplateBuildStatus"_name).attr("SKIPPED"),
                     "template_ref"_kw = pyx::call_method(a.self, "_make_ref"_name, a.value), "detail"_kw = a.detail);
}

struct Ensure : pyx::Params {
    Arg self = arg("self");
    Arg spec = arg("spec").annotated(module_global("TemplateSpec"));
};

// Steps 1 to 4 of `ensure`, run inside its guard.
py::object ensure_steps(Ensure& a) {
    bool force = pyx::truthy(pyx::getattr(a.spec, "force_rebuild"_name));
    if (!force) {
        py::object ref = pyx::call_method(a.self, "_resolve_ref"_name, pyx::getattr(a.spec, "template_id"_name));
        if (!ref.is_none()) return pyx::call_method(a.self, "_skipped"_name, ref, already_usable);
    }
    py::object result = pyx::call_method(a.self, "build"_name, a.spec);
    if (pyx::getattr(result, "status"_name).is(a.global("TemplateBuildStatus"_name).attr("FAILED")) &&
        !pyx::truthy(pyx::getattr(a.spec, "force_rebuild"_name))) {
        py::object ref = pyx::call_method(a.self, "_resolve_ref"_name, pyx::getattr(a.spec, "template_id"_name));
        if (!ref.is_none()) return pyx::call_method(a.self, "_skipped"_name, ref, usable_after_failure);
    }
    return result;
}

py::object ensure(Ensure& a) {
    std::optional<pyx::PyError> failure;
    try {
        return ensure_steps(a);
    } catch (...) {
        failure.emplace(pyx::to_pyerror(std::current_exception()));
    }
    // Only an Exception is turned into a result: interrupts and interpreter
    // exit pass through unchanged, without a log record.
    if (!failure->is_exception()) throw *failure;
    const py::object& e = failure->value();
    pyx::Handling handling(e);  // the handler itself is not guarded
    bool is_family = pyx::is_instance(e, a.global("CodeInterpreterError"_name));
    py::object stage = is_family ? pyx::getattr(e, "stage"_name) : a.global("Stage"_name).attr("TEMPLATE_BUILD");
    py::dict extra;
    extra["error_code"] = stage;
    py::str message = py::str("ensure failed for template {}: {}")
                          .format(py::repr(pyx::getattr(a.spec, "template_id"_name)), py::str(e));
    pyx::call_method(a.global("logger"_name), "warning"_name, message, "exc_info"_kw = true, "extra"_kw = extra);
    return pyx::call(a.global("TemplateBuildResult"_name),
                     "status"_kw = a.global("TemplateBuildStatus"_name).attr("FAILED"), "template_ref"_kw = py::none(),
                     "detail"_kw = py::str(e), "stage"_kw = stage);
}

using pyx::SelfOnly;

struct IsUsable : pyx::Params {
    Arg self = arg("self");
    Arg template_id = arg("template_id").annotated(pyx::builtin("str"));
};

}  // namespace

void init(py::module_& module) {
    module.attr("__doc__") = py::str(
        "BaseTemplateBuilder: the synchronous, provider-neutral interface of template builders.\n\n"
        "Concrete builders answer whether a template is usable and build it; ensure(spec) makes\n"
        "sure that a template exists in one call that never raises an Exception and always\n"
        "returns a TemplateBuildResult.");
    py::module_::import("abc");
    pyx::import_from(module, "vorn_sandbox.errors", {"CodeInterpreterError", "Stage"});
    py::module_ models = pyx::import_from(
        module, "vorn_sandbox.template.models",
        {"SandboxProvider", "TemplateBuildResult", "TemplateBuildStatus", "TemplateRef", "TemplateSpec"});
    pyx::bind_logger(module);

    py::object boolean = pyx::builtin("bool");
    py::object result_type = models.attr("TemplateBuildResult");

    pyx::ClassBody body(module, "BaseTemplateBuilder");
    body.doc(
            "Synchronous template-builder interface: a concrete builder names its provider, says whether it "
            "builds, tests usability and builds; ensure(spec) never raises an Exception.")
        .property("provider", pyx::abstract_method<SelfOnly>("provider").returning(models.attr("SandboxProvider")),
                  "The backend this builder targets; every TemplateRef it makes is stamped with it.")
        .property("supports_build", pyx::abstract_method<SelfOnly>("supports_build").returning(boolean),
                  "True when build produces a reusable reference, false when the provider has no templates.")
        .method(pyx::abstract_method<IsUsable>("is_usable")
                    .returning(boolean)
                    .with_doc("True when a usable template resolves for the handle."))
        .method(pyx::abstract_method<Ensure>("build")
                    .returning(result_type)
                    .with_doc("Produces or refreshes the template that spec describes and reports the outcome."))
        .method(pyx::def("ensure", ensure)
                    .returning(result_type)
                    .with_doc("Idempotently makes sure that the template exists: SKIPPED when already usable, "
                              "else the outcome of build; never raises an Exception (a FAILED result instead)."))
        .method(pyx::def("_resolve_ref", resolve_ref)
                    .returning(pyx::optional(pyx::builtin("str")))
                    .with_doc("The provider-native reference for the handle when the template is usable, else None."))
        .method(pyx::def("_make_ref", make_ref)
                    .returning(models.attr("TemplateRef"))
                    .with_doc("A TemplateRef stamped with this builder's provider."))
        .method(pyx::def("_skipped", skipped)
                    .returning(result_type)
                    .with_doc("A SKIPPED result carrying a reference to value and the given detail."));
    module.attr("BaseTemplateBuilder") = body.create_abc();
}

}  // namespace vorn_sandbox::template_::base
