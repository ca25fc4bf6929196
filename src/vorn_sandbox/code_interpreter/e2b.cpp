// vorn_sandbox.code_interpreter.e2b: E2BSandbox, the code-interpreter backend
// on the E2B service, reached only through the E2B SDK.
//
// Every SDK name (AsyncSandbox, TimeoutException, httpx, ...) and every helper
// (resolve_timeout, create_with_retry, the logger, ...) is a global of this
// module looked up at call time, so that callers and tests can replace them.
#include "pyx/annotations.hpp"
#include "pyx/classes.hpp"
#include "pyx/context.hpp"
#include "pyx/module.hpp"
#include "pyx/object.hpp"
#include "pyx/outcome.hpp"
#include "pyx/params.hpp"
#include "vorn_sandbox/backend_tracing.hpp"
#include "vorn_sandbox/code_interpreter/shielded_start.hpp"
#include "vorn_sandbox/code_interpreter/signatures.hpp"
#include "vorn_sandbox/modules.hpp"
#include "vorn_sandbox/provider_sdk.hpp"

#include <exception>
#include <initializer_list>
#include <utility>

namespace py = pybind11;
using namespace pyx::literals;
using pyx::Task;
namespace types = pyx::types;

namespace vorn_sandbox::code_interpreter::e2b {
namespace {

constexpr const char* install_hint =
    "e2b-code-interpreter and httpx packages are required. Install them with: pip install 'vorn-sandbox[e2b]'";

py::object text_of(py::handle object) {
    PyObject* text = PyObject_Str(object.ptr());
    if (!text) throw pyx::PyError::fetch();
    return py::reinterpret_steal<py::object>(text);
}

// `set_current_span_attributes(**{SpanAttr.KEY: value, ...})`: the keys are
// dotted strings, so they travel in a dict.
void set_span(const pyx::Params& a, std::initializer_list<std::pair<const char*, py::object>> attributes) {
    py::object keys = a.global("SpanAttr"_name);
    py::dict attrs;
    for (const auto& [member, value] : attributes) attrs[keys.attr(member)] = value;
    pyx::apply(a.global("set_current_span_attributes"_name), py::tuple(), attrs);
}

py::object status_member(const pyx::Params& a, const char* member) {
    return a.global("ExecutionStatus"_name).attr(member);
}

[[noreturn]] void raise_not_initialized(const pyx::Params& a) {
    throw pyx::PyError(pyx::call(a.global("SandboxNotInitializedError"_name)));
}

void warn(const pyx::Params& a, py::handle message) {
    pyx::call_method(a.global("logger"_name), "warning"_name, message);
}

// `fn(**named, **extra)`, refusing a key given twice as the call would.
py::object call_merged(py::handle fn, py::dict named, py::handle extra) {
    for (auto item : py::reinterpret_borrow<py::dict>(extra)) {
        if (named.contains(item.first)) {
            py::object qualname = pyx::getattr(fn, "__qualname__"_name, py::str("function"));
            py::object message =
                py::str("{}() got multiple values for keyword argument '{}'").format(qualname, item.first);
            throw pyx::PyError(pyx::call(py::handle(PyExc_TypeError), message));
        }
        named[item.first] = item.second;
    }
    return pyx::apply(fn, py::tuple(), named);
}

// ---------------------------------------------------------------------------
// Construction and identity

struct Init : pyx::Params {
    Arg self = arg("self");
    Arg language = arg("language", module_global("Language").attr("PYTHON")).annotated(types::str());
    Arg additional_packages =
        arg("additional_packages", py::none()).annotated(pyx::optional(types::list_of(types::str())));
};
py::object init_instance(Init& a, const pyx::DefiningClass& defining) {
    pyx::call_method(pyx::super(defining, a.self), "__init__"_name, "language"_kw = a.language,
                     "additional_packages"_kw = a.additional_packages);
    pyx::setattr(a.self, "sandbox"_name, py::none());
    pyx::setattr(a.self, "files"_name, py::none());
    pyx::setattr(a.self, "commands"_name, py::none());
    return py::none();
}

py::object sandbox_id(SelfOnly& a) {
    py::object sandbox = pyx::getattr(a.self, "sandbox"_name);
    if (sandbox.is_none()) return py::none();
    return pyx::getattr(sandbox, "sandbox_id"_name, py::none());
}

// ---------------------------------------------------------------------------
// Creation

struct IsTransient : pyx::Params {
    Arg cls = arg("cls");
    Arg exc = arg("exc").annotated(types::base_exception());
};
py::object is_transient_create_error(IsTransient& a) {
    py::object httpx = a.global("httpx"_name);
    py::tuple transient =
        py::make_tuple(a.global("TimeoutException"_name), a.global("RateLimitException"_name),
                       pyx::getattr(httpx, "TimeoutException"_name), pyx::getattr(httpx, "ConnectError"_name));
    return py::bool_(pyx::is_instance(a.exc, transient));
}

using pyx::NoParams;

// One creation attempt, as the retry engine calls it: `cls._create_once(...)`
// with the values fixed for the whole `create` call, looked up on `cls` so that
// a subclass's attempt applies.
struct AttemptValues {
    py::object cls;
    py::dict named;
    py::dict extra;
};
py::object attempt_once(NoParams&, const AttemptValues& values) {
    return call_merged(pyx::getattr(values.cls, "_create_once"_name), pyx::call_method(values.named, "copy"_name),
                       values.extra);
}

struct Create : pyx::Params {
    Arg cls = arg("cls");
    Arg api_key = arg("api_key").annotated(types::str());
    Arg domain = arg("domain", py::none()).annotated(pyx::optional(types::str()));
    Arg template_name = arg("template", py::none()).annotated(pyx::optional(types::str()));
    Arg language = arg("language", module_global("Language").attr("PYTHON")).annotated(types::str());
    Arg additional_packages =
        arg("additional_packages", py::none()).annotated(pyx::optional(types::list_of(types::str())));
    Arg sandbox_timeout = arg("sandbox_timeout", py::none()).annotated(pyx::optional(types::int_()));
    Arg create_retries = arg("create_retries", py::int_(3)).annotated(types::int_());
    Arg create_backoff = arg("create_backoff", py::float_(2.0)).annotated(types::float_());
    Arg ensure_default_template = arg("ensure_default_template", py::bool_(false)).annotated(types::bool_());
    Arg kwargs = varkw().annotated(types::any());
};
Task<py::object> create(Create a) {
    // The legacy "timeout" keyword is taken out of kwargs here, so it never
    // reaches the SDK as a second lifetime.
    py::object session_timeout =
        pyx::call(a.global("resolve_sandbox_timeout"_name), a.sandbox_timeout, "kwargs"_kw = a.kwargs);

    py::object template_name = a.template_name;
    if (pyx::truthy(a.ensure_default_template) && template_name.is_none()) {
        // The builder module (and whatever a build needs) loads only on this path.
        py::object builder_type = py::module_::import("vorn_sandbox.template.e2b").attr("E2BTemplateBuilder");
        py::object builder = pyx::call(builder_type, "api_key"_kw = a.api_key, "domain"_kw = a.domain);
        // A first build can take minutes: it runs in a worker thread, which
        // carries this context, so its span nests under the creation span.
        py::object ensured =
            pyx::call_method(a.global("asyncio"_name), "to_thread"_name, pyx::getattr(builder, "ensure_default"_name));
        template_name = co_await std::move(ensured);
    }
    set_span(a, {{"TEMPLATE_ID", template_name}});

    py::dict named;
    named["api_key"] = a.api_key;
    named["domain"] = a.domain;
    named["template"] = template_name;
    named["language"] = a.language;
    named["additional_packages"] = a.additional_packages;
    named["session_timeout"] = session_timeout;
    py::object attempt = pyx::make_function(pyx::def("attempt", attempt_once, AttemptValues{a.cls, named, a.kwargs}),
                                            a.globals(), "E2BSandbox.create.<locals>.attempt");
    py::object retries = pyx::call(a.global("create_with_retry"_name), attempt,
                                   "is_transient"_kw = pyx::getattr(a.cls, "_is_transient_create_error"_name),
                                   "attempts"_kw = a.create_retries, "backoff"_kw = a.create_backoff);
    py::object instance = co_await std::move(retries);
    set_span(a, {{"SANDBOX_ID", pyx::getattr(instance, "sandbox_id"_name)}});
    co_return instance;
}

// The instance around a fresh handle, with its packages installed.
Task<py::object> set_up_instance(py::object cls, py::object sandbox, py::object language, py::object packages) {
    py::object instance = pyx::call(cls, "language"_kw = language, "additional_packages"_kw = packages);
    pyx::setattr(instance, "sandbox"_name, sandbox);
    pyx::setattr(instance, "files"_name, pyx::getattr(sandbox, "files"_name));
    pyx::setattr(instance, "commands"_name, pyx::getattr(sandbox, "commands"_name));
    co_await pyx::call_method(instance, "_setup_python_channels"_name);
    co_return instance;
}

struct CreateOnce : pyx::Params {
    Arg cls = arg("cls");
    Arg api_key = kwonly("api_key").annotated(types::str());
    Arg domain = kwonly("domain").annotated(pyx::optional(types::str()));
    Arg template_name = kwonly("template").annotated(pyx::optional(types::str()));
    Arg language = kwonly("language").annotated(types::str());
    Arg additional_packages = kwonly("additional_packages").annotated(pyx::optional(types::list_of(types::str())));
    Arg session_timeout = kwonly("session_timeout").annotated(types::int_());
    Arg kwargs = varkw().annotated(types::any());
};
Task<py::object> create_once(CreateOnce a) {
    pyx::Outcome created = co_await pyx::outcome_of([&]() -> Task<py::object> {
        py::dict named;
        named["api_key"] = a.api_key;
        named["domain"] = a.domain;
        named["template"] = a.template_name;
        named["timeout"] = a.session_timeout;
        py::object start = call_merged(pyx::getattr(a.global("AsyncSandbox"_name), "create"_name), named, a.kwargs);
        // A sandbox that the request makes after a cancellation is killed there.
        co_return co_await code_interpreter::start_behind_shield(a.cls, start, pyx::getattr(a.cls, "_rollback"_name),
                                                                 a.globals());
    });
    if (!created) {
        created.pass_non_exceptions();
        const py::object& e = created.error().value();
        py::object error =
            pyx::call(a.global("SandboxStartError"_name), py::str("Failed to start E2B sandbox: {}").format(e),
                      "stage"_kw = pyx::getattr(a.global("Stage"_name), "CREATE"_name),
                      "classifier"_kw = pyx::getattr(a.cls, "_is_transient_create_error"_name));
        pyx::raise_from(error, e);
    }
    py::object sandbox = created.value();

    pyx::Outcome built = co_await pyx::outcome_of(set_up_instance(a.cls, sandbox, a.language, a.additional_packages));
    if (built) co_return built.value();
    // From here on a live sandbox exists: kill it before the failure, a
    // cancellation included, leaves. Interrupts and exits pass as they are.
    const pyx::PyError& failure = built.error();
    if (!failure.is_exception() &&
        !pyx::is_instance(failure.value(), a.global("asyncio"_name).attr("CancelledError"))) {
        built.rethrow();
    }
    py::object teardown = pyx::call_method(a.cls, "_rollback"_name, sandbox);
    co_await pyx::call_method(a.cls, "_shielded_rollback"_name, teardown);
    built.rethrow();
}

struct Rollback : pyx::Params {
    Arg sandbox = arg("sandbox").annotated(module_global("AsyncSandbox"));
};
Task<py::object> rollback(Rollback a) {
    pyx::Outcome killed = co_await pyx::outcome_of([&] { return pyx::call_method(a.sandbox, "kill"_name); });
    if (!killed) {
        // The creation failure stays the one reported; the service ends an
        // abandoned sandbox at its lifetime anyway.
        killed.pass_non_exceptions();
        warn(a, py::str("Failed to kill E2B sandbox after a failed create: {}").format(killed.error().value()));
    }
    co_return py::none();
}

// ---------------------------------------------------------------------------
// Code execution and uploads

struct ForwardLine : pyx::Params {
    Arg message = arg("message");
};
struct Callback {
    py::object callback;
};
// Hands one output line to the caller's callback, without its line ends.
py::object forward_line(ForwardLine& a, const Callback& target) {
    py::object line = pyx::getattr(a.message, "line"_name, py::none());
    py::object text = pyx::truthy(line) ? pyx::call_method(line, "rstrip"_name, "\n") : py::str("");
    return pyx::call(target.callback, text);
}

py::object forwarder(const pyx::Params& a, py::handle callback) {
    return pyx::make_function(pyx::def("forward", forward_line, Callback{py::reinterpret_borrow<py::object>(callback)}),
                              a.globals(), "E2BSandbox.execute_code.<locals>.forward");
}

// One stream's output items as the program printed them. Each item already
// carries its own line end; a line end is added only between an item that
// lacks one and the next, and the last item stays as it came.
py::object as_printed(py::handle items) {
    py::list parts;
    py::object pending_break;
    for (py::handle item : items) {
        if (pending_break) parts.append(pending_break);
        parts.append(item);
        bool ended = pyx::truthy(pyx::call_method(item, "endswith"_name, "\n"));
        pending_break = ended ? py::object() : py::str("\n");
    }
    return pyx::call_method(py::str(""), "join"_name, parts);
}

// What execute_code reads of the SDK's execution record: the error object
// (handed on to _format_execution_error as it is) and each stream's output.
// The texts stay Python strings: output may hold lone surrogates that no
// UTF-8 conversion would take.
struct CodeRun {
    py::object error;
    py::object stdout_text;
    py::object stderr_text;

    static CodeRun from_python(py::handle result) {
        py::object logs = pyx::getattr(result, "logs"_name);
        auto stream = [&](auto name) -> py::object {
            if (!pyx::truthy(logs)) return py::str("");
            py::object items = pyx::getattr(logs, name);
            return pyx::truthy(items) ? as_printed(items) : py::str("");
        };
        py::object error = pyx::getattr(result, "error"_name);
        py::object out = stream("stdout"_name);
        return {error, out, stream("stderr"_name)};
    }
    bool failed() const { return pyx::truthy(error); }
};

struct ExecuteCode : pyx::Params {
    Arg self = arg("self");
    Arg code = arg("code").annotated(types::str());
    Arg timeout = arg("timeout", py::none()).annotated(pyx::optional(types::int_()));
    Arg files = arg("files", py::none()).annotated(pyx::optional(types::list_of(module_global("SandboxFile"))));
    Arg upload_dir = arg("upload_dir", py::none()).annotated(pyx::optional(types::str()));
    Arg env = arg("env", py::none()).annotated(pyx::optional(types::dict_of(types::str(), types::str())));
    Arg on_stdout = arg("on_stdout", py::none()).annotated(pyx::optional(types::callable({types::str()}, py::none())));
    Arg on_stderr = arg("on_stderr", py::none()).annotated(pyx::optional(types::callable({types::str()}, py::none())));
    Arg kwargs = varkw().annotated(types::any());
};

// The SDK's run, bounded here as well: e2b-code-interpreter's own time-out
// arrives only after about twice its limit. The bound lies a little beyond the
// limit, so an SDK that keeps it still answers first; running out of it is
// the SDK's time-out, and leaving the run closes its stream, which stops the
// cell in the sandbox as the SDK's own time-out does.
Task<py::object> within_limit(ExecuteCode a, py::object running, py::object limit) {
    if (limit.is_none()) co_return co_await std::move(running);
    py::object bound = limit + a.global("_RUN_TIMEOUT_MARGIN"_name);
    py::object deadline = pyx::call_method(a.global("asyncio"_name), "timeout"_name, bound);
    auto body = [&](py::object) -> Task<py::object> { co_return co_await std::move(running); };
    pyx::Outcome ran = co_await pyx::outcome_of(pyx::async_with(deadline, body));
    if (ran) co_return ran.value();
    if (pyx::is_instance(ran.error().value(), pyx::builtin("TimeoutError")) &&
        pyx::truthy(pyx::call_method(deadline, "expired"_name))) {
        throw pyx::PyError(pyx::call(a.global("TimeoutException"_name), a.global("_RUN_TIMED_OUT"_name)));
    }
    ran.rethrow();
}

// The guarded part of execute_code: uploads, the run, the result.
Task<py::object> run_code(ExecuteCode a, py::object start_time) {
    if (pyx::truthy(a.files)) co_await pyx::call_method(a.self, "_upload_files"_name, a.files, a.upload_dir);
    py::object limit = pyx::call(a.global("resolve_timeout"_name), a.timeout);
    py::dict run_kwargs;
    run_kwargs["language"] = pyx::getattr(a.self, "language"_name);
    run_kwargs["timeout"] = limit.is_none() ? py::object(py::int_(0)) : limit;  // 0: no limit to the SDK
    if (!a.env.is_none()) run_kwargs["envs"] = a.env;
    if (!a.on_stdout.is_none()) run_kwargs["on_stdout"] = forwarder(a, a.on_stdout);
    if (!a.on_stderr.is_none()) run_kwargs["on_stderr"] = forwarder(a, a.on_stderr);

    py::object run = pyx::getattr(pyx::getattr(a.self, "sandbox"_name), "run_code"_name);
    py::object running = pyx::apply(run, py::make_tuple(a.code), run_kwargs);
    py::object result = co_await within_limit(a, std::move(running), limit);
    py::object duration_ms = pyx::call(a.global("calculate_duration_ms"_name), start_time);
    CodeRun run_result = CodeRun::from_python(result);
    py::object status = status_member(a, run_result.failed() ? "ERROR" : "SUCCESS");
    set_span(a, {{"STATUS", pyx::getattr(status, "value"_name)}});
    py::object error_text = pyx::call_method(a.self, "_format_execution_error"_name, run_result.error);
    co_return pyx::call_method(a.global("ExecutionResult"_name), "create"_name, "status"_kw = status,
                               "code"_kw = a.code, "stdout"_kw = run_result.stdout_text,
                               "stderr"_kw = run_result.stderr_text, "error"_kw = error_text,
                               "duration_ms"_kw = duration_ms);
}

// A failure inside the sandbox or of the call is a result: TIMEOUT for the
// SDK's time-out, ERROR for any other Exception.
template <class P>
py::object failed_run(const P& a, const pyx::PyError& failure, py::handle code, py::handle start_time) {
    const py::object& e = failure.value();
    bool timed_out = pyx::is_instance(e, a.global("TimeoutException"_name));
    py::object status = status_member(a, timed_out ? "TIMEOUT" : "ERROR");
    set_span(a, {{"STATUS", pyx::getattr(status, "value"_name)}});
    py::object duration_ms = pyx::call(a.global("calculate_duration_ms"_name), start_time);
    return pyx::call_method(a.global("ExecutionResult"_name), "create"_name, "status"_kw = status, "code"_kw = code,
                            "error"_kw = text_of(e), "duration_ms"_kw = duration_ms);
}

Task<py::object> execute_code(ExecuteCode a) {
    if (!pyx::truthy(pyx::getattr(a.self, "sandbox"_name)) || !pyx::truthy(pyx::getattr(a.self, "files"_name)) ||
        !pyx::truthy(pyx::getattr(a.self, "commands"_name))) {
        raise_not_initialized(a);
    }
    py::object start_time = pyx::call_method(a.global("time"_name), "time"_name);
    set_span(a, {{"SANDBOX_ID", pyx::getattr(a.self, "sandbox_id"_name)}});
    pyx::Outcome ran = co_await pyx::outcome_of(run_code(a, start_time));
    if (ran) co_return ran.value();
    ran.pass_non_exceptions();
    co_return failed_run(a, ran.error(), a.code, start_time);
}

struct FormatError : pyx::Params {
    Arg error = arg("error").annotated(types::any());
};
py::object attribute_or_empty(py::handle object, const char* name) {
    py::object value = pyx::getattr(object, name, py::none());
    return pyx::truthy(value) ? value : py::str("");
}
// Traceback first, then "Name: value", as a reader scans an error.
py::object format_execution_error(FormatError& a) {
    if (!pyx::truthy(a.error)) return py::str("");
    py::object head =
        py::str("{}: {}").format(attribute_or_empty(a.error, "name"), attribute_or_empty(a.error, "value"));
    head = pyx::call_method(pyx::call_method(head, "strip"_name, ": "), "strip"_name);
    py::object traceback = attribute_or_empty(a.error, "traceback");
    if (pyx::truthy(traceback)) {
        if (pyx::truthy(head)) return pyx::call_method(py::str("{}\n{}").format(traceback, head), "strip"_name);
        return pyx::call_method(traceback, "strip"_name);
    }
    return pyx::truthy(head) ? head : text_of(a.error);
}

Task<py::object> upload_files(UploadFiles a) {
    set_span(a, {{"SANDBOX_ID", pyx::getattr(a.self, "sandbox_id"_name)}});
    for (py::handle item : a.files) {
        py::object file_attachment = py::reinterpret_borrow<py::object>(item);
        pyx::Outcome written = co_await pyx::outcome_of([&] {
            py::object sandbox_path =
                pyx::call(a.global("build_upload_path"_name), pyx::getattr(file_attachment, "filename"_name),
                          a.upload_dir, a.global("DEFAULT_UPLOAD_DIR"_name));
            return pyx::call_method(pyx::getattr(a.self, "files"_name), "write"_name, sandbox_path,
                                    pyx::getattr(file_attachment, "data"_name));
        });
        if (!written) {
            // One unwritable file costs a warning, not the run; a
            // cancellation ends the loop.
            written.pass_non_exceptions();
            warn(a, py::str("Failed to upload file {}: {}")
                        .format(pyx::getattr(file_attachment, "filename"_name), written.error().value()));
        }
    }
    co_return py::none();
}

// ---------------------------------------------------------------------------
// Shell commands

// What execute_command reads of the SDK's command result. Any exit code that
// compares unequal to 0 (None included) is a failure; missing output is empty
// text. The texts stay Python strings, as the SDK gave them.
struct CommandRun {
    bool failed;
    py::object stdout_text;
    py::object stderr_text;

    static CommandRun from_python(py::handle result) {
        auto text = [&](auto name) -> py::object {
            py::object value = pyx::getattr(result, name);
            return pyx::truthy(value) ? value : py::str("");
        };
        bool failed = pyx::getattr(result, "exit_code"_name).not_equal(py::int_(0));
        py::object out = text("stdout"_name);
        return {failed, out, text("stderr"_name)};
    }
    // A failed command without standard error has an empty error text, so
    // the result keeps its output instead of failing its own validation.
    py::object error() const { return failed ? stderr_text : py::object(py::str("")); }
};

Task<py::object> run_command(ExecuteCommand a, py::object start_time) {
    py::object limit = pyx::call(a.global("resolve_timeout"_name), a.timeout);
    py::dict run_kwargs;
    run_kwargs["timeout"] = limit.is_none() ? py::object(py::int_(0)) : limit;  // 0: no limit to the SDK
    if (!a.env.is_none()) run_kwargs["envs"] = a.env;
    py::object run = pyx::getattr(pyx::getattr(a.self, "commands"_name), "run"_name);
    pyx::Outcome finished =
        co_await pyx::outcome_of([&] { return pyx::apply(run, py::make_tuple(a.cmd), run_kwargs); });
    // The SDK raises on a non-zero exit; the exception is the command's
    // result, output and exit code included, and is read as one.
    if (!finished && !pyx::is_instance(finished.error().value(), a.global("CommandExitException"_name))) {
        finished.rethrow();
    }
    py::object result = finished ? finished.value() : finished.error().value();
    py::object duration_ms = pyx::call(a.global("calculate_duration_ms"_name), start_time);
    CommandRun command = CommandRun::from_python(result);
    py::object status = status_member(a, command.failed ? "ERROR" : "SUCCESS");
    set_span(a, {{"STATUS", pyx::getattr(status, "value"_name)}});
    co_return pyx::call_method(a.global("ExecutionResult"_name), "create"_name, "status"_kw = status, "code"_kw = a.cmd,
                               "stdout"_kw = command.stdout_text, "stderr"_kw = command.stderr_text,
                               "error"_kw = command.error(), "duration_ms"_kw = duration_ms);
}

Task<py::object> execute_command(ExecuteCommand a) {
    if (!pyx::truthy(pyx::getattr(a.self, "sandbox"_name)) || !pyx::truthy(pyx::getattr(a.self, "commands"_name))) {
        raise_not_initialized(a);
    }
    py::object start_time = pyx::call_method(a.global("time"_name), "time"_name);
    set_span(a, {{"SANDBOX_ID", pyx::getattr(a.self, "sandbox_id"_name)}});
    pyx::Outcome ran = co_await pyx::outcome_of(run_command(a, start_time));
    if (ran) co_return ran.value();
    ran.pass_non_exceptions();
    co_return failed_run(a, ran.error(), a.cmd, start_time);
}

// ---------------------------------------------------------------------------
// Lease renewal, transport reset, teardown

Task<py::object> renew(py::object method, py::object seconds) {
    py::object renewed = pyx::call(method, seconds);
    if (pyx::hasattr(renewed, "__await__"_name)) co_await std::move(renewed);
    co_return py::none();
}

Task<py::object> set_timeout(SetTimeout a) {
    py::object sandbox = pyx::getattr(a.self, "sandbox"_name);
    if (sandbox.is_none()) co_return py::none();
    py::object method = pyx::getattr(sandbox, "set_timeout"_name, py::none());
    if (method.is_none()) co_return py::none();
    pyx::Outcome renewed = co_await pyx::outcome_of(renew(method, a.seconds));
    if (!renewed) {
        // A renewal is best effort: the lease stays as the service has it.
        renewed.pass_non_exceptions();
        warn(a, py::str("Failed to set sandbox timeout to {}s: {}").format(a.seconds, renewed.error().value()));
    }
    co_return py::none();
}

py::object reset_transport_singleton(NoParams&) {
    // The transport class exists only in some SDK versions; where it is
    // missing there is nothing process-wide to clear.
    try {
        py::object transport = py::module_::import("e2b.api.client_async").attr("AsyncTransportWithLogger");
        pyx::setattr(transport, "singleton"_name, py::none());
    } catch (...) {
        pyx::PyError error = pyx::to_pyerror(std::current_exception());
        if (!error.is_exception()) throw error;
    }
    return py::none();
}

py::object reset_transport(SelfOnly& a) {
    pyx::call_method(a.self, "reset_transport_singleton"_name);
    return py::none();
}

Task<py::object> terminate(Terminate a) {
    py::object sandbox = pyx::getattr(a.self, "sandbox"_name);
    if (!pyx::truthy(sandbox)) co_return py::none();
    set_span(a, {{"SANDBOX_ID", pyx::getattr(a.self, "sandbox_id"_name)}});
    py::object retries = pyx::call(a.global("terminate_with_retry"_name), pyx::getattr(sandbox, "kill"_name),
                                   "timeout"_kw = a.timeout, "error_message"_kw = a.global("_TERMINATE_FAILED"_name));
    co_await std::move(retries);
    // Only a kill that landed empties the instance; after a failure the
    // caller keeps the handle and may try again.
    pyx::setattr(a.self, "sandbox"_name, py::none());
    pyx::setattr(a.self, "files"_name, py::none());
    pyx::setattr(a.self, "commands"_name, py::none());
    co_return py::none();
}

// ---------------------------------------------------------------------------
// Downloads

Task<py::object> download_steps(DownloadFile a, py::object budget) {
    py::object reading = pyx::call_method(a.self, "_read_file"_name, a.file_path, budget);
    py::object bounded = pyx::call_method(a.global("asyncio"_name), "wait_for"_name, reading, "timeout"_kw = budget);
    py::object content = co_await std::move(bounded);
    if (content.is_none() && !budget.is_none()) {
        // The signed-URL attempt used the whole budget and the fallback was
        // skipped: that is a time-out, and is reported as one.
        throw pyx::PyError(py::handle(PyExc_TimeoutError)());
    }
    set_span(a, {{"STATUS", pyx::getattr(status_member(a, "SUCCESS"), "value"_name)}});
    co_return content;
}

Task<py::object> download_file(DownloadFile a) {
    if (!pyx::truthy(pyx::getattr(a.self, "files"_name))) raise_not_initialized(a);
    py::object budget =
        pyx::call(a.global("resolve_timeout"_name), a.timeout, a.global("DEFAULT_DOWNLOAD_TIMEOUT"_name));
    set_span(a, {{"SANDBOX_ID", pyx::getattr(a.self, "sandbox_id"_name)}, {"FILE_PATH", a.file_path}});
    pyx::Outcome fetched = co_await pyx::outcome_of(download_steps(a, budget));
    if (fetched) co_return fetched.value();
    fetched.pass_non_exceptions();
    const py::object& e = fetched.error().value();
    py::tuple time_outs =
        py::make_tuple(pyx::builtin("TimeoutError"), pyx::getattr(a.global("httpx"_name), "TimeoutException"_name));
    if (pyx::is_instance(e, time_outs)) {
        set_span(a, {{"STATUS", pyx::getattr(status_member(a, "TIMEOUT"), "value"_name)}});
        py::dict extra;
        extra["error_code"] = pyx::getattr(a.global("Stage"_name), "DOWNLOAD"_name);
        py::object message =
            pyx::call_method(a.global("DOWNLOAD_TIMEOUT_MESSAGE"_name), "format"_name, a.file_path, budget);
        pyx::call_method(a.global("logger"_name), "warning"_name, message, "extra"_kw = extra);
    } else {
        set_span(a, {{"STATUS", pyx::getattr(status_member(a, "ERROR"), "value"_name)}});
        warn(a, py::str("Failed to download file {}: {}").format(a.file_path, e));
    }
    co_return py::none();
}

struct ReadFile : pyx::Params {
    Arg self = arg("self");
    Arg file_path = arg("file_path").annotated(types::str());
    Arg effective_timeout = arg("effective_timeout").annotated(pyx::optional(types::float_()));
};
// The signed URL first (it keeps binary content intact), the filesystem API
// only when that gives nothing, both within one budget.
Task<py::object> read_file(ReadFile a) {
    if (a.effective_timeout.is_none()) {
        py::object unbounded = py::none(), no_limit = py::int_(0);
        py::object content = co_await pyx::call_method(a.self, "_download_via_url"_name, a.file_path, unbounded);
        if (!content.is_none()) co_return content;
        co_return co_await pyx::call_method(a.self, "_read_via_filesystem"_name, a.file_path, no_limit);
    }
    py::object clock = a.global("time"_name);
    py::object deadline = pyx::call_method(clock, "monotonic"_name) + a.effective_timeout;
    py::object url_budget = a.effective_timeout * a.global("_URL_ATTEMPT_SHARE"_name);
    py::object content = co_await pyx::call_method(a.self, "_download_via_url"_name, a.file_path, url_budget);
    if (!content.is_none()) co_return content;
    py::object remaining = deadline - pyx::call_method(clock, "monotonic"_name);
    // A spent budget skips the fallback: the SDK would read 0 as no limit.
    if (remaining <= py::int_(0)) co_return py::none();
    co_return co_await pyx::call_method(a.self, "_read_via_filesystem"_name, a.file_path, remaining);
}

struct ReadViaFilesystem : pyx::Params {
    Arg self = arg("self");
    Arg file_path = arg("file_path").annotated(types::str());
    Arg request_timeout = arg("request_timeout").annotated(types::float_());
};
Task<py::object> read_via_filesystem(ReadViaFilesystem a) {
    py::object files = pyx::getattr(a.self, "files"_name);
    py::object reading = pyx::call_method(files, "read"_name, a.file_path, "format"_kw = "bytes",
                                          "request_timeout"_kw = a.request_timeout);
    py::object content = co_await std::move(reading);
    co_return pyx::builtin("bytes")(content);
}

struct DownloadViaUrl : pyx::Params {
    Arg self = arg("self");
    Arg file_path = arg("file_path").annotated(types::str());
    Arg effective_timeout = arg("effective_timeout", py::none()).annotated(pyx::optional(types::float_()));
};

Task<py::object> fetch_signed_url(DownloadViaUrl a, py::object sandbox) {
    py::object url = pyx::call_method(sandbox, "download_url"_name, a.file_path);
    if (!PyUnicode_Check(url.ptr())) url = co_await std::move(url);
    py::object client =
        pyx::call(pyx::getattr(a.global("httpx"_name), "AsyncClient"_name), "timeout"_kw = a.effective_timeout);
    // async with httpx.AsyncClient(timeout=...) as session: return await session.get(url)
    // A fresh client per attempt, closed before the answer is examined.
    pyx::AsyncWithBlock block(client);
    py::object session = co_await block.enter();
    pyx::Outcome got = co_await pyx::outcome_of([&] { return pyx::call_method(session, "get"_name, url); });
    if (!got) {
        py::object suppress = co_await block.exit_raising(got.error());
        if (!pyx::truthy(suppress)) got.rethrow();
        co_return py::none();
    }
    co_await block.exit_normally();
    co_return got.value();
}

Task<py::object> download_via_url(DownloadViaUrl a) {
    py::object sandbox = pyx::getattr(a.self, "sandbox"_name);
    if (sandbox.is_none() || !pyx::hasattr(sandbox, "download_url"_name)) co_return py::none();
    pyx::Outcome fetched = co_await pyx::outcome_of(fetch_signed_url(a, sandbox));
    if (!fetched) {
        // Any failure of the URL path falls back to the filesystem API.
        fetched.pass_non_exceptions();
        warn(a, py::str("URL download failed for {}: {}").format(a.file_path, fetched.error().value()));
        co_return py::none();
    }
    const py::object& response = fetched.value();
    py::object status_code = pyx::getattr(response, "status_code"_name);
    py::object ok = pyx::getattr(pyx::getattr(a.global("httpx"_name), "codes"_name), "OK"_name);
    if (status_code.equal(ok)) co_return pyx::getattr(response, "content"_name);
    warn(a, py::str("URL download for {} returned status {}").format(a.file_path, status_code));
    co_return py::none();
}

// ---------------------------------------------------------------------------
// Module set-up

// Imports the SDK; a missing package becomes the install hint, chained to
// the import's own error.
void import_sdk(py::module_& module) {
    import_provider_sdk(install_hint, [&] {
        pyx::import_module(module, "httpx");
        pyx::import_from(module, "e2b", {"CommandExitException"});
        pyx::import_from(module, "e2b.exceptions", {"RateLimitException", "TimeoutException"});
        pyx::import_from(module, "e2b.sandbox_async.commands.command", {"Commands"});
        pyx::import_from(module, "e2b.sandbox_async.filesystem.filesystem", {"Filesystem"});
        pyx::import_from(module, "e2b_code_interpreter", {"AsyncSandbox"});
    });
}

// `traced(SpanName.<span>, **{SpanAttr.BACKEND: "e2b"})(function)`.
py::object traced(py::module_& module, const char* span, py::object function) {
    return backend_tracer(module, span, "e2b")(function);
}

}  // namespace

void init(py::module_& module) {
    module.attr("__doc__") = py::str(
        "E2BSandbox: the code-interpreter backend on the E2B service, through the E2B SDK.\n\n"
        "Callers obtain instances from E2BSandbox.create; a directly constructed instance holds no sandbox.");
    pyx::import_module(module, "asyncio");
    pyx::import_module(module, "time");
    pyx::import_from(module, "collections.abc", {"Callable"});
    pyx::import_from(module, "typing", {"Any", "Self"});
    import_sdk(module);
    pyx::import_from(module, "kelmo_core.logging", {"LoggerManager"});
    py::object base = pyx::import_from(module, "vorn_sandbox.code_interpreter.base", {"CodeInterpreterSandbox"})
                          .attr("CodeInterpreterSandbox");
    pyx::import_from(module, "vorn_sandbox.constants",
                     {"DEFAULT_DOWNLOAD_TIMEOUT", "DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS", "DEFAULT_UPLOAD_DIR",
                      "DOWNLOAD_TIMEOUT_MESSAGE", "Language"});
    pyx::import_from(module, "vorn_sandbox.errors", {"SandboxNotInitializedError", "SandboxStartError", "Stage"});
    pyx::import_from(module, "vorn_sandbox.models", {"ExecutionResult", "ExecutionStatus", "SandboxFile"});
    pyx::import_from(module, "vorn_sandbox.observability",
                     {"SpanAttr", "SpanName", "set_current_span_attributes", "traced"});
    pyx::import_from(module, "vorn_sandbox.utils",
                     {"build_upload_path", "calculate_duration_ms", "create_with_retry", "resolve_sandbox_timeout",
                      "resolve_timeout", "terminate_with_retry"});
    pyx::bind_logger(module);
    module.attr("_TERMINATE_FAILED") = py::str("Failed to terminate E2B sandbox: {}");
    module.attr("_URL_ATTEMPT_SHARE") = py::float_(0.5);
    module.attr("_RUN_TIMEOUT_MARGIN") = py::float_(0.25);
    // The text of e2b-code-interpreter's own execution time-out.
    module.attr("_RUN_TIMED_OUT") =
        py::str("Execution timed out \u2014 the 'timeout' option can be used to increase this timeout");

    py::object classmethod = pyx::builtin("classmethod");
    py::object result_type = module.attr("ExecutionResult");
    py::object self_type = module.attr("Self");
    pyx::ClassBody body(module, "E2BSandbox");
    body.doc(
            "The E2B implementation of the code-interpreter sandbox: one E2B sandbox, its code runs, commands, "
            "uploads and downloads, lease and teardown.")
        .method(pyx::def("__init__", init_instance, pyx::DefiningClass{body.class_cell()}).returning(types::none()))
        .classmethod(pyx::def("_is_transient_create_error", is_transient_create_error)
                         .returning(types::bool_())
                         .with_doc("E2B's cold-start failures: the SDK's time-out and rate limit, and the HTTP "
                                   "client's time-out and connection failure."))
        .attr("create",
              classmethod(traced(module, "CREATE",
                                 body.function(pyx::def("create", create)
                                                   .returning(self_type)
                                                   .with_doc("Creates a live E2B sandbox held by a new instance of "
                                                             "cls, with its additional_packages installed.")))))
        .classmethod(pyx::def("_create_once", create_once)
                         .returning(self_type)
                         .with_doc("One creation attempt; kills the sandbox again when anything after the SDK's "
                                   "create fails or is cancelled."))
        .staticmethod(pyx::def("_rollback", rollback)
                          .returning(types::none())
                          .with_doc("Kills a half-created sandbox once; a failure is a warning."))
        .attr("execute_code", traced(module, "EXECUTE_CODE",
                                     body.function(pyx::def("execute_code", execute_code)
                                                       .returning(result_type)
                                                       .with_doc("Runs code in the sandbox's interpreter after "
                                                                 "uploading `files`; failures are results."))))
        .staticmethod(pyx::def("_format_execution_error", format_execution_error)
                          .returning(types::str())
                          .with_doc("The SDK's error object as text: traceback, then \"Name: value\"."))
        .attr("execute_command", traced(module, "EXECUTE_COMMAND",
                                        body.function(pyx::def("execute_command", execute_command)
                                                          .returning(result_type)
                                                          .with_doc("Runs a shell command line; failures are "
                                                                    "results."))))
        .method(pyx::def("set_timeout", set_timeout)
                    .returning(types::none())
                    .with_doc("Renews the sandbox's session lease; a failure is logged, never raised."))
        .property("sandbox_id", pyx::def("sandbox_id", sandbox_id).returning(pyx::optional(types::str())),
                  "The E2B sandbox id, or None without a sandbox.")
        .staticmethod(pyx::def("reset_transport_singleton", reset_transport_singleton)
                          .returning(types::none())
                          .with_doc("Clears the SDK's process-wide asynchronous transport where the SDK keeps one."))
        .method(pyx::def("reset_transport", reset_transport)
                    .returning(types::none())
                    .with_doc("Clears the SDK's process-wide asynchronous transport (for every instance)."))
        .attr("terminate", traced(module, "TERMINATE",
                                  body.function(pyx::def("terminate", terminate)
                                                    .returning(types::none())
                                                    .with_doc("Kills the sandbox with bounded retries under one "
                                                              "deadline, then drops the handles."))))
        .attr("download_file", traced(module, "DOWNLOAD",
                                      body.function(pyx::def("download_file", download_file)
                                                        .returning(pyx::optional(types::bytes()))
                                                        .with_doc("Reads a file out of the sandbox; None on failure "
                                                                  "or time-out."))))
        .method(pyx::def("_read_file", read_file).returning(pyx::optional(types::bytes())))
        .method(pyx::def("_read_via_filesystem", read_via_filesystem).returning(types::bytes()))
        .method(pyx::def("_download_via_url", download_via_url).returning(pyx::optional(types::bytes())))
        .attr("_upload_files", traced(module, "UPLOAD",
                                      body.function(pyx::def("_upload_files", upload_files).returning(types::none()))));
    module.attr("E2BSandbox") = body.create(py::type::of(base), py::make_tuple(base));
}

}  // namespace vorn_sandbox::code_interpreter::e2b
