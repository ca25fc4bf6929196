// vorn_sandbox.code_interpreter.opensandbox: the OpenSandbox backend. Code runs
// in the sandbox's Jupyter kernel through the SDK's code interpreter; commands
// and files go through the sandbox's command daemon.
//
// Every name the bodies use (the SDK classes, asyncio, the helpers of
// vorn_sandbox.utils, the logger) is a global of this module, looked up at
// call time, as the Python module's own names would be.
#include "pyx/aio.hpp"
#include "pyx/classes.hpp"
#include "pyx/module.hpp"
#include "pyx/object.hpp"
#include "pyx/outcome.hpp"
#include "pyx/params.hpp"
#include "pyx/text.hpp"
#include "vorn_sandbox/backend_tracing.hpp"
#include "vorn_sandbox/code_interpreter/shielded_start.hpp"
#include "vorn_sandbox/modules.hpp"
#include "vorn_sandbox/provider_sdk.hpp"

#include <optional>
#include <string>

namespace py = pybind11;
using namespace pyx::literals;
using pyx::Task;

namespace vorn_sandbox::code_interpreter::opensandbox {
namespace {

constexpr int jupyter_port = 44771;
// The token the sandbox's Jupyter server demands unless the caller's own
// environment names another.
constexpr const char* jupyter_token = "amberlynxtidepoolcrescentharborqz";

// ---------------------------------------------------------------------------
// Small pieces shared by the bodies

// `set_current_span_attributes(**{key: value, ...})`: the keys hold dots.
void set_span_attributes(const pyx::Params& a, std::initializer_list<std::pair<py::handle, py::handle>> items) {
    py::dict attributes;
    for (const auto& [key, value] : items) attributes[key] = value;
    pyx::apply(a.global("set_current_span_attributes"_name), py::tuple(), attributes);
}

py::object span_attr(const pyx::Params& a, const char* name) {
    return a.global("SpanAttr"_name).attr(name);
}

// Output messages as one text: each without its trailing line feeds ("\n"
// only), one line feed between them. The texts stay Python strings: output
// may hold lone surrogates, which a UTF-8 conversion would refuse.
py::object joined_lines(const py::object& messages) {
    py::str line_feed("\n");
    py::list texts;
    if (pyx::truthy(messages)) {
        for (py::handle message : messages) texts.append(pyx::rstrip(pyx::getattr(message, "text"_name), line_feed));
    }
    return pyx::call_method(line_feed, "join"_name, texts);
}

// "{name}: {value}" of an SDK error object.
py::object named_error(const py::object& error) {
    return py::str("{}: {}").format(pyx::getattr(error, "name"_name), pyx::getattr(error, "value"_name));
}

py::object sandbox_id_of(const py::object& self) {
    return pyx::getattr(self, "sandbox_id"_name);
}

// Only failures of the ordinary error family are ever turned into results or
// swallowed; cancellation and interrupts always leave.
pyx::PyError current_error() {
    return pyx::to_pyerror(std::current_exception());
}

[[noreturn]] void raise_start_error(const pyx::Params& a, py::object message, const char* stage, py::handle classifier,
                                    const pyx::PyError& cause) {
    py::object error = pyx::call(a.global("SandboxStartError"_name), message,
                                 "stage"_kw = a.global("Stage"_name).attr(stage), "classifier"_kw = classifier);
    pyx::raise_from(error, cause.value());
}

// ---------------------------------------------------------------------------
// Module functions

struct HandlerClosure {
    py::object callback;
};
struct HandlerParams : pyx::Params {
    Arg message = arg("message");
};
Task<py::object> forward_line(HandlerParams a, const HandlerClosure& closure) {
    py::object text = pyx::getattr(a.message, "text"_name);
    if (!pyx::truthy(text)) text = py::str("");
    pyx::call(closure.callback, pyx::call_method(text, "rstrip"_name, py::str("\n")));
    co_return py::none();
}

struct ToAsyncHandler : pyx::Params {
    Arg callback = arg("callback");
};
py::object to_async_handler(ToAsyncHandler& a) {
    if (a.callback.is_none()) return py::none();
    return pyx::make_function(pyx::def("_handler", forward_line, HandlerClosure{a.callback}), a.globals(),
                              "_to_async_handler.<locals>._handler");
}

struct TeardownSandbox : pyx::Params {
    Arg sandbox = arg("sandbox");
};
Task<py::object> teardown_sandbox(TeardownSandbox a) {
    // Kill first: close shuts the transport that the kill travels over. One
    // coroutine, so that a caller can shield the pair as a unit.
    pyx::Outcome killed = co_await pyx::outcome_of([&] {
        return pyx::call(a.global("terminate_with_retry"_name), pyx::getattr(a.sandbox, "kill"_name),
                         "timeout"_kw = a.global("DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS"_name),
                         "error_message"_kw = a.global("ErrorMessage"_name).attr("SANDBOX_TERMINATE_FAILED"));
    });
    if (!killed) {
        killed.pass_non_exceptions();
        py::object message = py::str("Failed to kill a half-built OpenSandbox: {}").format(killed.error().value());
        pyx::call_method(a.global("logger"_name), "warning"_name, message);
    }
    pyx::Outcome closed = co_await pyx::outcome_of([&] { return pyx::call_method(a.sandbox, "close"_name); });
    if (!closed) closed.pass_non_exceptions();
    co_return py::none();
}

struct CloseClients : pyx::Params {
    Arg interpreter = arg("interpreter");
    Arg sandbox = arg("sandbox");
};
Task<py::object> close_clients(CloseClients a) {
    // The interpreter's own HTTP clients go first, then the sandbox's
    // transport; neither failure matters once the sandbox is gone.
    if (!a.interpreter.is_none() && pyx::hasattr(a.interpreter, "aclose"_name)) {
        pyx::Outcome released =
            co_await pyx::outcome_of([&] { return pyx::call_method(a.interpreter, "aclose"_name); });
        if (!released) released.pass_non_exceptions();
    }
    pyx::Outcome closed = co_await pyx::outcome_of([&] { return pyx::call_method(a.sandbox, "close"_name); });
    if (!closed) closed.pass_non_exceptions();
    co_return py::none();
}

// ---------------------------------------------------------------------------
// Construction and start-up arguments

struct InitInstance : pyx::Params {
    Arg self = arg("self");
    Arg language = arg("language", module_global("Language").attr("PYTHON"));
    Arg additional_packages = arg("additional_packages", py::none());
};
py::object init_instance(InitInstance& a, const pyx::DefiningClass& defining) {
    pyx::call_method(pyx::super(defining, a.self), "__init__"_name, "language"_kw = a.language,
                     "additional_packages"_kw = a.additional_packages);
    pyx::setattr(a.self, "_sandbox"_name, py::none());
    pyx::setattr(a.self, "_interpreter"_name, py::none());
    return py::none();
}

struct StartupKwargs : pyx::Params {
    Arg entrypoint = arg("entrypoint");
    Arg kwargs = arg("kwargs");
};
py::object startup_kwargs(StartupKwargs& a) {
    py::dict env;
    env["JUPYTER_HOST"] = a.global("_JUPYTER_HOST"_name);
    env["JUPYTER_TOKEN"] = a.global("_JUPYTER_TOKEN"_name);
    py::object callers = pyx::call_method(a.kwargs, "pop"_name, py::str("env"), py::none());
    // As `{**callers}`: a mapping only (dict.update would also take a list of
    // pairs), later keys winning.
    if (pyx::truthy(callers) && PyDict_Update(env.ptr(), callers.ptr()) < 0) {
        pyx::PyError error = pyx::PyError::fetch();
        if (!error.matches(PyExc_AttributeError)) throw error;
        py::object type_name = pyx::getattr(py::type::of(callers), "__name__"_name);
        throw pyx::PyError(
            pyx::call(py::handle(PyExc_TypeError), py::str("'{}' object is not a mapping").format(type_name)));
    }
    py::dict startup;
    startup["entrypoint"] = pyx::truthy(a.entrypoint)
                                ? py::object(a.entrypoint)
                                : py::object(a.global("Config"_name).attr("DEFAULT_CI_ENTRYPOINT"));
    startup["env"] = env;
    return startup;
}

struct IsTransient : pyx::Params {
    Arg cls = arg("cls");
    Arg exc = arg("exc");
};
py::object is_transient_create_error(IsTransient& a) {
    py::tuple transient =
        py::make_tuple(a.global("SandboxReadyTimeoutException"_name), a.global("SandboxUnhealthyException"_name),
                       a.global("PoolEmptyException"_name), a.global("PoolAcquireFailedException"_name),
                       a.global("PoolStateStoreUnavailableException"_name));
    return py::bool_(pyx::is_instance(a.exc, transient));
}

struct ProbeJupyter : pyx::Params {
    Arg cls = arg("cls");
    Arg sandbox = arg("sandbox");
    Arg timeout = arg("timeout");
};
// One probe run: whether the server answered. Every failure of the run counts
// as "not yet".
Task<py::object> jupyter_answers(py::object sandbox, py::object command) {
    pyx::Outcome run = co_await pyx::outcome_of(
        [&] { return pyx::call_method(pyx::getattr(sandbox, "commands"_name), "run"_name, command); });
    if (!run) {
        run.pass_non_exceptions();
        co_return py::bool_(false);
    }
    try {
        py::object stdout_messages = pyx::getattr(pyx::getattr(run.value(), "logs"_name), "stdout"_name);
        py::list texts;
        if (pyx::truthy(stdout_messages)) {
            for (py::handle message : stdout_messages) texts.append(pyx::getattr(message, "text"_name));
        }
        py::object joined = pyx::call_method(py::str(" "), "join"_name, texts);
        co_return py::bool_(PySequence_Contains(joined.ptr(), py::str("OK").ptr()) == 1);
    } catch (...) {
        pyx::PyError error = current_error();
        if (!error.is_exception()) throw error;
    }
    co_return py::bool_(false);
}

Task<py::object> probe_jupyter(ProbeJupyter a) {
    // The event loop's clock: the deadline is checked before each run only, so
    // a run under way is never cut short.
    py::object loop = pyx::call_method(a.global("asyncio"_name), "get_running_loop"_name);
    py::object deadline = pyx::call_method(loop, "time"_name) + a.timeout;
    while (pyx::call_method(loop, "time"_name) < deadline) {
        py::object command =
            py::str("curl -sf http://127.0.0.1:{}/api && echo OK || echo FAIL").format(a.global("_JUPYTER_PORT"_name));
        py::object answered = co_await jupyter_answers(a.sandbox, command);
        if (pyx::truthy(answered)) co_return py::none();
        co_await pyx::call_method(a.global("asyncio"_name), "sleep"_name, a.global("_JUPYTER_POLL_INTERVAL"_name));
    }
    co_return py::none();
}

// ---------------------------------------------------------------------------
// Creation

struct EffectiveSnapshotId : pyx::Params {
    Arg snapshot_id = arg("snapshot_id");
    Arg snapshot_name = arg("snapshot_name");
    Arg domain = kwonly("domain");
    Arg protocol = kwonly("protocol");
    Arg api_key = kwonly("api_key");
    Arg use_server_proxy = kwonly("use_server_proxy");
    Arg ready_timeout = kwonly("ready_timeout");
};
Task<py::object> effective_snapshot_id(EffectiveSnapshotId a) {
    if (a.snapshot_name.is_none()) co_return a.snapshot_id;
    if (!a.snapshot_id.is_none()) pyx::raise(PyExc_ValueError, "Provide at most one of snapshot_id or snapshot_name");
    py::object request_timeout = pyx::call(a.global("timedelta"_name), "seconds"_kw = a.ready_timeout);
    py::object config = pyx::call(a.global("ConnectionConfigSync"_name), "domain"_kw = a.domain,
                                  "protocol"_kw = a.protocol, "api_key"_kw = a.api_key,
                                  "request_timeout"_kw = request_timeout, "use_server_proxy"_kw = a.use_server_proxy);
    py::object lookup =
        pyx::call(pyx::getattr(a.global("asyncio"_name), "to_thread"_name), a.global("newest_ready_snapshot_id"_name),
                  a.snapshot_name, "connection_config"_kw = config);
    py::object resolved = co_await std::move(lookup);
    if (resolved.is_none()) {
        py::object message = py::str("No Ready OpenSandbox snapshot named ") + py::repr(a.snapshot_name);
        throw pyx::PyError(pyx::call(a.global("SandboxStartError"_name), message,
                                     "stage"_kw = a.global("Stage"_name).attr("SNAPSHOT_RESOLVE")));
    }
    co_return resolved;
}

// The names of the attempt's own keywords, in the order the attempt takes them.
constexpr const char* attempt_keywords[] = {
    "snapshot_id",    "image",   "language",         "entrypoint",    "domain",
    "protocol",       "api_key", "use_server_proxy", "ready_timeout", "additional_packages",
    "session_timeout"};

struct AttemptClosure {
    py::object cls;
    py::dict keywords;  // the attempt's own keywords
    py::dict extra;     // the caller's further keywords, spread afresh each time
};
using pyx::NoParams;
py::object start_attempt(NoParams& a, const AttemptClosure& closure) {
    py::object create_once = pyx::getattr(closure.cls, "_create_once"_name);
    // A copy: the attempt's own keywords must reach every later attempt
    // unchanged (py::dict of a dict would be that same dict).
    py::dict keywords = pyx::call_method(closure.keywords, "copy"_name);
    for (auto [key, value] : closure.extra) {
        if (keywords.contains(key)) {
            // As `f(name=..., **extra)` fails when `extra` repeats a name.
            py::object message = py::str("{}() got multiple values for keyword argument '{}'")
                                     .format(pyx::getattr(create_once, "__qualname__"_name), key);
            throw pyx::PyError(pyx::call(py::handle(PyExc_TypeError), message));
        }
        keywords[key] = value;
    }
    (void)a;
    return pyx::apply(create_once, py::tuple(), keywords);
}

struct Create : pyx::Params {
    Arg cls = arg("cls");
    Arg api_key = arg("api_key", py::none());
    Arg domain = arg("domain", module_global("Config").attr("DEFAULT_DOMAIN"));
    Arg protocol = arg("protocol", module_global("Config").attr("DEFAULT_PROTOCOL"));
    Arg image = arg("image", module_global("Config").attr("DEFAULT_IMAGE"));
    Arg use_server_proxy = arg("use_server_proxy", py::bool_(true));
    Arg ready_timeout = arg("ready_timeout", module_global("Config").attr("DEFAULT_READY_TIMEOUT"));
    Arg language = arg("language", module_global("Language").attr("PYTHON"));
    Arg snapshot_id = arg("snapshot_id", py::none());
    Arg snapshot_name = arg("snapshot_name", py::none());
    Arg entrypoint = arg("entrypoint", py::none());
    Arg additional_packages = arg("additional_packages", py::none());
    Arg sandbox_timeout = arg("sandbox_timeout", py::none());
    Arg create_retries = arg("create_retries", py::int_(3));
    Arg create_backoff = arg("create_backoff", py::float_(2.0));
    Arg kwargs = varkw();
};
Task<py::object> create(Create a) {
    // The name is resolved once, before any attempt: every retry starts from
    // the same snapshot.
    py::object snapshot_id =
        co_await pyx::call_method(a.cls, "_effective_snapshot_id"_name, a.snapshot_id, a.snapshot_name,
                                  "domain"_kw = a.domain, "protocol"_kw = a.protocol, "api_key"_kw = a.api_key,
                                  "use_server_proxy"_kw = a.use_server_proxy, "ready_timeout"_kw = a.ready_timeout);
    set_span_attributes(
        a, {{span_attr(a, "TEMPLATE_ID"), pyx::truthy(a.snapshot_name) ? py::object(a.snapshot_name) : snapshot_id}});
    py::object session_timeout =
        pyx::call(a.global("resolve_sandbox_timeout"_name), a.sandbox_timeout, "kwargs"_kw = a.kwargs);

    py::dict keywords;
    py::object values[] = {snapshot_id,    a.image,   a.language,         a.entrypoint,    a.domain,
                           a.protocol,     a.api_key, a.use_server_proxy, a.ready_timeout, a.additional_packages,
                           session_timeout};
    for (std::size_t i = 0; i < std::size(attempt_keywords); ++i) keywords[attempt_keywords[i]] = values[i];
    py::object attempt = pyx::make_function(
        pyx::def("<lambda>", start_attempt, AttemptClosure{a.cls, keywords, pyx::call_method(a.kwargs, "copy"_name)}),
        a.globals(), "OpenSandbox.create.<locals>.<lambda>");

    py::object instance = co_await pyx::call(a.global("create_with_retry"_name), attempt,
                                             "is_transient"_kw = pyx::getattr(a.cls, "_is_transient_create_error"_name),
                                             "attempts"_kw = a.create_retries, "backoff"_kw = a.create_backoff);
    set_span_attributes(a, {{span_attr(a, "SANDBOX_ID"), sandbox_id_of(instance)}});
    co_return instance;
}

struct CreateOnce : pyx::Params {
    Arg cls = arg("cls");
    Arg snapshot_id = kwonly("snapshot_id");
    Arg image = kwonly("image");
    Arg language = kwonly("language");
    Arg entrypoint = kwonly("entrypoint");
    Arg domain = kwonly("domain");
    Arg protocol = kwonly("protocol");
    Arg api_key = kwonly("api_key");
    Arg use_server_proxy = kwonly("use_server_proxy");
    Arg ready_timeout = kwonly("ready_timeout");
    Arg additional_packages = kwonly("additional_packages");
    Arg session_timeout = kwonly("session_timeout");
    Arg kwargs = varkw();
};

// `await call()`, a failure of the ordinary error family (of the call or of
// its await) raised again as a SandboxStartError of `stage`, chained to it.
template <class Call>
Task<py::object> start_step(const CreateOnce& a, py::object classifier, const char* stage, py::object message_template,
                            Call call, py::object message_value = {}) {
    pyx::Outcome outcome = co_await pyx::outcome_of(std::move(call));
    if (!outcome) {
        outcome.pass_non_exceptions();
        py::object filled = message_template.attr("format")(message_value ? message_value : outcome.error().value());
        raise_start_error(a, filled, stage, classifier, outcome.error());
    }
    co_return outcome.value();
}

// Steps after the provider sandbox exists; any failure here is rolled back by
// the caller.
Task<py::object> finish_attempt(CreateOnce a, py::object sandbox, py::object classifier, py::list made_interpreter) {
    py::object messages = a.global("ErrorMessage"_name);
    py::object start_failed = messages.attr("SANDBOX_START_FAILED");
    py::object info = co_await start_step(a, classifier, "GET_INFO", start_failed,
                                          [&] { return pyx::call_method(sandbox, "get_info"_name); });

    py::object reported = pyx::getattr(info, "image"_name);
    py::object actual_image = pyx::truthy(reported)        ? pyx::getattr(reported, "image"_name)
                              : pyx::truthy(a.snapshot_id) ? py::object(a.snapshot_id)
                                                           : py::object(a.image);
    // The probe also makes the default upload directory.
    py::object mkdir = py::str("mkdir -p ") + a.global("Config"_name).attr("UPLOAD_DIR");
    co_await start_step(
        a, classifier, "EXECD_PROBE", messages.attr("EXECD_NOT_REACHABLE"),
        [&] { return pyx::call_method(pyx::getattr(sandbox, "commands"_name), "run"_name, mkdir); }, actual_image);

    co_await pyx::call_method(a.cls, "_probe_jupyter"_name, sandbox,
                              "timeout"_kw = a.global("_JUPYTER_PROBE_TIMEOUT"_name));

    // The SDK closes the interpreter's HTTP clients on a failure but not on a
    // cancellation: an interpreter made after one is closed where it lands.
    py::object interpreter = co_await start_step(a, classifier, "INTERPRETER_INIT", start_failed, [&] {
        py::object start = pyx::call_method(a.global("_OSCiInterpreter"_name), "create"_name, "sandbox"_kw = sandbox);
        py::object close = pyx::call(pyx::getattr(a.global("operator"_name), "methodcaller"_name), "aclose"_str);
        return code_interpreter::start_behind_shield(a.cls, start, close, a.globals());
    });
    made_interpreter.append(interpreter);

    py::object instance =
        pyx::call(a.cls, "language"_kw = a.language, "additional_packages"_kw = a.additional_packages);
    pyx::setattr(instance, "_sandbox"_name, sandbox);
    pyx::setattr(instance, "_interpreter"_name, interpreter);
    co_await pyx::call_method(instance, "_setup_python_channels"_name);
    co_return instance;
}

Task<py::object> create_once(CreateOnce a) {
    py::object classifier = pyx::getattr(a.cls, "_is_transient_create_error"_name);
    py::object request_timeout = pyx::call(a.global("timedelta"_name), "seconds"_kw = a.ready_timeout);
    py::object config = pyx::call(a.global("ConnectionConfig"_name), "domain"_kw = a.domain, "protocol"_kw = a.protocol,
                                  "api_key"_kw = a.api_key, "request_timeout"_kw = request_timeout,
                                  "use_server_proxy"_kw = a.use_server_proxy);
    py::dict create_kwargs;
    create_kwargs["connection_config"] = config;
    create_kwargs["ready_timeout"] = pyx::call(a.global("timedelta"_name), "seconds"_kw = a.ready_timeout);
    create_kwargs["timeout"] = pyx::call(a.global("timedelta"_name), "seconds"_kw = a.session_timeout);
    create_kwargs["skip_health_check"] = py::bool_(true);
    pyx::call_method(create_kwargs, "update"_name,
                     pyx::call_method(a.cls, "_startup_kwargs"_name, a.entrypoint, a.kwargs));
    pyx::call_method(create_kwargs, "update"_name, a.kwargs);

    py::object sandbox_class = a.global("Sandbox"_name);
    py::object create_sandbox = pyx::getattr(sandbox_class, "create"_name);
    pyx::Outcome created = co_await pyx::outcome_of([&]() -> Task<py::object> {
        py::object start;
        if (!a.snapshot_id.is_none()) {
            create_kwargs["snapshot_id"] = a.snapshot_id;
            start = pyx::apply(create_sandbox, py::tuple(), create_kwargs);
        } else {
            start = pyx::apply(create_sandbox, py::make_tuple(a.image), create_kwargs);
        }
        // A sandbox that the request makes after a cancellation is torn down there.
        co_return co_await code_interpreter::start_behind_shield(a.cls, start, a.global("_teardown_sandbox"_name),
                                                                 a.globals());
    });
    if (!created) {
        created.pass_non_exceptions();
        py::object message =
            a.global("ErrorMessage"_name).attr("SANDBOX_START_FAILED").attr("format")(created.error().value());
        raise_start_error(a, message, "CREATE", classifier, created.error());
    }
    py::object sandbox = created.value();

    py::list made_interpreter;
    pyx::Outcome finished = co_await pyx::outcome_of(finish_attempt(a, sandbox, classifier, made_interpreter));
    if (!finished) {
        const pyx::PyError& error = finished.error();
        if (!error.is_exception() && !pyx::aio::is_cancellation(error)) finished.rethrow();
        // The sandbox exists on the server: tear it down, shielded and bounded,
        // then raise the failure that started it, unchanged.
        py::object teardown = pyx::call(a.global("_teardown_sandbox"_name), sandbox);
        co_await pyx::call_method(a.cls, "_shielded_rollback"_name, teardown);
        // An interpreter made before the failure holds HTTP clients of its
        // own; released the same shielded, bounded, silent way.
        if (py::len(made_interpreter) > 0) {
            pyx::Outcome release = co_await pyx::outcome_of([&] {
                py::object closing = pyx::call_method(made_interpreter[0], "aclose"_name);
                return pyx::call_method(a.cls, "_shielded_rollback"_name, closing);
            });
            if (!release) release.pass_non_exceptions();
        }
        finished.rethrow();
    }
    co_return finished.value();
}

// ---------------------------------------------------------------------------
// Code execution

struct InitCell {
    py::list execution_id;  // one slot, written by the init handler
};
struct CaptureInit : pyx::Params {
    Arg message = arg("message");
};
Task<py::object> capture_init(CaptureInit a, const InitCell& cell) {
    py::object id = pyx::getattr(a.message, "id"_name, py::none());
    if (PyList_SetItem(cell.execution_id.ptr(), 0, id.release().ptr()) < 0) throw pyx::PyError::fetch();
    co_return py::none();
}

struct ExecuteCode : pyx::Params {
    Arg self = arg("self");
    Arg code = arg("code");
    Arg timeout = arg("timeout", py::none());
    Arg files = arg("files", py::none());
    Arg upload_dir = arg("upload_dir", py::none());
    Arg on_stdout = arg("on_stdout", py::none());
    Arg on_stderr = arg("on_stderr", py::none());
    Arg kwargs = varkw();
};

py::object execution_result(const pyx::Params& a, const char* status, py::handle code, py::handle stdout_text,
                            py::handle stderr_text, py::handle error, py::handle duration_ms) {
    py::object status_member = a.global("ExecutionStatus"_name).attr(status);
    return pyx::call_method(a.global("ExecutionResult"_name), "create"_name, "status"_kw = status_member,
                            "code"_kw = code, "stdout"_kw = stdout_text, "stderr"_kw = stderr_text, "error"_kw = error,
                            "duration_ms"_kw = duration_ms);
}

void set_status(const pyx::Params& a, const char* status) {
    set_span_attributes(a, {{span_attr(a, "STATUS"), a.global("ExecutionStatus"_name).attr(status).attr("value")}});
}

// The result of a run that did not finish: TIMEOUT, its message naming the time
// limit, when the limit ran out; else ERROR with the failure's text.
py::object unfinished_result(const pyx::Params& a, const pyx::PyError& failure, py::handle code, py::handle start_time,
                             py::handle effective_timeout) {
    bool timed_out = failure.matches(PyExc_TimeoutError);
    py::object duration_ms = pyx::call(a.global("calculate_duration_ms"_name), start_time);
    py::object error = timed_out
                           ? a.global("ErrorMessage"_name).attr("EXECUTION_TIMEOUT").attr("format")(effective_timeout)
                           : py::object(py::str(failure.value()));
    return execution_result(a, timed_out ? "TIMEOUT" : "ERROR", code, py::str(""), py::str(""), error, duration_ms);
}

// The result of a finished run, from the SDK's execution record.
py::object code_result(const ExecuteCode& a, const py::object& execution, const py::object& start_time) {
    py::object duration_ms = pyx::call(a.global("calculate_duration_ms"_name), start_time);
    py::object stdout_text = pyx::getattr(execution, "text"_name);
    py::object stderr_text = joined_lines(pyx::getattr(pyx::getattr(execution, "logs"_name), "stderr"_name));
    bool failed = pyx::truthy(pyx::getattr(execution, "error"_name));
    py::object error = failed ? named_error(pyx::getattr(execution, "error"_name)) : py::object(py::str(""));
    const char* status = pyx::truthy(pyx::getattr(execution, "error"_name)) ? "ERROR" : "SUCCESS";
    set_status(a, status);
    return execution_result(a, status, a.code, stdout_text, stderr_text, error, duration_ms);
}

Task<py::object> execute_code(ExecuteCode a) {
    if (!pyx::truthy(pyx::getattr(a.self, "_sandbox"_name)) ||
        !pyx::truthy(pyx::getattr(a.self, "_interpreter"_name))) {
        throw pyx::PyError(pyx::call(a.global("SandboxNotInitializedError"_name),
                                     a.global("ErrorMessage"_name).attr("SANDBOX_NOT_INITIALIZED")));
    }
    set_span_attributes(a, {{span_attr(a, "SANDBOX_ID"), sandbox_id_of(a.self)}});
    py::object effective_timeout = pyx::call(a.global("resolve_timeout"_name), a.timeout);
    py::object start_time = pyx::call_method(a.global("time"_name), "time"_name);
    InitCell cell{py::list(1)};
    cell.execution_id[0] = py::none();
    py::list execution_id = cell.execution_id;
    py::object init_handler = pyx::make_function(pyx::def("_capture_init", capture_init, std::move(cell)), a.globals(),
                                                 "OpenSandbox.execute_code.<locals>._capture_init");

    // The guarded run, awaited in this frame: every resumption of the SDK's
    // stream passes through one native coroutine only.
    std::optional<pyx::PyError> failure;
    try {
        if (pyx::truthy(a.files)) co_await pyx::call_method(a.self, "_upload_files"_name, a.files, a.upload_dir);
        py::object to_handler = a.global("_to_async_handler"_name);
        py::object stdout_handler = pyx::call(to_handler, a.on_stdout);
        py::object stderr_handler = pyx::call(to_handler, a.on_stderr);
        py::object handlers = pyx::call(a.global("ExecutionHandlers"_name), "on_init"_kw = init_handler,
                                        "on_stdout"_kw = stdout_handler, "on_stderr"_kw = stderr_handler);
        py::object codes = pyx::getattr(pyx::getattr(a.self, "_interpreter"_name), "codes"_name);
        py::object run = pyx::call_method(
            codes, "run"_name, a.code, "language"_kw = pyx::getattr(a.self, "language"_name), "handlers"_kw = handlers);
        py::object execution =
            co_await pyx::call_method(a.global("asyncio"_name), "wait_for"_name, run, "timeout"_kw = effective_timeout);
        co_return code_result(a, execution, start_time);
    } catch (...) {
        failure.emplace(current_error());
    }
    bool timed_out = failure->matches(PyExc_TimeoutError);
    if (!timed_out && !failure->is_exception()) throw *failure;
    set_status(a, timed_out ? "TIMEOUT" : "ERROR");
    // Free the kernel for the next call; the run itself has been abandoned.
    if (timed_out) co_await pyx::call_method(a.self, "_interrupt_kernel"_name, execution_id[0]);
    co_return unfinished_result(a, *failure, a.code, start_time, effective_timeout);
}

struct InterruptKernel : pyx::Params {
    Arg self = arg("self");
    Arg execution_id = arg("execution_id");
};
Task<py::object> interrupt_kernel(InterruptKernel a) {
    py::object interpreter = pyx::getattr(a.self, "_interpreter"_name);
    if (!pyx::truthy(a.execution_id) || !pyx::truthy(interpreter)) co_return py::none();
    pyx::Outcome interrupted = co_await pyx::outcome_of(
        [&] { return pyx::call_method(pyx::getattr(interpreter, "codes"_name), "interrupt"_name, a.execution_id); });
    if (!interrupted) {
        interrupted.pass_non_exceptions();
        py::object message =
            py::str("Failed to interrupt kernel execution {}: {}").format(a.execution_id, interrupted.error().value());
        pyx::call_method(a.global("logger"_name), "warning"_name, message);
    }
    co_return py::none();
}

// ---------------------------------------------------------------------------
// Command execution

struct ExecuteCommand : pyx::Params {
    Arg self = arg("self");
    Arg cmd = arg("cmd");
    Arg env = kwonly("env", py::none());
    Arg timeout = kwonly("timeout", py::none());
};

// What a finished command reports, read once from the SDK's execution. The
// texts and the exit code stay Python objects: output may hold lone
// surrogates, and an exit code is compared with 0 as Python compares it.
struct CommandRun {
    py::object output;
    py::object stderr_text;
    py::object exit_code;
    py::object daemon_error;  // the SDK's error object, or a falsy value

    static CommandRun from_python(py::handle execution) {
        py::object logs = pyx::getattr(execution, "logs"_name);
        CommandRun run;
        run.output = joined_lines(pyx::getattr(logs, "stdout"_name));
        run.stderr_text = joined_lines(pyx::getattr(logs, "stderr"_name));
        run.exit_code = pyx::getattr(execution, "exit_code"_name);
        run.daemon_error = pyx::getattr(execution, "error"_name);
        return run;
    }

    // A reported error fails the command whatever its exit code; without one,
    // an unknown exit code counts as success.
    bool failed() const {
        return pyx::truthy(daemon_error) || (!exit_code.is_none() && pyx::compare(exit_code, Py_NE, 0));
    }

    // The command's own words first, then the daemon's, then the exit code.
    py::object error() const {
        py::object stripped = pyx::call_method(stderr_text, "strip"_name);
        if (pyx::truthy(stripped)) return stripped;
        if (pyx::truthy(daemon_error)) return named_error(daemon_error);
        return py::str("command exited with code ") + py::str(exit_code);
    }
};

Task<py::object> execute_command(ExecuteCommand a) {
    if (!pyx::truthy(pyx::getattr(a.self, "_sandbox"_name))) {
        throw pyx::PyError(pyx::call(a.global("SandboxNotInitializedError"_name),
                                     a.global("ErrorMessage"_name).attr("SANDBOX_NOT_INITIALIZED")));
    }
    set_span_attributes(a, {{span_attr(a, "SANDBOX_ID"), sandbox_id_of(a.self)}});
    py::object effective_timeout = pyx::call(a.global("resolve_timeout"_name), a.timeout);
    py::object start_time = pyx::call_method(a.global("time"_name), "time"_name);

    std::optional<pyx::PyError> failure;
    try {
        py::dict run_kwargs;
        if (!a.env.is_none()) run_kwargs["opts"] = pyx::call(a.global("RunCommandOpts"_name), "envs"_kw = a.env);
        py::object commands = pyx::getattr(pyx::getattr(a.self, "_sandbox"_name), "commands"_name);
        py::object run = pyx::apply(pyx::getattr(commands, "run"_name), py::make_tuple(a.cmd), run_kwargs);
        py::object result =
            co_await pyx::call_method(a.global("asyncio"_name), "wait_for"_name, run, "timeout"_kw = effective_timeout);
        py::object duration_ms = pyx::call(a.global("calculate_duration_ms"_name), start_time);
        CommandRun finished = CommandRun::from_python(result);
        bool failed = finished.failed();
        py::object error = failed ? finished.error() : py::object(py::str(""));
        const char* status = failed ? "ERROR" : "SUCCESS";
        set_status(a, status);
        co_return execution_result(a, status, a.cmd, finished.output, finished.stderr_text, error, duration_ms);
    } catch (...) {
        failure.emplace(current_error());
    }
    bool timed_out = failure->matches(PyExc_TimeoutError);
    if (!timed_out && !failure->is_exception()) throw *failure;
    set_status(a, timed_out ? "TIMEOUT" : "ERROR");
    co_return unfinished_result(a, *failure, a.cmd, start_time, effective_timeout);
}

// ---------------------------------------------------------------------------
// Lease, identity, teardown

struct SetTimeout : pyx::Params {
    Arg self = arg("self");
    Arg seconds = arg("seconds");
};
Task<py::object> set_timeout(SetTimeout a) {
    py::object message = py::str("set_timeout(") + py::str(a.seconds) + py::str(") is a no-op for OpenSandbox");
    pyx::call_method(a.global("logger"_name), "debug"_name, message);
    co_return py::none();
}

using pyx::SelfOnly;
py::object sandbox_id(SelfOnly& a) {
    py::object handle = pyx::getattr(a.self, "_sandbox"_name);
    if (handle.is_none()) return py::none();
    py::object id = pyx::getattr(handle, "id"_name, py::none());
    if (pyx::truthy(id)) return id;
    return pyx::getattr(handle, "sandbox_id"_name, py::none());
}

// A kill answered "not found": the sandbox is gone already, typically killed
// by an earlier terminate whose caller was cancelled before the answer came.
bool is_gone(const pyx::Params& a, const pyx::PyError& error) {
    if (!pyx::is_instance(error.value(), a.global("SandboxApiException"_name))) return false;
    py::object status = pyx::getattr(error.value(), "status_code"_name, py::none());
    return !status.is_none() && pyx::compare(status, Py_EQ, 404);
}

struct KillClosure {
    py::object kill;  // the handle's bound kill
};
Task<py::object> kill_unless_gone(pyx::NoParams a, const KillClosure& closure) {
    pyx::Outcome killed = co_await pyx::outcome_of([&] { return pyx::call(closure.kill); });
    if (killed) co_return py::none();
    killed.pass_non_exceptions();
    if (!is_gone(a, killed.error())) killed.rethrow();
    co_return py::none();
}

struct Terminate : pyx::Params {
    Arg self = arg("self");
    Arg timeout = kwonly("timeout", module_global("DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS"));
};
Task<py::object> terminate(Terminate a) {
    py::object handle = pyx::getattr(a.self, "_sandbox"_name);
    if (!pyx::truthy(handle)) co_return py::none();
    set_span_attributes(a, {{span_attr(a, "SANDBOX_ID"), sandbox_id_of(a.self)}});
    // A failure here keeps both handles: the sandbox may still be alive. A
    // sandbox the server no longer knows is not: that kill counts as done.
    py::object kill =
        pyx::make_function(pyx::def("kill", kill_unless_gone, KillClosure{pyx::getattr(handle, "kill"_name)}),
                           a.globals(), "OpenSandbox.terminate.<locals>.kill");
    co_await pyx::call(a.global("terminate_with_retry"_name), kill, "timeout"_kw = a.timeout,
                       "error_message"_kw = a.global("ErrorMessage"_name).attr("SANDBOX_TERMINATE_FAILED"));
    // The sandbox is gone: nothing is left to terminate, and the clients are
    // closed as one shielded task. A client cancelled half-way through its
    // close counts itself closed and would never close its connections.
    py::object interpreter = pyx::getattr(a.self, "_interpreter"_name);
    pyx::setattr(a.self, "_sandbox"_name, py::none());
    pyx::setattr(a.self, "_interpreter"_name, py::none());
    py::object closing = pyx::aio::ensure_future(pyx::call(a.global("_close_clients"_name), interpreter, handle));
    pyx::Outcome closed = co_await pyx::outcome_of([&] { return pyx::aio::shield(closing); });
    if (!closed) {
        closed.pass_non_exceptions();
        // Cancelled meanwhile: the close still finishes (bounded), then the
        // cancellation goes on.
        co_await pyx::call_method(a.self, "_shielded_rollback"_name, closing);
        closed.rethrow();
    }
    co_return py::none();
}

// ---------------------------------------------------------------------------
// Files

struct DownloadFile : pyx::Params {
    Arg self = arg("self");
    Arg file_path = arg("file_path");
    Arg timeout = kwonly("timeout", module_global("DEFAULT_DOWNLOAD_TIMEOUT"));
};
Task<py::object> download_file(DownloadFile a) {
    py::object handle = pyx::getattr(a.self, "_sandbox"_name);
    if (!pyx::truthy(handle)) {
        throw pyx::PyError(pyx::call(a.global("SandboxNotInitializedError"_name),
                                     a.global("ErrorMessage"_name).attr("SANDBOX_NOT_INITIALIZED")));
    }
    set_span_attributes(
        a, {{span_attr(a, "SANDBOX_ID"), sandbox_id_of(a.self)}, {span_attr(a, "FILE_PATH"), a.file_path}});
    py::object effective_timeout =
        pyx::call(a.global("resolve_timeout"_name), a.timeout, a.global("DEFAULT_DOWNLOAD_TIMEOUT"_name));
    pyx::Outcome read = co_await pyx::outcome_of([&] {
        py::object reading = pyx::call_method(pyx::getattr(handle, "files"_name), "read_bytes"_name, a.file_path);
        return pyx::call_method(a.global("asyncio"_name), "wait_for"_name, reading, "timeout"_kw = effective_timeout);
    });
    if (read) {
        set_status(a, "SUCCESS");
        co_return read.value();
    }
    read.pass_non_exceptions();
    if (read.error().matches(PyExc_TimeoutError)) {
        set_status(a, "TIMEOUT");
        py::object message = a.global("DOWNLOAD_TIMEOUT_MESSAGE"_name).attr("format")(a.file_path, effective_timeout);
        py::dict extra;
        extra["error_code"] = a.global("Stage"_name).attr("DOWNLOAD");
        pyx::call_method(a.global("logger"_name), "warning"_name, message, "extra"_kw = extra);
        co_return py::none();
    }
    set_status(a, "ERROR");
    co_return py::none();
}

struct UploadFiles : pyx::Params {
    Arg self = arg("self");
    Arg files = arg("files");
    Arg upload_dir = arg("upload_dir", py::none());
};
Task<py::object> upload_files(UploadFiles a) {
    set_span_attributes(a, {{span_attr(a, "SANDBOX_ID"), sandbox_id_of(a.self)}});
    for (py::handle file_attachment : a.files) {
        py::object attachment = py::reinterpret_borrow<py::object>(file_attachment);
        // One file that cannot be written does not stop the others.
        pyx::Outcome written = co_await pyx::outcome_of([&] {
            py::object sandbox_path =
                pyx::call(a.global("build_upload_path"_name), pyx::getattr(attachment, "filename"_name), a.upload_dir,
                          a.global("Config"_name).attr("UPLOAD_DIR"));
            py::object files = pyx::getattr(pyx::getattr(a.self, "_sandbox"_name), "files"_name);
            return pyx::call_method(files, "write_file"_name, sandbox_path, pyx::getattr(attachment, "data"_name));
        });
        if (!written) written.pass_non_exceptions();
    }
    co_return py::none();
}

// ---------------------------------------------------------------------------
// Module set-up

void import_sdk(py::module_& module) {
    import_provider_sdk(
        "opensandbox and opensandbox-code-interpreter packages are required. "
        "Install them with: pip install 'vorn-sandbox[opensandbox]'",
        [&] {
            module.attr("_OSCiInterpreter") = py::module_::import("code_interpreter").attr("CodeInterpreter");
            pyx::import_from(module, "opensandbox", {"Sandbox"});
            pyx::import_from(module, "opensandbox.config", {"ConnectionConfig"});
            pyx::import_from(module, "opensandbox.config.connection_sync", {"ConnectionConfigSync"});
            pyx::import_from(module, "opensandbox.exceptions",
                             {"PoolAcquireFailedException", "PoolEmptyException", "PoolStateStoreUnavailableException",
                              "SandboxApiException", "SandboxReadyTimeoutException", "SandboxUnhealthyException"});
            pyx::import_from(module, "opensandbox.models.execd", {"ExecutionHandlers", "RunCommandOpts"});
        });
}

// `traced(name, **{SpanAttr.BACKEND: "opensandbox"})(function)`
py::object traced(py::module_& module, const char* span, py::object function) {
    return backend_tracer(module, span, "opensandbox")(function);
}

}  // namespace

void init(py::module_& module) {
    module.attr("__doc__") = py::str("OpenSandbox Code Interpreter Sandbox implementation.");
    pyx::import_module(module, "asyncio");
    pyx::import_module(module, "contextlib");
    pyx::import_module(module, "operator");
    pyx::import_module(module, "time");
    pyx::import_from(module, "collections.abc", {"Callable"});
    pyx::import_from(module, "datetime", {"timedelta"});
    pyx::import_from(module, "typing", {"Any", "Self"});
    import_sdk(module);
    pyx::import_from(module, "kelmo_core.logging", {"LoggerManager"});
    py::object base = pyx::import_from(module, "vorn_sandbox.code_interpreter.base", {"CodeInterpreterSandbox"})
                          .attr("CodeInterpreterSandbox");
    py::module_ constants = pyx::import_from(
        module, "vorn_sandbox.constants",
        {"DEFAULT_DOWNLOAD_TIMEOUT", "DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS", "DOWNLOAD_TIMEOUT_MESSAGE", "Language"});
    module.attr("Config") = constants.attr("OpenSandboxConfig");
    module.attr("ErrorMessage") = constants.attr("OpenSandboxErrorMessage");
    pyx::import_from(module, "vorn_sandbox.errors", {"SandboxNotInitializedError", "SandboxStartError", "Stage"});
    pyx::import_from(module, "vorn_sandbox.models", {"ExecutionResult", "ExecutionStatus", "SandboxFile"});
    pyx::import_from(module, "vorn_sandbox.observability",
                     {"SpanAttr", "SpanName", "set_current_span_attributes", "traced"});
    pyx::import_from(module, "vorn_sandbox.providers.opensandbox.snapshot", {"newest_ready_snapshot_id"});
    pyx::import_from(module, "vorn_sandbox.utils",
                     {"build_upload_path", "calculate_duration_ms", "create_with_retry", "resolve_sandbox_timeout",
                      "resolve_timeout", "terminate_with_retry"});
    pyx::bind_logger(module);
    module.attr("_JUPYTER_PORT") = py::int_(jupyter_port);
    module.attr("_JUPYTER_POLL_INTERVAL") = py::int_(2);
    module.attr("_JUPYTER_PROBE_TIMEOUT") = py::int_(15);
    module.attr("_JUPYTER_TOKEN") = py::str(jupyter_token);
    module.attr("_JUPYTER_HOST") = py::str("http://127.0.0.1:" + std::to_string(jupyter_port));

    pyx::def_function(module,
                      pyx::def("_to_async_handler", to_async_handler)
                          .with_doc("The SDK's awaited stream handler for a per-line callback; None for None."));
    pyx::def_function(module, pyx::def("_close_clients", close_clients)
                                  .with_doc("Closes the interpreter's HTTP clients (None: none), then the sandbox's "
                                            "transport; never raises an Exception."));
    pyx::def_function(module, pyx::def("_teardown_sandbox", teardown_sandbox)
                                  .with_doc("Kills (with retries), then closes, a half-built SDK sandbox; never "
                                            "raises an Exception."));

    pyx::ClassBody body(module, "OpenSandbox");
    body.doc("Implementation of Sandbox interface for OpenSandbox.");
    body.method(pyx::def("__init__", init_instance, pyx::DefiningClass{body.class_cell()})
                    .with_doc("Use OpenSandbox.create(), not this constructor: it starts no sandbox."));
    body.classmethod(pyx::def("_probe_jupyter", probe_jupyter)
                         .with_doc("Polls the sandbox's Jupyter server until it answers or `timeout` seconds "
                                   "pass; silent either way."));
    body.staticmethod(pyx::def("_startup_kwargs", startup_kwargs)
                          .with_doc("Start command and environment for Sandbox.create; takes 'env' out of "
                                    "`kwargs`."));
    body.classmethod(pyx::def("_is_transient_create_error", is_transient_create_error)
                         .with_doc("True for the SDK's readiness, health and pool failures, which another "
                                   "attempt may get past."));
    py::object create_function = body.function(
        pyx::def("create", create)
            .with_doc("Starts a sandbox from an image, a snapshot id or the newest Ready snapshot of a name, "
                      "with transient failures retried."));
    body.attr("create", pyx::builtin("classmethod")(traced(module, "CREATE", create_function)));
    body.classmethod(pyx::def("_create_once", create_once)
                         .with_doc("One creation attempt; a failure after the sandbox exists tears it down."));
    body.staticmethod(pyx::def("_effective_snapshot_id", effective_snapshot_id)
                          .with_doc("The snapshot id to start from: a name resolved to its newest Ready "
                                    "snapshot."));
    body.attr("execute_code",
              traced(module, "EXECUTE_CODE",
                     body.function(pyx::def("execute_code", execute_code)
                                       .with_doc("Runs code in the sandbox's Jupyter kernel; failures inside "
                                                 "and time-outs are results."))));
    body.attr("execute_command",
              traced(module, "EXECUTE_COMMAND",
                     body.function(pyx::def("execute_command", execute_command)
                                       .with_doc("Runs a shell command line through the command daemon."))));
    body.method(pyx::def("_interrupt_kernel", interrupt_kernel)
                    .with_doc("Best-effort interrupt of a kernel execution after a local time-out."));
    body.method(
        pyx::def("set_timeout", set_timeout).with_doc("A sandbox's lifetime is fixed at creation: this only logs."));
    body.property("sandbox_id", pyx::def("sandbox_id", sandbox_id), "The sandbox's id, or None.");
    body.attr("terminate", traced(module, "TERMINATE",
                                  body.function(pyx::def("terminate", terminate)
                                                    .with_doc("Kills the sandbox with retries, closes the "
                                                              "transport, then drops the handles."))));
    body.attr("download_file", traced(module, "DOWNLOAD",
                                      body.function(pyx::def("download_file", download_file)
                                                        .with_doc("The file's bytes, or None when the read "
                                                                  "fails or times out."))));
    body.attr("_upload_files", traced(module, "UPLOAD",
                                      body.function(pyx::def("_upload_files", upload_files)
                                                        .with_doc("Writes the files below the upload "
                                                                  "directory; a failing file is skipped."))));
    module.attr("OpenSandbox") = body.create_abc(py::make_tuple(base));
}

}  // namespace vorn_sandbox::code_interpreter::opensandbox
