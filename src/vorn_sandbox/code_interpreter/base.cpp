// vorn_sandbox.code_interpreter.base: CodeInterpreterSandbox, the interface of
// every code-executing backend, and its one-time package-install step.
#include "pyx/annotations.hpp"
#include "pyx/classes.hpp"
#include "pyx/edge.hpp"
#include "pyx/module.hpp"
#include "pyx/object.hpp"
#include "pyx/params.hpp"
#include "vorn_sandbox/code_interpreter/signatures.hpp"
#include "vorn_sandbox/modules.hpp"

namespace py = pybind11;
using namespace pyx::literals;
using pyx::Task;

namespace vorn_sandbox::code_interpreter::base {
namespace {

py::object format(py::handle templ, std::initializer_list<py::handle> values) {
    py::tuple args(values.size());
    std::size_t i = 0;
    for (py::handle value : values) args[i++] = py::reinterpret_borrow<py::object>(value);
    return templ.attr("format")(*args);
}

namespace types = pyx::types;

// `Callable[[str], None] | None`: a streaming output callback.
py::object output_callback() {
    return pyx::optional(types::callable({types::str()}, py::none()));
}

struct InitInstance : pyx::Params {
    Arg self = arg("self");
    Arg language = arg("language", module_global("Language").attr("PYTHON")).annotated(types::str());
    Arg additional_packages =
        arg("additional_packages", py::none()).annotated(pyx::optional(types::list_of(types::str())));
    Arg kwargs = varkw().annotated(types::any());
};
py::object init_instance(InitInstance& a, const pyx::DefiningClass& defining) {
    pyx::apply(pyx::getattr(pyx::super(defining, a.self), "__init__"_name), py::tuple(), a.kwargs);
    pyx::setattr(a.self, "language"_name, a.language);
    pyx::setattr(a.self, "additional_packages"_name,
                 pyx::truthy(a.additional_packages) ? a.additional_packages : py::list());
    return py::none();
}

// What the install step reads of an ExecutionResult, converted once.
struct InstallRun {
    std::string error;
    std::string stderr_text;
    std::string status;  // the status's value; a status assigned as plain text is its own value
    long long exit_code;

    static InstallRun from_python(py::handle result) {
        py::object status = pyx::getattr(result, "status"_name);
        py::object value = pyx::getattr(status, "value"_name, status);
        return {pyx::read<std::string>(result, "error"_name), pyx::read<std::string>(result, "stderr"_name),
                py::str(value).cast<std::string>(), pyx::read<long long>(result, "exit_code"_name)};
    }

    // The most informative failure text: the error, else stderr, else the status and exit code.
    std::string detail() const {
        if (!error.empty()) return error;
        if (!stderr_text.empty()) return stderr_text;
        return status + " (exit code " + std::to_string(exit_code) + ")";
    }
};

struct Detail : pyx::Params {
    Arg self = arg("self");
    Arg result = arg("result").annotated(module_global("ExecutionResult"));
};
py::object detail(Detail& a) {
    return py::str(InstallRun::from_python(a.result).detail());
}

py::object non_python_skip_message(SelfOnly& a) {
    py::object messages = a.global("PackageInstallErrorMessage"_name);
    py::object language = pyx::getattr(a.self, "language"_name);
    py::object packages = pyx::getattr(a.self, "additional_packages"_name);
    py::object dropped = pyx::truthy(packages) ? format(messages.attr("PACKAGES_DROPPED"), {packages}) : py::str("");
    return format(messages.attr("NON_PYTHON_SKIPPED"), {language, dropped, language});
}

struct RaiseIfFailed : pyx::Params {
    Arg self = arg("self");
    Arg result = arg("result").annotated(module_global("ExecutionResult"));
};
py::object raise_if_failed(RaiseIfFailed& a) {
    if (pyx::getattr(a.result, "status"_name).is(a.global("ExecutionStatus"_name).attr("SUCCESS"))) return py::none();
    py::object message =
        format(a.global("PackageInstallErrorMessage"_name).attr("INSTALL_FAILED"),
               {pyx::getattr(a.self, "additional_packages"_name), pyx::call_method(a.self, "_detail"_name, a.result)});
    throw pyx::PyError(pyx::call(a.global("SandboxExecutionError"_name), message,
                                 "stage"_kw = a.global("Stage"_name).attr("PACKAGE_INSTALL")));
}

Task<py::object> install_additional_packages(SelfOnly a) {
    py::object packages = pyx::getattr(a.self, "additional_packages"_name);
    if (!pyx::truthy(packages)) co_return py::none();
    py::object code = pyx::call(a.global("get_install_code"_name), pyx::getattr(a.self, "language"_name), packages);
    py::object run =
        pyx::call_method(a.self, "execute_code"_name, code, "timeout"_kw = a.global("DEFAULT_INSTALL_TIMEOUT"_name));
    py::object result = co_await std::move(run);
    pyx::call_method(a.self, "_raise_if_failed"_name, result);
    co_return py::none();
}

Task<py::object> setup_python_channels(SelfOnly a) {
    if (pyx::truthy(pyx::call(a.global("supports_automatic_install"_name), pyx::getattr(a.self, "language"_name)))) {
        co_await pyx::call_method(a.self, "_install_additional_packages"_name);
    } else {
        pyx::call_method(a.global("logger"_name), "warning"_name,
                         pyx::call_method(a.self, "_non_python_skip_message"_name));
    }
    co_return py::none();
}

struct ExecuteCode : pyx::Params {
    Arg self = arg("self");
    Arg code = arg("code").annotated(types::str());
    Arg timeout = arg("timeout", py::none()).annotated(pyx::optional(types::int_()));
    Arg files = arg("files", py::none()).annotated(pyx::optional(types::list_of(module_global("SandboxFile"))));
    Arg upload_dir = arg("upload_dir", py::none()).annotated(pyx::optional(types::str()));
    Arg on_stdout = arg("on_stdout", py::none()).annotated(output_callback());
    Arg on_stderr = arg("on_stderr", py::none()).annotated(output_callback());
    Arg kwargs = varkw().annotated(types::any());
};

py::object reset_transport(SelfOnly&) {
    return py::none();
}

}  // namespace

void init(py::module_& module) {
    module.attr("__doc__") = py::str("CodeInterpreterSandbox: the interface every code-executing backend implements.");
    // The names this module works with are its globals, as a Python module's
    // imports would be, so that callers and tests can replace them.
    pyx::import_from(module, "abc", {"abstractmethod"});
    pyx::import_from(module, "collections.abc", {"Callable"});
    pyx::import_from(module, "typing", {"Any"});
    py::object root = pyx::import_from(module, "vorn_sandbox.base", {"BaseSandbox"}).attr("BaseSandbox");
    pyx::import_from(module, "vorn_sandbox.constants",
                     {"DEFAULT_INSTALL_TIMEOUT", "Language", "PackageInstallErrorMessage"});
    pyx::import_from(module, "vorn_sandbox.errors", {"SandboxExecutionError", "Stage"});
    pyx::import_from(module, "vorn_sandbox.models", {"ExecutionResult", "ExecutionStatus", "SandboxFile"});
    pyx::import_from(module, "vorn_sandbox.utils", {"get_install_code", "supports_automatic_install"});
    pyx::bind_logger(module);

    pyx::ClassBody body(module, "CodeInterpreterSandbox");
    body.doc(
            "Code-execution interface on BaseSandbox: run code and shell commands, renew the lease, "
            "install additional_packages once at start.")
        .field("language", pyx::builtin("str"))
        .field("additional_packages", pyx::builtin("list")[pyx::builtin("str")])
        .method(pyx::def("__init__", init_instance, pyx::DefiningClass{body.class_cell()}).returning(types::none()))
        .method(pyx::def("_detail", detail)
                    .returning(types::str())
                    .with_doc("The most informative failure text of a result: error, else stderr, else status and "
                              "exit code."))
        .method(pyx::def("_setup_python_channels", setup_python_channels)
                    .returning(types::none())
                    .with_doc("Installs additional_packages for a Python sandbox; warns and skips for any other "
                              "language."))
        .method(pyx::def("_non_python_skip_message", non_python_skip_message).returning(types::str()))
        .method(pyx::def("_install_additional_packages", install_additional_packages)
                    .returning(types::none())
                    .with_doc("Runs the generated install program through the backend's own execute_code."))
        .method(pyx::def("_raise_if_failed", raise_if_failed)
                    .returning(types::none())
                    .with_doc("Raises SandboxExecutionError unless the install run's status is SUCCESS."))
        .method(pyx::abstract_coroutine<ExecuteCode>("execute_code")
                    .returning(module.attr("ExecutionResult"))
                    .with_doc("Runs code in the sandbox's interpreter and returns an ExecutionResult."))
        .method(pyx::abstract_coroutine<ExecuteCommand>("execute_command")
                    .returning(module.attr("ExecutionResult"))
                    .with_doc("Runs a shell command line and returns an ExecutionResult."))
        .method(pyx::abstract_coroutine<SetTimeout>("set_timeout")
                    .returning(types::none())
                    .with_doc("Renews or adjusts the sandbox session's lease to `seconds` seconds."))
        .property("sandbox_id", pyx::abstract_method<SelfOnly>("sandbox_id").returning(pyx::optional(types::str())),
                  "Identifier of the sandbox or session, or None while none exists.")
        .method(pyx::def("reset_transport", reset_transport)
                    .returning(types::none())
                    .with_doc("Resets provider-held SDK transport state between lifecycles; does nothing here."));
    module.attr("CodeInterpreterSandbox") = body.create(py::type::of(root), py::make_tuple(root));
}

}  // namespace vorn_sandbox::code_interpreter::base
