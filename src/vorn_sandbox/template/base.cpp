// vorn_sandbox.template.base: BaseTemplateBuilder, the synchronous interface
// that every template builder implements, and its never-raising `ensure`.
#include "pyx/classes.hpp"
#include "pyx/object.hpp"
#include "vorn_sandbox/modules.hpp"

#include <exception>

namespace py = pybind11;
using pyx::Args;

namespace vorn_sandbox::template_::base {
namespace {

constexpr const char* already_usable = "already usable";
constexpr const char* usable_after_failure = "usable after failed build (concurrent build?)";

pyx::Param typed(pyx::Param param, py::object annotation) {
    param.annotation = std::move(annotation);
    return param;
}


py::object str_of(py::handle object) {
    PyObject* text = PyObject_Str(object.ptr());
    if (!text) throw pyx::PyError::fetch();
    return py::reinterpret_steal<py::object>(text);
}

py::object repr_of(py::handle object) {
    PyObject* text = PyObject_Repr(object.ptr());
    if (!text) throw pyx::PyError::fetch();
    return py::reinterpret_steal<py::object>(text);
}

// Makes `exception` the one being handled for the guard's lifetime, as inside
// an `except` block: `exc_info=True` finds it, and an error raised meanwhile
// gets it as its __context__.
class Handling {
public:
    explicit Handling(py::handle exception) : previous_(PyErr_GetHandledException()) {
        PyErr_SetHandledException(exception.ptr());
    }
    ~Handling() {
        PyErr_SetHandledException(previous_);
        Py_XDECREF(previous_);
    }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    PyObject* previous_;
};

py::object resolve_ref(Args& a) {
    return pyx::truthy(a[0].attr("is_usable")(a[1])) ? a[1] : py::object(py::none());
}

py::object make_ref(Args& a) {
    return a.global("TemplateRef")(py::arg("provider") = a[0].attr("provider"), py::arg("value") = a[1]);
}

py::object skipped(Args& a) {
    return a.global("TemplateBuildResult")(py::arg("status") = a.global("TemplateBuildStatus").attr("SKIPPED"),
                                           py::arg("template_ref") = a[0].attr("_make_ref")(a[1]),
                                           py::arg("detail") = a[2]);
}

// Steps 1 to 4 of `ensure`, run inside its guard.
py::object ensure_steps(Args& a) {
    const py::object& self = a[0];
    const py::object& spec = a[1];
    if (!pyx::truthy(spec.attr("force_rebuild"))) {
        py::object ref = self.attr("_resolve_ref")(spec.attr("template_id"));
        if (!ref.is_none()) return self.attr("_skipped")(ref, already_usable);
    }
    py::object result = self.attr("build")(spec);
    if (result.attr("status").is(a.global("TemplateBuildStatus").attr("FAILED")) &&
        !pyx::truthy(spec.attr("force_rebuild"))) {
        py::object ref = self.attr("_resolve_ref")(spec.attr("template_id"));
        if (!ref.is_none()) return self.attr("_skipped")(ref, usable_after_failure);
    }
    return result;
}

py::object ensure(Args& a) {
    std::exception_ptr caught;
    try {
        return ensure_steps(a);
    } catch (...) {
        caught = std::current_exception();
    }
    pyx::PyError error = pyx::to_pyerror(caught);
    // Only an Exception is turned into a result: interrupts and interpreter
    // exit pass through unchanged, without a log record.
    if (!error.is_exception()) throw error;
    const py::object& e = error.value();
    Handling handling(e);  // the handler itself is not guarded
    int is_family = PyObject_IsInstance(e.ptr(), a.global("CodeInterpreterError").ptr());
    if (is_family < 0) throw pyx::PyError::fetch();
    py::object stage = is_family ? e.attr("stage") : a.global("Stage").attr("TEMPLATE_BUILD");
    py::dict extra;
    extra["error_code"] = stage;
    py::str message = py::str("ensure failed for template {}: {}").format(repr_of(a[1].attr("template_id")), str_of(e));
    a.global("logger").attr("warning")(message, py::arg("exc_info") = true, py::arg("extra") = extra);
    return a.global("TemplateBuildResult")(py::arg("status") = a.global("TemplateBuildStatus").attr("FAILED"),
                                           py::arg("template_ref") = py::none(), py::arg("detail") = str_of(e),
                                           py::arg("stage") = stage);
}

}  // namespace

void init(py::module_& module) {
    module.attr("__doc__") = py::str(
        "BaseTemplateBuilder: the synchronous, provider-neutral interface of template builders.\n\n"
        "Concrete builders answer whether a template is usable and build it; ensure(spec) makes\n"
        "sure that a template exists in one call that never raises an Exception and always\n"
        "returns a TemplateBuildResult.");
    py::module_::import("abc");
    py::object manager = py::module_::import("kelmo_core.logging").attr("LoggerManager");
    py::module_ errors = py::module_::import("vorn_sandbox.errors");
    for (const char* name : {"CodeInterpreterError", "Stage"}) module.attr(name) = errors.attr(name);
    py::module_ models = py::module_::import("vorn_sandbox.template.models");
    for (const char* name :
         {"SandboxProvider", "TemplateBuildResult", "TemplateBuildStatus", "TemplateRef", "TemplateSpec"})
        module.attr(name) = models.attr(name);
    module.attr("logger") = manager().attr("get_logger")(module.attr("__name__"));

    py::object str = pyx::builtin("str"), boolean = pyx::builtin("bool");
    py::object spec_type = models.attr("TemplateSpec"), result_type = models.attr("TemplateBuildResult");
    py::object optional_str = py::reinterpret_steal<py::object>(PyNumber_Or(str.ptr(), Py_None));
    if (!optional_str) throw pyx::PyError::fetch();

    pyx::ClassBody body(module, "BaseTemplateBuilder");
    body.doc("Synchronous template-builder interface: a concrete builder names its provider, says whether it "
             "builds, tests usability and builds; ensure(spec) never raises an Exception.")
        .property("provider",
                  pyx::def("provider", {pyx::arg("self")}, pyx::not_implemented)
                      .abstract()
                      .returning(models.attr("SandboxProvider")),
                  "The backend this builder targets; every TemplateRef it makes is stamped with it.")
        .property("supports_build",
                  pyx::def("supports_build", {pyx::arg("self")}, pyx::not_implemented).abstract().returning(boolean),
                  "True when build produces a reusable reference, false when the provider has no templates.")
        .method(pyx::def("is_usable", {pyx::arg("self"), typed(pyx::arg("template_id"), str)}, pyx::not_implemented)
                    .abstract()
                    .returning(boolean)
                    .with_doc("True when a usable template resolves for the handle."))
        .method(pyx::def("build", {pyx::arg("self"), typed(pyx::arg("spec"), spec_type)}, pyx::not_implemented)
                    .abstract()
                    .returning(result_type)
                    .with_doc("Produces or refreshes the template that spec describes and reports the outcome."))
        .method(pyx::def("ensure", {pyx::arg("self"), typed(pyx::arg("spec"), spec_type)}, ensure)
                    .returning(result_type)
                    .with_doc("Idempotently makes sure that the template exists: SKIPPED when already usable, "
                              "else the outcome of build; never raises an Exception (a FAILED result instead)."))
        .method(pyx::def("_resolve_ref", {pyx::arg("self"), typed(pyx::arg("template_id"), str)}, resolve_ref)
                    .returning(optional_str)
                    .with_doc("The provider-native reference for the handle when the template is usable, else None."))
        .method(pyx::def("_make_ref", {pyx::arg("self"), typed(pyx::arg("value"), str)}, make_ref)
                    .returning(models.attr("TemplateRef"))
                    .with_doc("A TemplateRef stamped with this builder's provider."))
        .method(pyx::def("_skipped", {pyx::arg("self"), typed(pyx::arg("value"), str), typed(pyx::arg("detail"), str)},
                         skipped)
                    .returning(result_type)
                    .with_doc("A SKIPPED result carrying a reference to value and the given detail."));
    module.attr("BaseTemplateBuilder") = body.create_abc();
}

}  // namespace vorn_sandbox::template_::base
