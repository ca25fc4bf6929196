// vorn_sandbox.code_interpreter.bedrock: BedrockAgentCoreSandbox, the backend on
// the AWS Bedrock AgentCore Code Interpreter, reached through aioboto3.
//
// The service session starts lazily on the first execution (again after each
// terminate); construction makes no network call. Commands run as generated
// Python scripts in the same session interpreter, because the service offers no
// shell channel of its own.
#include "pyx/aio.hpp"
#include "pyx/annotations.hpp"
#include "pyx/async_for.hpp"
#include "pyx/classes.hpp"
#include "pyx/context.hpp"
#include "pyx/edge.hpp"
#include "pyx/module.hpp"
#include "pyx/object.hpp"
#include "pyx/outcome.hpp"
#include "pyx/params.hpp"
#include "pyx/text.hpp"
#include "vorn_sandbox/backend_tracing.hpp"
#include "vorn_sandbox/code_interpreter/shielded_start.hpp"
#include "vorn_sandbox/code_interpreter/signatures.hpp"
#include "vorn_sandbox/modules.hpp"
#include "vorn_sandbox/observability.hpp"
#include "vorn_sandbox/provider_sdk.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;
using namespace pyx::literals;
using pyx::Task;

namespace vorn_sandbox::code_interpreter::bedrock {
namespace {

namespace types = pyx::types;

// `bytes | None`: what a download yields.
py::object optional_bytes() {
    return pyx::optional(types::bytes());
}
// `Callable[[str], None] | None`: an output callback of the interface.
py::object output_callback() {
    return pyx::optional(types::callable({types::str()}, py::none()));
}

constexpr const char* missing_sdk =
    "The aioboto3 package is required. Install it with: pip install 'vorn-sandbox[bedrock]'";
constexpr const char* credential_pairing =
    "aws_access_key_id and aws_secret_access_key must be supplied together; "
    "aws_session_token is valid only with that pair";

// ---------------------------------------------------------------------------
// Small shared steps

py::object none() {
    return py::none();
}

// `str(value)` as UTF-8, for texts that are ASCII by construction (reprs,
// numbers, constants). Messages that carry a caller's path or a provider's error
// text are formatted by str.format instead: those may hold lone surrogates
// (an undecodable file name), which have no UTF-8 form.
std::string text_of(py::handle value) {
    return py::str(value).cast<std::string>();
}

// `template.format(values...)` for the message classes' positional templates.
template <class... V>
py::object format(py::handle templ, V&&... values) {
    return pyx::call_method(templ, "format"_name, std::forward<V>(values)...);
}

// Whether span attributes set now would be written anywhere. Where not, a call
// site spares itself the values as well as the call (a few microseconds per
// operation, with no span recording in most programs).
template <class P>
bool span_records(const P& a) {
    return observability::span_attributes_wanted(a.global("set_current_span_attributes"_name));
}

// `set_current_span_attributes(**{SpanAttr.<key>: value, ...})`: the keys are not
// identifiers, so the call takes a mapping. Each key is the interned name of a
// SpanAttr member (`"STATUS"_name.handle()`).
template <class P>
void set_span(const P& a, std::initializer_list<std::pair<py::handle, py::object>> attributes) {
    py::object keys = a.global("SpanAttr"_name);
    py::dict values;
    for (const auto& [key, value] : attributes) values[keys.attr(key)] = value;
    pyx::apply(a.global("set_current_span_attributes"_name), py::tuple(), values);
}

template <class P, pyx::FixedString S>
py::dict error_code(const P& a, pyx::Name<S> stage) {
    py::dict extra;
    extra["error_code"] = pyx::getattr(a.global("Stage"_name), stage);
    return extra;
}

template <class P, pyx::FixedString S>
py::object field(const P& a, pyx::Name<S> name) {
    return pyx::getattr(a.global("Field"_name), name);
}

// `mapping.get(key, fallback)`, whatever the mapping's type; an exact dict is
// read in place, as its own `get` would read it.
py::object get(py::handle mapping, py::handle key, py::handle fallback) {
    if (PyDict_CheckExact(mapping.ptr())) {
        PyObject* found = PyDict_GetItemWithError(mapping.ptr(), key.ptr());  // borrowed
        if (!found && PyErr_Occurred()) throw pyx::PyError::fetch();
        return py::reinterpret_borrow<py::object>(found ? found : fallback.ptr());
    }
    return pyx::call_method(mapping, "get"_name, key, fallback);
}
py::object get(py::handle mapping, py::handle key) {
    return get(mapping, key, py::none());
}

bool equal(py::handle left, py::handle right, int op = Py_EQ) {
    int result = PyObject_RichCompareBool(left.ptr(), right.ptr(), op);
    if (result < 0) throw pyx::PyError::fetch();
    return result == 1;
}

// ---------------------------------------------------------------------------
// The module's constants, read at call time through its aliases

template <class P>
py::object interpreter_id(const P& a) {
    return pyx::getattr(a.global("ClientConfig"_name), "CODE_INTERPRETER_ID"_name);
}

template <class P, pyx::FixedString S>
py::object error_message(const P& a, pyx::Name<S> name) {
    return pyx::getattr(a.global("ErrorMessage"_name), name);
}

template <class P, pyx::FixedString S>
py::object status(const P& a, pyx::Name<S> member) {
    return pyx::getattr(a.global("ExecutionStatus"_name), member);
}

// `ExecutionStatus.<member>.value`, as a span records it.
template <class P, pyx::FixedString S>
py::object status_value(const P& a, pyx::Name<S> member) {
    return pyx::getattr(status(a, member), "value"_name);
}

// ---------------------------------------------------------------------------
// Construction

struct Init : pyx::Params {
    Arg self = arg("self");
    Arg region = arg("region", module_global("ClientConfig").attr("DEFAULT_REGION")).annotated(types::str());
    Arg aws_access_key_id = arg("aws_access_key_id", py::none()).annotated(pyx::optional(types::str()));
    Arg aws_secret_access_key = arg("aws_secret_access_key", py::none()).annotated(pyx::optional(types::str()));
    Arg aws_session_token = arg("aws_session_token", py::none()).annotated(pyx::optional(types::str()));
    Arg language = arg("language", module_global("Language").attr("PYTHON")).annotated(types::str());
    Arg session_timeout = arg("session_timeout", py::none()).annotated(pyx::optional(types::int_()));
    Arg sandbox_timeout = arg("sandbox_timeout", py::none()).annotated(pyx::optional(types::int_()));
    Arg aioboto3_session_kwargs =
        arg("aioboto3_session_kwargs", py::none()).annotated(pyx::optional(types::dict_of(types::str(), types::any())));
    Arg additional_packages =
        arg("additional_packages", py::none()).annotated(pyx::optional(types::list_of(types::str())));
};
py::object init_instance(Init& a, const pyx::DefiningClass& defining) {
    pyx::call_method(pyx::super(defining, a.self), "__init__"_name, "language"_kw = a.language,
                     "additional_packages"_kw = a.additional_packages);

    py::object python = pyx::getattr(a.global("Language"_name), "PYTHON"_name);
    if (!equal(pyx::call_method(a.language, "lower"_name), python)) {
        throw pyx::PyError(
            pyx::call(pyx::builtin("ValueError"), format(error_message(a, "UNSUPPORTED_LANGUAGE"_name), a.language)));
    }
    pyx::setattr(a.self, "region"_name, a.region);
    pyx::setattr(a.self, "session_timeout"_name,
                 pyx::call(a.global("resolve_sandbox_timeout"_name), a.sandbox_timeout,
                           "legacy_timeout"_kw = a.session_timeout));
    pyx::call_method(a.self, "_warn_if_session_outlived_by_install"_name);

    // Presence, not content: empty strings count as supplied.
    bool has_access_key = !a.aws_access_key_id.is_none();
    bool has_secret_key = !a.aws_secret_access_key.is_none();
    if (has_access_key != has_secret_key || (!a.aws_session_token.is_none() && !has_access_key)) {
        pyx::raise(PyExc_ValueError, credential_pairing);
    }

    // dict(mapping), a new dict: the caller's mapping is never changed (py::dict(obj) would be the same dict).
    py::dict session_kwargs = pyx::truthy(a.aioboto3_session_kwargs)
                                  ? py::dict(pyx::call(pyx::type_object(PyDict_Type), a.aioboto3_session_kwargs))
                                  : py::dict();
    session_kwargs["region_name"] = a.region;
    for (auto [key, value] : {std::pair{"aws_access_key_id", &a.aws_access_key_id},
                              std::pair{"aws_secret_access_key", &a.aws_secret_access_key},
                              std::pair{"aws_session_token", &a.aws_session_token}}) {
        if (!value->is_none()) session_kwargs[key] = *value;
    }
    pyx::setattr(a.self, "aioboto3_session"_name,
                 pyx::apply(pyx::getattr(a.global("aioboto3"_name), "Session"_name), py::tuple(), session_kwargs));

    pyx::setattr(a.self, "_client"_name, none());
    pyx::setattr(a.self, "_client_context"_name, none());
    pyx::setattr(a.self, "_session_id"_name, none());
    pyx::setattr(a.self, "_is_started"_name, py::bool_(false));
    // The lock that serialises the lazy start, and the event loop it serves: made by the
    // first start that needs it (see start_lock).
    pyx::setattr(a.self, "_start_lock"_name, none());
    pyx::setattr(a.self, "_start_lock_loop"_name, none());
    pyx::call_method(a.global("logger"_name), "info"_name,
                     py::str("BedrockAgentCoreSandbox initialized in region {} (lazy start)").format(a.region));
    return none();
}

py::object warn_if_session_outlived_by_install(SelfOnly& a) {
    py::object packages = pyx::getattr(a.self, "additional_packages"_name);
    if (!pyx::truthy(packages)) return none();
    py::object lifetime = pyx::getattr(a.self, "session_timeout"_name);
    py::object budget = a.global("DEFAULT_INSTALL_TIMEOUT"_name);
    if (equal(lifetime, budget, Py_GE)) return none();
    pyx::call_method(a.global("logger"_name), "warning"_name,
                     py::str("sandbox_timeout={}s is below the {}s install budget, so installing {} may outlive the "
                             "session. Pass sandbox_timeout={} or higher when using additional_packages.")
                         .format(lifetime, budget, packages, a.global("DEFAULT_SANDBOX_TIMEOUT"_name)));
    return none();
}

Task<py::object> set_timeout(SetTimeout a) {
    // A running session keeps the lifetime it started with; the service has no renewal.
    pyx::call_method(a.global("logger"_name), "warning"_name,
                     py::str("set_timeout({}) has no effect on BedrockAgentCoreSandbox. Pass session_timeout to "
                             "__init__ instead.")
                         .format(a.seconds));
    co_return none();
}

py::object sandbox_id(SelfOnly& a) {
    return pyx::getattr(a.self, "_session_id"_name);
}

// ---------------------------------------------------------------------------
// Session lifecycle

// What the start keeps waiting for: `_shielded_rollback(self.terminate())`.
Task<py::object> roll_back(py::object self) {
    py::object teardown = pyx::call_method(self, "terminate"_name);
    co_await pyx::call_method(self, "_shielded_rollback"_name, teardown);
    co_return none();
}

// The lock that serialises the lazy start, so that overlapping first operations share
// one session. An asyncio.Lock belongs to the loop that first waits on it; a sandbox
// used under one loop after another (a loop per job) gets a new lock with each loop.
py::object start_lock(const SelfOnly& a) {
    py::object loop = pyx::aio::get_running_loop();
    py::object lock = pyx::getattr(a.self, "_start_lock"_name);
    if (lock.is_none() || !pyx::getattr(a.self, "_start_lock_loop"_name).is(loop)) {
        lock = pyx::call_method(a.global("asyncio"_name), "Lock"_name);
        pyx::setattr(a.self, "_start_lock"_name, lock);
        pyx::setattr(a.self, "_start_lock_loop"_name, loop);
    }
    return lock;
}

Task<py::object> ensure_started(SelfOnly a) {
    if (pyx::truthy(pyx::getattr(a.self, "_is_started"_name))) co_return none();
    // The install inside the start runs execute_code again; it finds the session
    // marked started above and never reaches the lock it would otherwise wait on.
    co_await pyx::async_with(start_lock(a), [&](py::object) -> Task<py::object> {
        if (!pyx::truthy(pyx::getattr(a.self, "_is_started"_name))) {
            co_await pyx::call_method(a.self, "_start_session"_name);
        }
        co_return none();
    });
    co_return none();
}

// `await context.__aexit__(None, None, None)`. A client that fails to close is
// gone all the same: the failure is logged; a cancellation goes on.
Task<py::object> close_client(py::object context, py::object logger) {
    pyx::Outcome closed =
        co_await pyx::outcome_of([&] { return pyx::call_method(context, "__aexit__"_name, none(), none(), none()); });
    if (!closed) {
        closed.pass_non_exceptions();
        pyx::call_method(logger, "warning"_name,
                         py::str("Error closing client context: {}").format(py::str(closed.error().value())));
    }
    co_return none();
}

// What a start hands over: the client it opened, the context that closes that
// client, and the service's reply.
struct StartedSession {
    py::object client_context;
    py::object client;
    py::object response;

    py::object to_python() const { return py::make_tuple(client_context, client, response); }
    static StartedSession from_python(py::handle started) {
        py::tuple parts = py::reinterpret_borrow<py::tuple>(started);
        return {parts[0], parts[1], parts[2]};
    }
};

struct StartThroughOwnClient : pyx::Params {
    Arg client_context = arg("client_context");
    Arg name = arg("name");
    Arg session_timeout = arg("session_timeout");
};
// The start request, through a client opened for it. The client is the start's
// until the start hands it over with the session: to the sandbox, or, when the
// caller was cancelled meanwhile, to the rollback, however late the service
// answers; a start that fails closes it (an enter that failed half-way too).
// So the sandbox never holds a client with a start in flight for a terminate to
// close under it: botocore would retry the request on a fresh connection that
// nobody closes, and the session made through it would never be stopped.
Task<py::object> start_through_own_client(StartThroughOwnClient a) {
    py::object client;
    pyx::Outcome started = co_await pyx::outcome_of([&]() -> Task<py::object> {
        client = co_await pyx::call_method(a.client_context, "__aenter__"_name);
        py::object response = co_await pyx::call_method(
            client, "start_code_interpreter_session"_name, "codeInterpreterIdentifier"_kw = interpreter_id(a),
            "name"_kw = a.name, "sessionTimeoutSeconds"_kw = a.session_timeout);
        co_return response;
    });
    if (!started) {
        co_await close_client(a.client_context, a.global("logger"_name));
        started.rethrow();
    }
    co_return StartedSession{a.client_context, client, started.value()}.to_python();
}

struct StopStarted : pyx::Params {
    Arg started = arg("started");
};
// The rollback of a start whose caller was cancelled while the service made the
// session: stops the session through the client that started it, then closes
// that client, whether the stop went through or not.
Task<py::object> stop_started_session(StopStarted a) {
    StartedSession started = StartedSession::from_python(a.started);
    pyx::Outcome stopped = co_await pyx::outcome_of([&]() -> Task<py::object> {
        py::object session_id = started.response[field(a, "SESSION_ID"_name)];
        py::object stop =
            pyx::call_method(started.client, "stop_code_interpreter_session"_name,
                             "codeInterpreterIdentifier"_kw = interpreter_id(a), "sessionId"_kw = session_id);
        co_await pyx::aio::wait_for(stop, a.global("DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS"_name));
        pyx::call_method(a.global("logger"_name), "info"_name,
                         py::str("Stopped Bedrock session {}").format(session_id));
        co_return none();
    });
    co_await close_client(started.client_context, a.global("logger"_name));
    if (!stopped) stopped.rethrow();
    co_return none();
}

// Steps 1 to 7 of the start: client, session, bookkeeping.
Task<py::object> open_session(const SelfOnly& a) {
    py::object config = a.global("ClientConfig"_name);
    py::object context = pyx::call_method(pyx::getattr(a.self, "aioboto3_session"_name), "client"_name,
                                          pyx::getattr(config, "AWS_SERVICE_NAME"_name));

    py::object now = pyx::call_method(a.global("time"_name), "time"_name);
    std::string name =
        text_of(pyx::getattr(config, "SESSION_NAME_PREFIX"_name)) + text_of(pyx::call(pyx::builtin("int"), now));
    py::object session_timeout = pyx::getattr(a.self, "session_timeout"_name);
    // A start cancelled in flight may still have made a session, which the service
    // would keep to the end of its lifetime: the request runs behind a shield, and
    // a session it makes after all is stopped again, before the cancellation goes
    // on or, when the service answers after the capped wait, once it answers.
    py::object start_through =
        pyx::make_function(pyx::def("_start_through_own_client", start_through_own_client), a.globals(),
                           "BedrockAgentCoreSandbox._start_session.<locals>._start_through_own_client");
    py::object stop_started =
        pyx::make_function(pyx::def("_stop_started_session", stop_started_session), a.globals(),
                           "BedrockAgentCoreSandbox._start_session.<locals>._stop_started_session");
    StartedSession started = StartedSession::from_python(co_await start_behind_shield(
        a.self, pyx::call(start_through, context, name, session_timeout), stop_started, a.globals()));
    pyx::setattr(a.self, "_client_context"_name, started.client_context);
    pyx::setattr(a.self, "_client"_name, started.client);

    py::object session_id = started.response[field(a, "SESSION_ID"_name)];
    pyx::setattr(a.self, "_session_id"_name, session_id);
    pyx::setattr(a.self, "_is_started"_name, py::bool_(true));
    set_span(a, {{"SANDBOX_ID"_name.handle(), session_id}});
    pyx::call_method(a.global("logger"_name), "info"_name,
                     py::str("Started Bedrock session {} with {}s timeout").format(session_id, session_timeout));
    co_return none();
}

Task<py::object> start_session(SelfOnly a) {
    pyx::Outcome opened = co_await pyx::outcome_of([&] { return open_session(a); });
    if (!opened) {
        const pyx::PyError& failure = opened.error();
        if (failure.matches(pyx::aio::cancelled_error())) {
            co_await roll_back(a.self);
            opened.rethrow();
        }
        opened.pass_non_exceptions();
        py::object message = format(error_message(a, "SESSION_START_FAILED"_name), py::str(failure.value()));
        {
            pyx::Handling handling(failure.value());  // exc_info=True finds the failure
            pyx::call_method(a.global("logger"_name), "error"_name, message, "exc_info"_kw = true,
                             "extra"_kw = error_code(a, "SESSION_START"_name));
        }
        co_await roll_back(a.self);
        pyx::raise_from(pyx::call(a.global("SandboxStartError"_name), message,
                                  "stage"_kw = pyx::getattr(a.global("Stage"_name), "SESSION_START"_name)),
                        failure.value());
    }

    pyx::Outcome installed =
        co_await pyx::outcome_of([&] { return pyx::call_method(a.self, "_install_additional_packages"_name); });
    if (!installed) {
        if (installed.error().is_exception() || installed.error().matches(pyx::aio::cancelled_error())) {
            co_await roll_back(a.self);
        }
        installed.rethrow();
    }
    co_return none();
}

Task<py::object> terminate(Terminate a) {
    if (equal(a.timeout, py::int_(0), Py_LE)) pyx::raise(PyExc_ValueError, "`timeout` must be positive");
    if (!pyx::truthy(pyx::getattr(a.self, "_client_context"_name))) co_return none();
    set_span(a, {{"SANDBOX_ID"_name.handle(), pyx::getattr(a.self, "sandbox_id"_name)}});
    py::object logger = a.global("logger"_name);

    std::optional<pyx::PyError> interrupted;  // a cancellation of the stop, raised after the clean-up
    pyx::Outcome stopped = co_await pyx::outcome_of([&]() -> Task<py::object> {
        py::object client = pyx::getattr(a.self, "_client"_name);
        if (!pyx::truthy(client)) co_return none();
        py::object session_id = pyx::getattr(a.self, "_session_id"_name);
        if (!pyx::truthy(session_id)) co_return none();
        py::object stop =
            pyx::call_method(client, "stop_code_interpreter_session"_name,
                             "codeInterpreterIdentifier"_kw = interpreter_id(a), "sessionId"_kw = session_id);
        co_await pyx::aio::wait_for(stop, a.timeout);
        pyx::call_method(logger, "info"_name, py::str("Stopped Bedrock session {}").format(session_id));
        co_return none();
    });
    if (!stopped) {
        if (stopped.error().is_exception()) {
            // A stopped-or-not session ends at its server-side lifetime anyway.
            pyx::call_method(logger, "warning"_name,
                             format(error_message(a, "SESSION_STOP_FAILED"_name), py::str(stopped.error().value())),
                             "extra"_kw = error_code(a, "TERMINATE"_name));
        } else {
            interrupted = stopped.error();
        }
    }

    py::object context = pyx::getattr(a.self, "_client_context"_name);
    if (pyx::truthy(context)) {
        pyx::Outcome closed = co_await pyx::outcome_of(close_client(context, logger));
        // Cleared below all the same: fields left pointing at a stopped
        // session would make the next execution use it.
        if (!closed && !interrupted) interrupted = closed.error();
    }
    pyx::setattr(a.self, "_is_started"_name, py::bool_(false));
    pyx::setattr(a.self, "_client"_name, none());
    pyx::setattr(a.self, "_client_context"_name, none());
    pyx::setattr(a.self, "_session_id"_name, none());
    if (interrupted) throw *interrupted;
    co_return none();
}

// ---------------------------------------------------------------------------
// Code execution

// What the parser reads of one executeCode event; nullopt for an event without
// structured output (its error flag is then not examined). The texts stay Python
// objects: they pass to the result exactly as the service sent them, so a text
// that is no valid UTF-8 (a lone surrogate) or not a string at all meets the
// result model, not a conversion of ours.
struct CodeOutput {
    py::object stdout_text;
    py::object stderr_text;
    bool flagged = false;   // the result's "isError"
    py::object structured;  // for the exit code of a flagged run without stderr

    template <class P>
    static std::optional<CodeOutput> from_event(const P& a, py::handle event) {
        py::object result = get(event, field(a, "RESULT"_name));
        if (!pyx::truthy(result)) return std::nullopt;
        py::object structured = get(result, field(a, "STRUCTURED_CONTENT"_name));
        if (!pyx::truthy(structured)) return std::nullopt;
        py::handle empty = ""_str.handle();
        py::object stdout_text = get(structured, field(a, "STDOUT"_name), empty);
        py::object stderr_text = get(structured, field(a, "STDERR"_name), empty);
        return CodeOutput{stdout_text, stderr_text, pyx::truthy(get(result, field(a, "IS_ERROR"_name))), structured};
    }

    // A flagged run that wrote no error output failed when it ended with a
    // non-zero exit code (`false`); an absent code or 0 counts as success.
    bool nonzero_exit_code() const {
        py::object code = get(structured, "exitCode"_str.handle());
        return !code.is_none() && equal(code, py::int_(0), Py_NE);
    }
};

bool contains(py::handle text, const char* part) {
    int found = PySequence_Contains(text.ptr(), py::str(part).ptr());
    if (found < 0) throw pyx::PyError::fetch();
    return found == 1;
}

// The line of a flagged run's stderr that names its error: the last one holding
// "Error" or "Exception", stripped; None when no line does. Python's own strip and
// split, so white space is what str.strip takes it to be.
py::object error_line(py::handle stderr_text) {
    py::list lines = pyx::call_method(pyx::call_method(stderr_text, "strip"_name), "split"_name, py::str("\n"));
    for (Py_ssize_t i = py::len(lines); i-- > 0;) {
        py::object line = lines[i];
        if (contains(line, "Error") || contains(line, "Exception")) return pyx::call_method(line, "strip"_name);
    }
    return py::none();
}

struct ParseExecutionResponse : pyx::Params {
    Arg self = arg("self");
    Arg response = arg("response").annotated(pyx::type_object(PyDict_Type));
};
Task<py::object> parse_execution_response(ParseExecutionResponse a) {
    py::object stdout_text = py::str(""), stderr_text = py::str(""), error_msg = py::str("");
    // One frame, no helper coroutine around the walk: every suspension of the
    // client's stream resumes through each frame of the chain.
    std::optional<pyx::PyError> failure;
    try {
        pyx::AsyncFor items(a.response[field(a, "STREAM"_name)]);
        while (std::optional<py::object> item = co_await items.next()) {
            std::optional<CodeOutput> output = CodeOutput::from_event(a, *item);
            if (!output) continue;
            // The last event with structured output wins; output is not accumulated.
            stdout_text = output->stdout_text;
            stderr_text = output->stderr_text;
            if (!output->flagged) continue;
            if (pyx::truthy(stderr_text)) {
                py::object line = error_line(stderr_text);
                if (!line.is_none()) error_msg = line;
                if (!pyx::truthy(error_msg)) error_msg = error_message(a, "EXECUTION_FAILED"_name);
            } else if (!pyx::truthy(error_msg) && output->nonzero_exit_code()) {
                error_msg = error_message(a, "EXECUTION_FAILED"_name);
            }
        }
    } catch (...) {
        failure.emplace(pyx::to_pyerror(std::current_exception()));
    }
    if (failure) {
        if (!failure->is_exception()) throw *failure;
        py::str message(failure->value());
        pyx::call_method(a.global("logger"_name), "error"_name,
                         py::str("Error parsing execution response: {}").format(message));
        error_msg = message;
    }
    co_return py::make_tuple(stdout_text, stderr_text, error_msg);
}

struct ExecuteCode : pyx::Params {
    Arg self = arg("self");
    Arg code = arg("code").annotated(types::str());
    Arg timeout = arg("timeout", py::none()).annotated(pyx::optional(types::float_()));
    Arg files = arg("files", py::none()).annotated(pyx::optional(types::list_of(module_global("SandboxFile"))));
    Arg upload_dir = arg("upload_dir", py::none()).annotated(pyx::optional(types::str()));
    Arg on_stdout = arg("on_stdout", py::none()).annotated(output_callback());
    Arg on_stderr = arg("on_stderr", py::none()).annotated(output_callback());
    Arg kwargs = varkw().annotated(types::any());
};

// `await asyncio.wait_for(awaitable, limit)` for a limit that is None or positive:
// `async with asyncio.timeout(limit): return await awaitable`, which is what
// wait_for runs for such a limit, without its coroutine around it; no limit,
// no timer. Any other limit goes to wait_for itself.
Task<py::object> bounded(py::object awaitable, py::object limit, py::object asyncio) {
    if (limit.is_none()) {
        py::object result = co_await std::move(awaitable);
        co_return result;
    }
    if (!equal(limit, py::int_(0), Py_GT)) {
        py::object result = co_await pyx::call_method(asyncio, "wait_for"_name, awaitable, limit);
        co_return result;
    }
    pyx::AsyncWithBlock timer(pyx::call_method(asyncio, "timeout"_name, limit));
    co_await timer.enter();
    // A py::object is callable to C++, so the awaitable is handed over by a function.
    pyx::Outcome awaited = co_await pyx::outcome_of([&] { return awaitable; });
    if (!awaited) {
        py::object suppressed = co_await timer.exit_raising(awaited.error());
        if (!pyx::truthy(suppressed)) awaited.rethrow();
        co_return none();
    }
    co_await timer.exit_normally();
    co_return awaited.value();
}

Task<py::object> execute_code(ExecuteCode a) {
    co_await pyx::call_method(a.self, "_ensure_started"_name);
    if (span_records(a)) set_span(a, {{"SANDBOX_ID"_name.handle(), pyx::getattr(a.self, "sandbox_id"_name)}});
    py::object effective_timeout = pyx::call(a.global("resolve_timeout"_name), a.timeout);
    py::object start_time = pyx::call_method(a.global("time"_name), "time"_name);
    py::object result_class = a.global("ExecutionResult"_name);

    // Protected: the upload, the bounded invocation and the parse. Written as one
    // frame rather than a helper coroutine, as in the parser.
    std::optional<pyx::PyError> failure;
    try {
        if (pyx::truthy(a.files)) co_await pyx::call_method(a.self, "_upload_files"_name, a.files, a.upload_dir);
        py::dict arguments;
        // The service knows the language by its lower-case name only; the attribute keeps the caller's spelling.
        arguments[field(a, "LANGUAGE"_name)] = pyx::lower(pyx::getattr(a.self, "language"_name));
        arguments[field(a, "CODE"_name)] = a.code;
        py::object invocation = pyx::call_method(
            pyx::getattr(a.self, "_client"_name), "invoke_code_interpreter"_name,
            "codeInterpreterIdentifier"_kw = interpreter_id(a),
            "sessionId"_kw = pyx::getattr(a.self, "_session_id"_name),
            "name"_kw = pyx::getattr(a.global("Operation"_name), "EXECUTE_CODE"_name), "arguments"_kw = arguments);
        // Only the call is bounded: the reply's stream is read afterwards, unbounded.
        py::object response = co_await bounded(invocation, effective_timeout, a.global("asyncio"_name));
        py::object parsed = co_await pyx::call_method(a.self, "_parse_execution_response"_name, response);
        py::object error = parsed[py::int_(2)];
        py::object duration_ms = pyx::call(a.global("calculate_duration_ms"_name), start_time);
        py::object outcome = pyx::truthy(error) ? status(a, "ERROR"_name) : status(a, "SUCCESS"_name);
        if (span_records(a)) set_span(a, {{"STATUS"_name.handle(), pyx::getattr(outcome, "value"_name)}});
        co_return pyx::call_method(result_class, "create"_name, outcome, a.code, "stdout"_kw = parsed[py::int_(0)],
                                   "stderr"_kw = parsed[py::int_(1)], "error"_kw = error,
                                   "duration_ms"_kw = duration_ms);
    } catch (...) {
        failure.emplace(pyx::to_pyerror(std::current_exception()));
    }
    if (!failure->is_exception()) throw *failure;  // cancellation passes: no result, no record
    py::object logger = a.global("logger"_name);
    if (failure->matches(PyExc_TimeoutError)) {
        set_span(a, {{"STATUS"_name.handle(), status_value(a, "TIMEOUT"_name)}});
        py::object duration_ms = pyx::call(a.global("calculate_duration_ms"_name), start_time);
        pyx::call_method(logger, "warning"_name,
                         py::str("Code execution exceeded timeout of {}s").format(effective_timeout));
        co_return pyx::call_method(result_class, "create"_name, status(a, "TIMEOUT"_name), a.code,
                                   "error"_kw = format(error_message(a, "EXECUTION_TIMEOUT"_name), effective_timeout),
                                   "duration_ms"_kw = duration_ms);
    }
    set_span(a, {{"STATUS"_name.handle(), status_value(a, "ERROR"_name)}});
    py::object duration_ms = pyx::call(a.global("calculate_duration_ms"_name), start_time);
    py::str message(failure->value());
    pyx::call_method(logger, "error"_name, py::str("Code execution failed: {}").format(message));
    co_return pyx::call_method(result_class, "create"_name, status(a, "ERROR"_name), a.code, "error"_kw = message,
                               "duration_ms"_kw = duration_ms);
}

// ---------------------------------------------------------------------------
// Shell commands

// The script that runs `cmd` through the session's shell. Every text goes in as a
// Python literal written by CPython's own repr, so quotes, backslashes and
// newlines reach the sandbox unchanged and nothing is shell-quoted here.
std::string command_script(py::handle cmd, py::handle env) {
    std::string script;
    if (pyx::truthy(env)) {
        std::vector<std::string> lines;
        for (py::handle item : pyx::call_method(env, "items"_name)) {
            py::tuple entry = py::reinterpret_borrow<py::tuple>(item);
            lines.push_back("os.environ[" + text_of(py::repr(entry[0])) + "] = " + text_of(py::repr(entry[1])));
        }
        script = "import os\n";
        for (std::size_t i = 0; i < lines.size(); ++i) script += (i ? "\n" : "") + lines[i];
        script += "\n";
    }
    script += "import subprocess\n_r = subprocess.run(" + text_of(py::repr(cmd)) +
              ", shell=True, capture_output=True, text=True)\nprint(_r.stdout, end='')\n"
              "import sys; sys.stderr.write(_r.stderr); sys.exit(_r.returncode)\n";
    return script;
}

Task<py::object> execute_command(ExecuteCommand a) {
    py::str code(command_script(a.cmd, a.env));
    py::object result = co_await pyx::call_method(a.self, "execute_code"_name, code, "timeout"_kw = a.timeout);
    if (span_records(a)) {
        set_span(a, {{"SANDBOX_ID"_name.handle(), pyx::getattr(a.self, "sandbox_id"_name)},
                     {"STATUS"_name.handle(), pyx::getattr(pyx::getattr(result, "status"_name), "value"_name)}});
    }
    co_return result;
}

// ---------------------------------------------------------------------------
// File upload

Task<py::object> upload_files(UploadFiles a) {
    set_span(a, {{"SANDBOX_ID"_name.handle(), pyx::getattr(a.self, "sandbox_id"_name)}});
    py::object build_upload_path = a.global("build_upload_path"_name);
    py::list content;
    for (py::handle file : a.files) {
        py::dict item;
        item[field(a, "PATH"_name)] =
            pyx::call(build_upload_path, pyx::getattr(file, "filename"_name), a.upload_dir, none());
        item[field(a, "BLOB"_name)] = pyx::getattr(file, "data"_name);
        content.append(item);
    }
    py::object logger = a.global("logger"_name);

    pyx::Outcome sent = co_await pyx::outcome_of([&]() -> Task<py::object> {
        py::dict arguments;
        arguments[field(a, "CONTENT"_name)] = content;
        py::object response = co_await pyx::call_method(
            pyx::getattr(a.self, "_client"_name), "invoke_code_interpreter"_name,
            "codeInterpreterIdentifier"_kw = interpreter_id(a),
            "sessionId"_kw = pyx::getattr(a.self, "_session_id"_name),
            "name"_kw = pyx::getattr(a.global("Operation"_name), "WRITE_FILES"_name), "arguments"_kw = arguments);
        // try: read the reply; finally: close it. A reply that breaks off before its end
        // would otherwise keep its connection.
        pyx::Outcome read = co_await pyx::outcome_of([&]() -> Task<py::object> {
            py::object stream = get(response, field(a, "STREAM"_name));
            if (stream.is_none()) co_return none();
            pyx::AsyncFor items(stream);
            while (std::optional<py::object> item = co_await items.next()) {
                py::object result = get(*item, field(a, "RESULT"_name), py::dict());
                if (pyx::truthy(get(result, field(a, "IS_ERROR"_name)))) {
                    pyx::call_method(logger, "warning"_name, py::str("File upload error: {}").format(result));
                }
            }
            co_return none();
        });
        co_await pyx::call_method(a.self, "_close_stream"_name, response);
        if (!read) read.rethrow();
        co_return none();
    });
    if (!sent) {
        // Best effort: the code runs without the files, the warning says why.
        sent.pass_non_exceptions();
        pyx::call_method(logger, "warning"_name, py::str("Failed to upload files: {}").format(sent.error().value()));
    }
    co_return none();
}

// ---------------------------------------------------------------------------
// File download

Task<py::object> download_file(DownloadFile a) {
    if (!pyx::truthy(pyx::getattr(a.self, "_is_started"_name))) {
        throw pyx::PyError(
            pyx::call(a.global("SandboxNotInitializedError"_name), error_message(a, "SESSION_NOT_STARTED"_name)));
    }
    set_span(a, {{"SANDBOX_ID"_name.handle(), pyx::getattr(a.self, "sandbox_id"_name)},
                 {"FILE_PATH"_name.handle(), a.file_path}});
    py::object effective_timeout =
        pyx::call(a.global("resolve_timeout"_name), a.timeout, a.global("DEFAULT_DOWNLOAD_TIMEOUT"_name));

    pyx::Outcome read = co_await pyx::outcome_of([&] {
        return pyx::aio::wait_for(pyx::call_method(a.self, "_read_file"_name, a.file_path), effective_timeout);
    });
    if (read) {
        set_span(a, {{"STATUS"_name.handle(), status_value(a, "SUCCESS"_name)}});
        co_return read.value();
    }
    read.pass_non_exceptions();
    py::object logger = a.global("logger"_name);
    if (read.error().matches(PyExc_TimeoutError)) {
        set_span(a, {{"STATUS"_name.handle(), status_value(a, "TIMEOUT"_name)}});
        pyx::call_method(logger, "warning"_name,
                         format(a.global("DOWNLOAD_TIMEOUT_MESSAGE"_name), a.file_path, effective_timeout),
                         "extra"_kw = error_code(a, "DOWNLOAD"_name));
        co_return none();
    }
    set_span(a, {{"STATUS"_name.handle(), status_value(a, "ERROR"_name)}});
    pyx::call_method(logger, "warning"_name,
                     py::str("Failed to download file {}: {}").format(a.file_path, read.error().value()));
    co_return none();
}

struct ReadFile : pyx::Params {
    Arg self = arg("self");
    Arg file_path = arg("file_path").annotated(types::str());
};
Task<py::object> read_file(ReadFile a) {
    py::dict arguments;
    py::list paths;
    paths.append(a.file_path);
    arguments[field(a, "PATHS"_name)] = paths;
    py::object response = co_await pyx::call_method(
        pyx::getattr(a.self, "_client"_name), "invoke_code_interpreter"_name,
        "codeInterpreterIdentifier"_kw = interpreter_id(a), "sessionId"_kw = pyx::getattr(a.self, "_session_id"_name),
        "name"_kw = pyx::getattr(a.global("Operation"_name), "READ_FILES"_name), "arguments"_kw = arguments);
    // try: return parse; finally: close — on a return, a failure, a cancellation or a time-out.
    pyx::Outcome parsed =
        co_await pyx::outcome_of([&] { return pyx::call_method(a.self, "_parse_file_response"_name, response); });
    co_await pyx::call_method(a.self, "_close_stream"_name, response);
    if (!parsed) parsed.rethrow();
    co_return parsed.value();
}

struct CloseStream : pyx::Params {
    Arg response = arg("response").annotated(pyx::type_object(PyDict_Type));
};
Task<py::object> close_stream(CloseStream a) {
    py::object close = pyx::getattr(get(a.response, field(a, "STREAM"_name)), "close"_name, py::none());
    if (close.is_none()) co_return none();
    // The client's close may be synchronous or a coroutine; both are served.
    pyx::Outcome closed = co_await pyx::outcome_of([&]() -> Task<py::object> {
        py::object returned = pyx::call(close);
        if (pyx::truthy(pyx::call_method(a.global("inspect"_name), "isawaitable"_name, returned))) {
            co_await returned;
        }
        co_return none();
    });
    if (!closed) {
        closed.pass_non_exceptions();
        pyx::call_method(a.global("logger"_name), "warning"_name,
                         py::str("Failed to close response stream: {}").format(closed.error().value()));
    }
    co_return none();
}

struct ContentItem : pyx::Params {
    Arg self = arg("self");
    Arg content_item = arg("content_item").annotated(pyx::type_object(PyDict_Type));
};
py::object extract_image_data(ContentItem& a) {
    if (!equal(get(a.content_item, field(a, "TYPE"_name)), pyx::getattr(a.global("ContentType"_name), "IMAGE"_name)))
        return none();
    return get(a.content_item, field(a, "DATA"_name));
}

py::object extract_resource_data(ContentItem& a) {
    if (equal(get(a.content_item, field(a, "TYPE"_name)), pyx::getattr(a.global("ContentType"_name), "RESOURCE"_name),
              Py_NE))
        return none();
    py::object resource = get(a.content_item, field(a, "RESOURCE"_name), py::dict());
    py::object text = get(resource, field(a, "TEXT"_name));
    if (pyx::truthy(text)) return py::isinstance<py::str>(text) ? pyx::call_method(text, "encode"_name, "utf-8") : text;
    py::object blob = get(resource, field(a, "BLOB"_name));
    if (!pyx::truthy(blob)) return none();
    if (py::isinstance<py::bytes>(blob)) return blob;
    // A string blob is the file's text, not base64 to decode.
    if (py::isinstance<py::str>(blob)) return pyx::call_method(blob, "encode"_name, "utf-8");
    return none();
}

struct ParseFileResponse : pyx::Params {
    Arg self = arg("self");
    Arg response_stream = arg("response_stream").annotated(pyx::type_object(PyDict_Type));
};
Task<py::object> parse_file_response(ParseFileResponse a) {
    pyx::Outcome walked = co_await pyx::outcome_of([&]() -> Task<py::object> {
        py::object stream = get(a.response_stream, field(a, "STREAM"_name));
        if (stream.is_none()) co_return none();
        pyx::AsyncFor items(stream);
        py::object content_key = field(a, "CONTENT"_name);
        while (std::optional<py::object> item = co_await items.next()) {
            py::object result = get(*item, field(a, "RESULT"_name), py::dict());
            int has_content = PySequence_Contains(result.ptr(), content_key.ptr());
            if (has_content < 0) throw pyx::PyError::fetch();
            if (!has_content) continue;
            // The first item that carries data wins; the rest of the stream stays unread.
            for (py::handle content_item : result[content_key]) {
                py::object data = pyx::call_method(a.self, "_extract_image_data"_name, content_item);
                if (pyx::truthy(data)) co_return data;
                data = pyx::call_method(a.self, "_extract_resource_data"_name, content_item);
                if (pyx::truthy(data)) co_return data;
            }
        }
        co_return none();
    });
    if (walked) co_return walked.value();
    walked.pass_non_exceptions();
    pyx::call_method(a.global("logger"_name), "error"_name,
                     py::str("Error parsing file response: {}").format(walked.error().value()));
    co_return none();
}

// ---------------------------------------------------------------------------
// Module

// `traced(name, **{SpanAttr.BACKEND: "bedrock"})(function)`, applied at class creation as a decorator is.
py::object traced(py::module_& module, const char* span, py::object function) {
    return backend_tracer(module, span, "bedrock")(function);
}

void import_sdk(py::module_& module) {
    import_provider_sdk(missing_sdk, [&] { pyx::import_module(module, "aioboto3"); });
}

}  // namespace

void init(py::module_& module) {
    module.attr("__doc__") = py::str(
        "BedrockAgentCoreSandbox: Python code, shell commands and file transfer in "
        "AWS Bedrock AgentCore Code Interpreter sessions, started lazily.");
    import_sdk(module);
    for (const char* name : {"asyncio", "inspect", "time"}) pyx::import_module(module, name);
    pyx::import_from(module, "kelmo_core.logging", {"LoggerManager"});
    py::object root = pyx::import_from(module, "vorn_sandbox.code_interpreter.base", {"CodeInterpreterSandbox"})
                          .attr("CodeInterpreterSandbox");
    py::module_ constants =
        pyx::import_from(module, "vorn_sandbox.constants",
                         {"DEFAULT_DOWNLOAD_TIMEOUT", "DEFAULT_INSTALL_TIMEOUT", "DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS",
                          "DEFAULT_SANDBOX_TIMEOUT", "DOWNLOAD_TIMEOUT_MESSAGE", "Language"});
    module.attr("ContentType") = constants.attr("BedrockAgentCoreSandboxContentType");
    module.attr("ErrorMessage") = constants.attr("BedrockAgentCoreSandboxErrorMessage");
    module.attr("Field") = constants.attr("BedrockAgentCoreSandboxField");
    module.attr("Operation") = constants.attr("BedrockAgentCoreSandboxOperation");
    module.attr("ClientConfig") = constants.attr("BedrockClientConfig");
    pyx::import_from(module, "vorn_sandbox.errors", {"SandboxNotInitializedError", "SandboxStartError", "Stage"});
    pyx::import_from(module, "vorn_sandbox.models", {"ExecutionResult", "ExecutionStatus", "SandboxFile"});
    pyx::import_from(module, "vorn_sandbox.observability",
                     {"SpanAttr", "SpanName", "set_current_span_attributes", "traced"});
    pyx::import_from(module, "vorn_sandbox.utils",
                     {"build_upload_path", "calculate_duration_ms", "resolve_sandbox_timeout", "resolve_timeout"});
    pyx::bind_logger(module);

    pyx::ClassBody body(module, "BedrockAgentCoreSandbox");
    py::object execution_result = module.attr("ExecutionResult");
    auto traced_method = [&](const char* span, pyx::FunctionSpec spec) {
        std::string name = spec.name;
        body.attr(name.c_str(), traced(module, span, body.function(std::move(spec))));
    };
    body.doc(
            "Code-interpreter backend on the AWS Bedrock AgentCore Code Interpreter: Python only; the session "
            "starts on the first execution and again after terminate.")
        .field("region", types::str())
        .field("session_timeout", types::int_())
        .field("aioboto3_session", module.attr("aioboto3").attr("Session"))
        .field("_client", types::any())
        .field("_client_context", types::any())
        .field("_session_id", pyx::optional(types::str()))
        .field("_is_started", types::bool_())
        .method(pyx::def("__init__", init_instance, pyx::DefiningClass{body.class_cell()}).returning(types::none()))
        .method(pyx::def("_warn_if_session_outlived_by_install", warn_if_session_outlived_by_install)
                    .returning(types::none())
                    .with_doc("Warns when the session lifetime is shorter than the package-install budget."))
        .method(pyx::def("_ensure_started", ensure_started)
                    .returning(types::none())
                    .with_doc("Starts the session unless one is running; overlapping first calls share one start."));
    traced_method("CREATE", pyx::def("_start_session", start_session)
                                .returning(types::none())
                                .with_doc("Opens the client, starts a session and installs additional_packages; "
                                          "rolls all of it back on any failure or cancellation."));
    traced_method("EXECUTE_CODE", pyx::def("execute_code", execute_code)
                                      .returning(execution_result)
                                      .with_doc("Runs Python code in the session (starting it when needed) and "
                                                "returns an ExecutionResult; output is not streamed."));
    traced_method("EXECUTE_COMMAND", pyx::def("execute_command", execute_command)
                                         .returning(execution_result)
                                         .with_doc("Runs a shell command line through a generated Python script "
                                                   "in the session interpreter."));
    body.method(pyx::def("set_timeout", set_timeout)
                    .returning(types::none())
                    .with_doc("Has no effect: the session keeps the lifetime it started with; logs a warning."))
        .property("sandbox_id", pyx::def("sandbox_id", sandbox_id).returning(pyx::optional(types::str())),
                  "The running session's identifier, or None.")
        .method(
            pyx::def("_parse_execution_response", parse_execution_response)
                .returning(types::subscript(pyx::type_object(PyTuple_Type), {types::str(), types::str(), types::str()}))
                .with_doc("Standard output, standard error and error text of an executeCode reply."));
    traced_method("UPLOAD", pyx::def("_upload_files", upload_files)
                                .returning(types::none())
                                .with_doc("Writes the files into the session in one writeFiles call; failures are "
                                          "only logged."));
    traced_method("DOWNLOAD", pyx::def("download_file", download_file)
                                  .returning(optional_bytes())
                                  .with_doc("The file's bytes from the running session, or None when the read "
                                            "fails or times out; never starts a session."));
    body.method(pyx::def("_read_file", read_file)
                    .returning(optional_bytes())
                    .with_doc("One readFiles call; its stream is closed in every case."))
        .staticmethod(pyx::def("_close_stream", close_stream)
                          .returning(types::none())
                          .with_doc("Closes a reply's event stream, synchronous or not; failures are logged."))
        .method(pyx::def("_extract_image_data", extract_image_data).returning(optional_bytes()))
        .method(pyx::def("_extract_resource_data", extract_resource_data).returning(optional_bytes()))
        .method(pyx::def("_parse_file_response", parse_file_response)
                    .returning(optional_bytes())
                    .with_doc("The first content item of a readFiles reply that carries data, as bytes."));
    traced_method("TERMINATE", pyx::def("terminate", terminate)
                                   .returning(types::none())
                                   .with_doc("Stops the session, closes the client and clears the session state "
                                             "in every case; failures are logged, not raised."));
    module.attr("BedrockAgentCoreSandbox") = body.create(py::type::of(root), py::make_tuple(root));
}

}  // namespace vorn_sandbox::code_interpreter::bedrock
