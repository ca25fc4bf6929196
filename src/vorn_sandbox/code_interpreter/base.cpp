// vorn_sandbox.code_interpreter.base: CodeInterpreterSandbox, the interface of
// every code-executing backend, and its one-time package-install step.
#include "pyx/classes.hpp"
#include "pyx/object.hpp"
#include "vorn_sandbox/modules.hpp"

namespace py = pybind11;
using pyx::Args;
using pyx::arg;
using pyx::kwonly;
using pyx::Task;

namespace vorn_sandbox::code_interpreter::base {
namespace {

py::object format(py::handle templ, std::initializer_list<py::handle> values) {
    py::tuple args(values.size());
    std::size_t i = 0;
    for (py::handle value : values) args[i++] = py::reinterpret_borrow<py::object>(value);
    return templ.attr("format")(*args);
}

py::object init_instance(Args& a) {
    // a: self, language, additional_packages, kwargs
    py::dict kwargs = a[3];
    pyx::builtin("super")(a.global("CodeInterpreterSandbox"), a[0]).attr("__init__")(**kwargs);
    a[0].attr("language") = a[1];
    a[0].attr("additional_packages") = pyx::truthy(a[2]) ? a[2] : py::list();
    return py::none();
}

py::object detail(Args& a) {
    py::object result = a[1];
    py::object error = result.attr("error");
    if (pyx::truthy(error)) return error;
    py::object stderr_text = result.attr("stderr");
    if (pyx::truthy(stderr_text)) return stderr_text;
    // A status assigned as plain text has no `.value`; its text still names it.
    py::object status = result.attr("status");
    py::object value = py::getattr(status, "value", status);
    return format(py::str("{} (exit code {})"), {value, result.attr("exit_code")});
}

py::object non_python_skip_message(Args& a) {
    py::object messages = a.global("PackageInstallErrorMessage");
    py::object language = a[0].attr("language");
    py::object packages = a[0].attr("additional_packages");
    py::object dropped = pyx::truthy(packages) ? format(messages.attr("PACKAGES_DROPPED"), {packages}) : py::str("");
    return format(messages.attr("NON_PYTHON_SKIPPED"), {language, dropped, language});
}

py::object raise_if_failed(Args& a) {
    py::object result = a[1];
    if (result.attr("status").is(a.global("ExecutionStatus").attr("SUCCESS"))) return py::none();
    py::object message = format(a.global("PackageInstallErrorMessage").attr("INSTALL_FAILED"),
                                {a[0].attr("additional_packages"), a[0].attr("_detail")(result)});
    throw pyx::PyError(a.global("SandboxExecutionError")(message, py::arg("stage") =
                                                                      a.global("Stage").attr("PACKAGE_INSTALL")));
}

Task<py::object> install_additional_packages(Args a) {
    py::object self = a[0];
    py::object packages = self.attr("additional_packages");
    if (!pyx::truthy(packages)) co_return py::none();
    py::object code = a.global("get_install_code")(self.attr("language"), packages);
    py::object result =
        co_await self.attr("execute_code")(code, py::arg("timeout") = a.global("DEFAULT_INSTALL_TIMEOUT"));
    self.attr("_raise_if_failed")(result);
    co_return py::none();
}

Task<py::object> setup_python_channels(Args a) {
    py::object self = a[0];
    if (pyx::truthy(a.global("supports_automatic_install")(self.attr("language")))) {
        co_await self.attr("_install_additional_packages")();
    } else {
        a.global("logger").attr("warning")(self.attr("_non_python_skip_message")());
    }
    co_return py::none();
}

}  // namespace

void init(py::module_& module) {
    module.attr("__doc__") = py::str("CodeInterpreterSandbox: the interface every code-executing backend implements.");
    // The names this module works with are its globals, as a Python module's
    // imports would be, so that callers and tests can replace them.
    module.attr("abstractmethod") = py::module_::import("abc").attr("abstractmethod");
    module.attr("Callable") = py::module_::import("collections.abc").attr("Callable");
    module.attr("Any") = py::module_::import("typing").attr("Any");
    py::object manager = py::module_::import("kelmo_core.logging").attr("LoggerManager");
    py::object root = py::module_::import("vorn_sandbox.base").attr("BaseSandbox");
    module.attr("BaseSandbox") = root;
    py::module_ constants = py::module_::import("vorn_sandbox.constants");
    for (const char* name : {"DEFAULT_INSTALL_TIMEOUT", "Language", "PackageInstallErrorMessage"})
        module.attr(name) = constants.attr(name);
    py::module_ errors = py::module_::import("vorn_sandbox.errors");
    for (const char* name : {"SandboxExecutionError", "Stage"}) module.attr(name) = errors.attr(name);
    py::module_ models = py::module_::import("vorn_sandbox.models");
    for (const char* name : {"ExecutionResult", "ExecutionStatus", "SandboxFile"}) module.attr(name) = models.attr(name);
    py::module_ utils = py::module_::import("vorn_sandbox.utils");
    for (const char* name : {"get_install_code", "supports_automatic_install"}) module.attr(name) = utils.attr(name);
    module.attr("logger") = manager().attr("get_logger")(module.attr("__name__"));

    py::object none = py::none();
    pyx::ClassBody body(module, "CodeInterpreterSandbox");
    body.doc("Code-execution interface on BaseSandbox: run code and shell commands, renew the lease, "
             "install additional_packages once at start.")
        .field("language", pyx::builtin("str"))
        .field("additional_packages", pyx::builtin("list")[pyx::builtin("str")])
        .method(pyx::def("__init__",
                         {arg("self"), arg("language", constants.attr("Language").attr("PYTHON")),
                          arg("additional_packages", none), pyx::varkw()},
                         init_instance))
        .method(pyx::def("_detail", {arg("self"), arg("result")}, detail)
                    .with_doc("The most informative failure text of a result: error, else stderr, else status and "
                              "exit code."))
        .method(pyx::def_async("_setup_python_channels", {arg("self")}, setup_python_channels)
                    .with_doc("Installs additional_packages for a Python sandbox; warns and skips for any other "
                              "language."))
        .method(pyx::def("_non_python_skip_message", {arg("self")}, non_python_skip_message))
        .method(pyx::def_async("_install_additional_packages", {arg("self")}, install_additional_packages)
                    .with_doc("Runs the generated install program through the backend's own execute_code."))
        .method(pyx::def("_raise_if_failed", {arg("self"), arg("result")}, raise_if_failed)
                    .with_doc("Raises SandboxExecutionError unless the install run's status is SUCCESS."))
        .method(pyx::def_async("execute_code",
                               {arg("self"), arg("code"), arg("timeout", none), arg("files", none),
                                arg("upload_dir", none), arg("on_stdout", none), arg("on_stderr", none),
                                pyx::varkw()},
                               pyx::not_implemented_async)
                    .abstract()
                    .with_doc("Runs code in the sandbox's interpreter and returns an ExecutionResult."))
        .method(pyx::def_async("execute_command", {arg("self"), arg("cmd"), kwonly("env", none), kwonly("timeout", none)},
                               pyx::not_implemented_async)
                    .abstract()
                    .with_doc("Runs a shell command line and returns an ExecutionResult."))
        .method(pyx::def_async("set_timeout", {arg("self"), arg("seconds")}, pyx::not_implemented_async)
                    .abstract()
                    .with_doc("Renews or adjusts the sandbox session's lease to `seconds` seconds."))
        .property("sandbox_id", pyx::def("sandbox_id", {arg("self")}, pyx::not_implemented).abstract(),
                  "Identifier of the sandbox or session, or None while none exists.")
        .method(pyx::def("reset_transport", {arg("self")}, [](Args&) { return py::none(); })
                    .with_doc("Resets provider-held SDK transport state between lifecycles; does nothing here."));
    module.attr("CodeInterpreterSandbox") = body.create(py::type::of(root), py::make_tuple(root));
}

}  // namespace vorn_sandbox::code_interpreter::base
