// vorn_sandbox.errors: the lifecycle stages and the stage-attributed error family.
#include "pyx/annotations.hpp"
#include "pyx/classes.hpp"
#include "pyx/object.hpp"
#include "pyx/params.hpp"
#include "vorn_sandbox/modules.hpp"

#include <cctype>
#include <vector>

namespace py = pybind11;
using namespace pyx::literals;

namespace vorn_sandbox::errors {
namespace {

// Member names in declaration order; each value is the lower-cased name.
constexpr const char* stage_names[] = {
    "SNAPSHOT_RESOLVE", "CREATE",        "GET_INFO",      "EXECD_PROBE",     "JUPYTER_PROBE",
    "INTERPRETER_INIT", "SESSION_START", "PROCESS_START", "TEMPLATE_BUILD",  "PACKAGE_INSTALL",
    "EXECUTION",        "TERMINATE",     "DOWNLOAD",      "NOT_INITIALIZED",
};

// The sandbox root is reached only when the default test runs, never at
// import, so this module and vorn_sandbox.base cannot import each other in a cycle.
struct DefaultClassifier : pyx::Params {
    Arg exc = arg("exc").annotated(pyx::types::base_exception());
};
py::object default_classifier(DefaultClassifier& a) {
    py::object base = py::module_::import("vorn_sandbox.base");
    return pyx::call_method(pyx::getattr(base, "BaseSandbox"_name), "_is_transient_create_error"_name, a.exc);
}

struct ErrorInit : pyx::Params {
    Arg self = arg("self");
    Arg message = arg("message").annotated(pyx::types::str());
    Arg stage = kwonly("stage").annotated(module_global("Stage"));
    Arg classifier = kwonly("classifier", py::none()).annotated(pyx::optional(module_global("TransientClassifier")));
};
py::object error_init(ErrorInit& a) {
    py::handle(PyExc_RuntimeError).attr("__init__")(a.self, a.message);
    pyx::setattr(a.self, "stage"_name, a.stage);
    pyx::setattr(a.self, "_classifier"_name, a.classifier);
    return py::none();
}

// Walks the explicit cause chain with one test. A chain that loops back on
// itself ends at the first exception seen twice, with whatever was found so far.
struct Transient : pyx::Params {
    Arg self = arg("self");
};
py::object transient(Transient& a) {
    py::object classifier = pyx::getattr(a.self, "_classifier"_name);
    py::object test = pyx::truthy(classifier) ? classifier : a.global("_default_classifier"_name);
    std::vector<py::object> seen;
    for (py::object current = a.self; !current.is_none(); current = pyx::getattr(current, "__cause__"_name)) {
        for (const py::object& earlier : seen) {
            if (earlier.is(current)) return py::bool_(false);
        }
        if (pyx::truthy(pyx::call(test, current))) return py::bool_(true);
        seen.push_back(current);
    }
    return py::bool_(false);
}

struct NotInitializedInit : pyx::Params {
    Arg self = arg("self");
    Arg message = arg("message", py::str("Sandbox is not initialized")).annotated(pyx::types::str());
    Arg kwargs = varkw().annotated(pyx::types::any());
};
struct ErrorFamily {
    py::object family;  // CodeInterpreterError
    py::object stage;   // Stage
};
py::object not_initialized_init(NotInitializedInit& a, const ErrorFamily& closure) {
    py::dict kwargs = a.kwargs;
    if (kwargs.contains("stage") && PyDict_DelItemString(kwargs.ptr(), "stage") < 0) throw pyx::PyError::fetch();
    kwargs["stage"] = closure.stage.attr("NOT_INITIALIZED");
    closure.family.attr("__init__")(a.self, a.message, **kwargs);
    return py::none();
}

}  // namespace

void init(py::module_& module) {
    module.attr("__doc__") = py::str(
        "Stage-attributed errors of the sandbox lifecycle.\n\n"
        "Every error names the Stage at which it happened and derives its transient\n"
        "verdict, on every read, from one transient test applied down its cause chain.");
    py::module_ abc = py::module_::import("collections.abc");
    py::module_ enum_module = py::module_::import("enum");
    py::module_::import("typing");

    py::object builtins = py::module_::import("builtins");
    py::list judged;
    judged.append(builtins.attr("BaseException"));
    module.attr("TransientClassifier") = abc.attr("Callable")[py::make_tuple(judged, builtins.attr("bool"))];

    std::vector<std::pair<std::string, py::object>> stages;
    for (const char* name : stage_names) {
        std::string value = name;
        for (char& c : value) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        stages.emplace_back(name, py::str(value));
    }
    py::object stage =
        pyx::make_enum(enum_module.attr("StrEnum"), module, "Stage", stages,
                       "Lifecycle stage at which a failure happened; also the error_code of log records.");
    module.attr("Stage") = stage;

    pyx::def_function(module, pyx::def("_default_classifier", default_classifier)
                                  .returning(pyx::types::bool_())
                                  .with_doc("The root sandbox class's transient test, looked up on each call."));

    pyx::ClassBody base(module, "CodeInterpreterError");
    base.doc("Base of the sandbox error family: carries the failing stage and a derived transient verdict.")
        .method(pyx::def("__init__", error_init).returning(py::none()))
        .property("transient", pyx::def("transient", transient).returning(pyx::types::bool_()),
                  "True when the error or any exception down its __cause__ chain is judged transient.");
    py::object family = base.create_plain(py::make_tuple(py::handle(PyExc_RuntimeError)));
    module.attr("CodeInterpreterError") = family;

    auto subclass = [&](const char* name, const char* doc) {
        pyx::ClassBody body(module, name);
        body.doc(doc);
        module.attr(name) = body.create_plain(py::make_tuple(family));
    };
    subclass("TemplateBuildError", "A template build or ensure failed.");
    subclass("SandboxStartError", "A sandbox or session failed to start.");
    subclass("SandboxExecutionError", "Execution or package installation failed after start.");
    subclass("SandboxTerminateError", "Teardown failed after every retry; the sandbox may still be alive.");

    pyx::ClassBody not_initialized(module, "SandboxNotInitializedError");
    not_initialized.doc("An operation needed a sandbox before one was created or started.")
        .method(pyx::def("__init__", not_initialized_init, ErrorFamily{family, stage}).returning(py::none()));
    module.attr("SandboxNotInitializedError") = not_initialized.create_plain(py::make_tuple(family));
}

}  // namespace vorn_sandbox::errors
