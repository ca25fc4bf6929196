// vorn_sandbox.utils: the runtime support that every backend shares — the
// package-install program, time limits and session lifetimes, upload paths,
// durations, and the retry engine for sandbox creation and teardown.
//
// Module globals (asyncio, time, timedelta, the logger, the constants and the
// helpers themselves) are looked up at call time, as Python code would, so
// that callers and tests can patch them.
#include "pyx/annotations.hpp"
#include "pyx/module.hpp"
#include "pyx/object.hpp"
#include "pyx/outcome.hpp"
#include "pyx/params.hpp"
#include "pyx/text.hpp"
#include "vorn_sandbox/modules.hpp"

#include <unordered_set>

namespace py = pybind11;
using namespace pyx::literals;
using pyx::Task;

namespace vorn_sandbox::utils {
namespace {

// ---------------------------------------------------------------------------
// Package-install program

// Runs inside the sandbox, so it is Python text. Formatted with str.format:
// `{packages!r}` and `{pip_unavailable!r}` are its only fields, every other
// brace is doubled.
constexpr const char* install_script = R"PY(import subprocess
import sys
import importlib
import re
import os
import site
from importlib.metadata import distribution, PackageNotFoundError

packages = {packages!r}


def _pip(*args):
    return subprocess.run([sys.executable, "-m", "pip", *args], capture_output=True, text=True)


if _pip("--version").returncode != 0:
    raise RuntimeError({pip_unavailable!r}.format(sys.executable))

result = _pip("install", *packages)
if result.returncode != 0:
    raise RuntimeError((result.stderr or result.stdout).strip()[-2000:])

# pip installs into the user site-packages directory when this interpreter's own
# site-packages is not writable; that directory joins sys.path at start-up only if it
# existed then, so add it now (addsitedir also reads the .pth files pip wrote there).
user_site = site.getusersitepackages() if site.ENABLE_USER_SITE else ""
if user_site and os.path.isdir(user_site):
    site.addsitedir(user_site)

importlib.invalidate_caches()

missing = []
for requirement in packages:
    name = re.split(r"[<>=!~\[; ]", requirement, maxsplit=1)[0].strip()
    if not name or "/" in requirement:
        continue
    try:
        distribution(name)
    except PackageNotFoundError:
        missing.append(name)

if missing:
    raise RuntimeError(f"pip reported success but {{missing}} is not installed for {{sys.executable}}")
)PY";

namespace types = pyx::types;

// `float | timedelta`, optionally `| None`: a lifetime in seconds or as a time span.
py::object lifetime(bool optional) {
    py::object timedelta = py::module_::import("datetime").attr("timedelta");
    return optional ? types::union_of({types::int_(), types::float_(), timedelta, py::none()})
                    : types::union_of({types::int_(), types::float_(), timedelta});
}

// `Callable[[BaseException], bool]`: a retry policy's transient test.
py::object transient_test() {
    return types::callable({types::base_exception()}, types::bool_());
}

struct NormalizeLanguage : pyx::Params {
    Arg language = arg("language").annotated(types::str());
};
py::object normalize_language(NormalizeLanguage& a) {
    py::str normalized = pyx::lower(a.language);
    if (pyx::startswith(normalized, "python"_str.handle())) return "python"_str.object();
    return normalized;
}

struct SupportsAutomaticInstall : pyx::Params {
    Arg language = arg("language").annotated(types::str());
};
py::object supports_automatic_install(SupportsAutomaticInstall& a) {
    py::object key = pyx::call(a.global("_normalize_language"_name), a.language);
    return py::bool_(pyx::contains(a.global("_INSTALLABLE_LANGUAGES"_name), key));
}

struct GetInstallCode : pyx::Params {
    Arg language = arg("language").annotated(types::str());
    Arg packages = arg("packages").annotated(types::list_of(types::str()));
};
py::object get_install_code(GetInstallCode& a) {
    py::object messages = a.global("PackageInstallErrorMessage"_name);
    if (!pyx::truthy(pyx::call(a.global("supports_automatic_install"_name), a.language))) {
        py::object text = messages.attr("UNSUPPORTED_LANGUAGE").attr("format")(a.language, a.language);
        throw pyx::PyError(py::handle(PyExc_ValueError)(text));
    }
    return pyx::call_method(a.global("_INSTALL_SCRIPT"_name), "format"_name, "packages"_kw = a.packages,
                            "pip_unavailable"_kw = messages.attr("PIP_UNAVAILABLE"));
}

// ---------------------------------------------------------------------------
// Time limits, lifetimes, upload paths, durations

struct BuildUploadPath : pyx::Params {
    Arg filename = arg("filename").annotated(types::str());
    Arg upload_dir = arg("upload_dir").annotated(pyx::optional(types::str()));
    Arg default_dir = arg("default_dir").annotated(pyx::optional(types::str()));
};
py::object build_upload_path(BuildUploadPath& a) {
    const py::object& base = a.upload_dir.is_none() ? a.default_dir : a.upload_dir;
    if (base.is_none() || !pyx::truthy(base)) return a.filename;
    return pyx::concat3(pyx::rstrip(base, "/"_str.handle()), "/"_str.handle(), a.filename);
}

struct ResolveTimeout : pyx::Params {
    Arg timeout = arg("timeout").annotated(pyx::optional(types::float_()));
    Arg fallback = arg("default", module_global("DEFAULT_EXECUTION_TIMEOUT")).annotated(types::float_());
};
py::object resolve_timeout(ResolveTimeout& a) {
    if (a.timeout.is_none()) return a.fallback;
    if (pyx::compare(a.timeout, Py_LE, 0)) return py::none();
    return a.timeout;
}

struct ResolveSandboxTimeout : pyx::Params {
    Arg sandbox_timeout = arg("sandbox_timeout", py::none()).annotated(lifetime(true));
    Arg legacy_timeout = kwonly("legacy_timeout", py::none()).annotated(lifetime(true));
    Arg kwargs = kwonly("kwargs", py::none())
                     .annotated(pyx::optional(
                         types::subscript(module_global("MutableMapping"), {types::str(), module_global("Any")})));
    Arg legacy_key = kwonly("legacy_key", py::str("timeout")).annotated(types::str());
    Arg fallback = kwonly("default", module_global("DEFAULT_SANDBOX_TIMEOUT")).annotated(lifetime(false));
};
py::object resolve_sandbox_timeout(ResolveSandboxTimeout& a) {
    // The legacy key leaves the mapping first, even when the call fails below,
    // so the backend never forwards it to its provider a second time.
    py::object popped = py::none();
    if (!a.kwargs.is_none()) popped = pyx::call_method(a.kwargs, "pop"_name, a.legacy_key, py::none());

    py::object value = a.fallback;
    for (py::handle candidate : {py::handle(a.sandbox_timeout), py::handle(a.legacy_timeout), py::handle(popped)}) {
        if (!candidate.is_none()) {
            value = py::reinterpret_borrow<py::object>(candidate);
            break;
        }
    }
    if (py::isinstance(value, a.global("timedelta"_name))) value = pyx::call_method(value, "total_seconds"_name);

    auto reject = [&value]() {
        py::object text = py::str("sandbox timeout must be a positive number of seconds, got {!r}").format(value);
        throw pyx::PyError(py::handle(PyExc_ValueError)(text));
    };
    bool number = (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())) && !PyBool_Check(value.ptr());
    if (!number) reject();
    py::object resolved = pyx::type_object(PyLong_Type)(value);  // inf and nan fail here, with int()'s own errors
    if (resolved <= py::int_(0)) reject();
    return resolved;
}

struct CalculateDurationMs : pyx::Params {
    Arg start_time = arg("start_time").annotated(types::float_());
};
py::object calculate_duration_ms(CalculateDurationMs& a) {
    py::object now = pyx::call_method(a.global("time"_name), "time"_name);
    return pyx::type_object(PyLong_Type)((now - a.start_time) * py::int_(1000));
}

// ---------------------------------------------------------------------------
// Retry engine

// Python links an exception raised while another is being handled to it as
// __context__. The retry test, the log line and the pause belong to the
// handling of the failure, but from C++ the interpreter sees no handler, so
// the link is made here, with CPython's own guard against context cycles.
void link_context(py::handle raised, py::handle handled) {
    if (raised.is(handled) || !py::getattr(raised, "__context__").is_none()) return;
    std::unordered_set<PyObject*> seen{handled.ptr()};
    for (PyObject* current = handled.ptr();;) {
        PyObject* context = PyException_GetContext(current);  // new reference or null
        if (!context) break;
        Py_DECREF(context);  // still owned by `current`
        if (context == raised.ptr()) {
            PyException_SetContext(current, nullptr);
            break;
        }
        if (!seen.insert(context).second) break;
        current = context;
    }
    PyException_SetContext(raised.ptr(), Py_NewRef(handled.ptr()));
}

[[noreturn]] void rethrow_linked(const pyx::PyError& raised, py::handle handled) {
    link_context(raised.value(), handled);
    throw raised;
}

// One step of a cause-chain walk. `state` is [next exception or None, {id: exception}
// of those already given]; the dict keeps them alive, so their ids stay unique. A
// chain that comes back to an exception already given ends there: explicit chaining
// can form a loop, and the walk must still end.
py::object next_cause(py::list state) {
    py::object current = state[0];
    if (current.is_none()) return current;
    py::dict seen = state[1];
    py::object key = py::reinterpret_steal<py::object>(PyLong_FromVoidPtr(current.ptr()));
    if (!key) throw pyx::PyError::fetch();
    if (seen.contains(key)) {
        state[0] = py::none();
        return py::none();
    }
    seen[key] = current;
    state[0] = current.attr("__cause__");
    return current;
}

// `_cause_chain` is lazy like a generator: iter(step, None) over a partial of
// next_cause. Its state lives in Python containers that the cycle collector
// sees, since a frame holding the walk may be reachable from the very
// exception it walks, through that exception's traceback.
struct CauseChain : pyx::Params {
    Arg exc = arg("exc").annotated(types::base_exception());
};
struct CauseChainClosure {
    py::object step;  // next_cause as a Python callable
};
py::object cause_chain(CauseChain& a, const CauseChainClosure& closure) {
    py::list state;
    state.append(a.exc);
    state.append(py::dict());
    py::object advance = py::module_::import("functools").attr("partial")(closure.step, state);
    return pyx::builtin("iter")(advance, py::none());
}

struct RunAttempts : pyx::Params {
    Arg operation = arg("operation").annotated(types::awaitable_factory(types::any()));
    Arg attempts = kwonly("attempts").annotated(types::int_());
    Arg backoff = kwonly("backoff").annotated(types::float_());
    Arg should_retry = kwonly("should_retry").annotated(transient_test());
};
// The attempt numbers, range(1, attempts + 1): counted in C++ when `attempts`
// is a plain int, else taken from Python's own range (which raises what it
// raises for anything else).
class AttemptNumbers {
public:
    explicit AttemptNumbers(const py::object& attempts) {
        int overflow = 0;
        if (PyLong_CheckExact(attempts.ptr())) count_ = PyLong_AsLongLongAndOverflow(attempts.ptr(), &overflow);
        if (!PyLong_CheckExact(attempts.ptr()) || overflow) {
            count_ = -1;
            numbers_ = py::iter(pyx::type_object(PyRange_Type)(py::int_(1), attempts + py::int_(1)));
        }
    }
    // Moves to the next number; false when there is none.
    bool next() {
        if (count_ >= 0) {
            current_ = py::object();
            return ++number_ <= count_;
        }
        PyObject* value = PyIter_Next(numbers_.ptr());
        if (!value) {
            if (PyErr_Occurred()) throw pyx::PyError::fetch();
            return false;
        }
        current_ = py::reinterpret_steal<py::object>(value);
        return true;
    }
    // Whether this is the last attempt: `attempt >= attempts`.
    bool last(const py::object& attempts) { return count_ >= 0 ? number_ >= count_ : current() >= attempts; }
    const py::object& current() {
        if (!current_) current_ = py::int_(number_);
        return current_;
    }

private:
    long long count_ = 0;
    long long number_ = 0;
    py::object numbers_;
    py::object current_;
};

Task<py::object> run_attempts(RunAttempts a) {
    AttemptNumbers attempts(a.attempts);
    while (attempts.next()) {
        pyx::Outcome outcome = co_await pyx::outcome_of([&] { return pyx::call(a.operation); });
        if (outcome) co_return outcome.value();
        // Cancellation, KeyboardInterrupt and SystemExit leave at once.
        outcome.pass_non_exceptions();
        const py::object& failure = outcome.error().value();
        if (attempts.last(a.attempts)) outcome.rethrow();

        bool transient = false;
        try {
            for (py::handle link : pyx::call(a.global("_cause_chain"_name), failure)) {
                if (pyx::truthy(pyx::call(a.should_retry, link))) {
                    transient = true;
                    break;
                }
            }
            if (transient) {
                py::object message =
                    py::str("Sandbox operation retry {}/{} after: {}").format(attempts.current(), a.attempts, failure);
                pyx::call_method(a.global("logger"_name), "info"_name, message);
            }
        } catch (...) {
            rethrow_linked(pyx::to_pyerror(std::current_exception()), failure);
        }
        if (!transient) outcome.rethrow();

        pyx::Outcome paused = co_await pyx::outcome_of(
            [&] { return pyx::call_method(a.global("asyncio"_name), "sleep"_name, a.backoff); });
        if (!paused) rethrow_linked(paused.error(), failure);
    }
    // range() of a count below 1 is empty; _retry_async has refused such a count.
    co_return py::none();
}

struct RetryAsync : pyx::Params {
    Arg operation = arg("operation").annotated(types::awaitable_factory(types::any()));
    Arg attempts = kwonly("attempts").annotated(types::int_());
    Arg backoff = kwonly("backoff").annotated(types::float_());
    Arg should_retry = kwonly("should_retry").annotated(transient_test());
    Arg total_timeout = kwonly("total_timeout", py::none()).annotated(pyx::optional(types::float_()));
};
Task<py::object> retry_async(RetryAsync a) {
    if (pyx::compare(a.attempts, Py_LT, 1)) pyx::raise(PyExc_ValueError, "`attempts` must be at least 1");
    if (pyx::compare(a.backoff, Py_LT, 0)) pyx::raise(PyExc_ValueError, "`backoff` must be non-negative");
    if (!a.total_timeout.is_none() && pyx::compare(a.total_timeout, Py_LE, 0)) {
        pyx::raise(PyExc_ValueError, "`total_timeout` must be positive");
    }
    py::object loop = pyx::call(a.global("_run_attempts"_name), a.operation, "attempts"_kw = a.attempts,
                                "backoff"_kw = a.backoff, "should_retry"_kw = a.should_retry);
    py::object deadline =
        pyx::call_method(a.global("asyncio"_name), "wait_for"_name, loop, "timeout"_kw = a.total_timeout);
    py::object result = co_await std::move(deadline);
    co_return result;
}

py::object accept_every_failure(py::handle) {
    return py::bool_(true);
}

struct KillWithRetry : pyx::Params {
    Arg kill = arg("kill").annotated(types::awaitable_factory(types::any()));
    Arg attempts = kwonly("attempts", py::int_(3)).annotated(types::int_());
    Arg backoff = kwonly("backoff", py::float_(0.5)).annotated(types::float_());
    Arg total_timeout =
        kwonly("total_timeout", module_global("DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS")).annotated(types::float_());
};
Task<py::object> kill_with_retry(KillWithRetry a) {
    // The pauses together stay below half the budget. The guard keeps the
    // division away from a non-positive count; _retry_async refuses those.
    py::object backoff = a.backoff;
    if (a.total_timeout > py::int_(0) && a.attempts >= py::int_(1)) {
        backoff = pyx::builtin("min")(backoff, a.total_timeout / (py::int_(2) * a.attempts));
    }
    py::object accept = py::cpp_function(&accept_every_failure);
    py::object retries =
        pyx::call(a.global("_retry_async"_name), a.kill, "attempts"_kw = a.attempts, "backoff"_kw = backoff,
                  "should_retry"_kw = accept, "total_timeout"_kw = a.total_timeout);
    co_await std::move(retries);
    co_return py::none();
}

struct TerminateWithRetry : pyx::Params {
    Arg kill = arg("kill").annotated(types::awaitable_factory(types::any()));
    Arg timeout = kwonly("timeout").annotated(types::float_());
    Arg error_message = kwonly("error_message").annotated(types::str());
};
Task<py::object> terminate_with_retry(TerminateWithRetry a) {
    if (a.timeout <= py::int_(0)) pyx::raise(PyExc_ValueError, "`timeout` must be positive");
    pyx::Outcome killed = co_await pyx::outcome_of(
        [&] { return pyx::call(a.global("kill_with_retry"_name), a.kill, "total_timeout"_kw = a.timeout); });
    if (killed) co_return py::none();
    killed.pass_non_exceptions();  // a cancelled caller stays cancelled
    const py::object& failure = killed.error().value();
    py::object message = pyx::call_method(a.error_message, "format"_name, failure);
    py::object stage = pyx::getattr(a.global("Stage"_name), "TERMINATE"_name);
    pyx::raise_from(pyx::call(a.global("SandboxTerminateError"_name), message, "stage"_kw = stage), failure);
}

struct CreateWithRetry : pyx::Params {
    Arg create = arg("create").annotated(types::awaitable_factory(types::any()));
    Arg is_transient = kwonly("is_transient").annotated(transient_test());
    Arg attempts = kwonly("attempts", py::int_(3)).annotated(types::int_());
    Arg backoff = kwonly("backoff", py::float_(2.0)).annotated(types::float_());
    Arg total_timeout = kwonly("total_timeout", py::none()).annotated(pyx::optional(types::float_()));
};
struct RetryEngine {
    py::object retry_async;  // this module's own _retry_async
};
Task<py::object> create_with_retry(CreateWithRetry a, const RetryEngine& engine) {
    py::object retry = a.global("_retry_async"_name);
    if (retry.is(engine.retry_async)) {
        // The engine nobody replaced: its body runs here, in this coroutine.
        py::object result = co_await retry_async(
            pyx::params<RetryAsync>(retry, a.create, a.attempts, a.backoff, a.is_transient, a.total_timeout));
        co_return result;
    }
    py::object retries = pyx::call(retry, a.create, "attempts"_kw = a.attempts, "backoff"_kw = a.backoff,
                                   "should_retry"_kw = a.is_transient, "total_timeout"_kw = a.total_timeout);
    py::object result = co_await std::move(retries);
    co_return result;
}

}  // namespace

void init(py::module_& module) {
    module.attr("__doc__") = py::str(
        "Runtime support shared by every sandbox backend: creation and teardown retries, time limits and\n"
        "session lifetimes, upload paths, durations, and the package-install program.");

    // The names a Python module of this content would import.
    pyx::import_module(module, "asyncio");
    pyx::import_module(module, "time");
    pyx::import_from(module, "collections.abc", {"Awaitable", "Callable", "Iterator", "MutableMapping"});
    pyx::import_from(module, "datetime", {"timedelta"});
    pyx::import_from(module, "typing", {"Any"});
    pyx::import_from(module, "kelmo_core.logging", {"LoggerManager"});
    pyx::import_from(module, "vorn_sandbox.constants",
                     {"DEFAULT_EXECUTION_TIMEOUT", "DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS", "DEFAULT_SANDBOX_TIMEOUT",
                      "PackageInstallErrorMessage"});
    pyx::import_from(module, "vorn_sandbox.errors", {"SandboxTerminateError", "Stage"});
    pyx::bind_logger(module);

    py::set installable;
    // Interned, as the literals of a Python module are: a look-up finds them by identity.
    installable.add("python"_str.handle());
    installable.add("py"_str.handle());
    module.attr("_INSTALLABLE_LANGUAGES") = installable;
    module.attr("_INSTALL_SCRIPT") = py::str(install_script);

    pyx::def_function(module, pyx::def("_normalize_language", normalize_language)
                                  .returning(types::str())
                                  .with_doc("Lower-cases a language name; every name beginning with \"python\" "
                                            "becomes \"python\"."));
    pyx::def_function(module, pyx::def("supports_automatic_install", supports_automatic_install)
                                  .returning(types::bool_())
                                  .with_doc("Whether `additional_packages` can be installed automatically for "
                                            "`language` (Python, through pip)."));
    pyx::def_function(module, pyx::def("get_install_code", get_install_code)
                                  .returning(types::str())
                                  .with_doc("Source text of the program that installs `packages` with pip inside "
                                            "the sandbox; ValueError for a language without an installer."));

    pyx::def_function(module, pyx::def("build_upload_path", build_upload_path)
                                  .returning(types::str())
                                  .with_doc("Destination of an uploaded file: `filename` below `upload_dir`, or "
                                            "below `default_dir` when `upload_dir` is None."));
    pyx::def_function(module, pyx::def("resolve_timeout", resolve_timeout)
                                  .returning(pyx::optional(types::float_()))
                                  .with_doc("Effective time limit in seconds: `default` for None, None (no limit) "
                                            "for 0 or less, else `timeout` unchanged."));
    pyx::def_function(module, pyx::def("resolve_sandbox_timeout", resolve_sandbox_timeout)
                                  .returning(types::int_())
                                  .with_doc("Sandbox session lifetime in whole seconds, at least 1, from the first "
                                            "of `sandbox_timeout`, `legacy_timeout`, `kwargs[legacy_key]` (always "
                                            "removed) and `default` that is not None."));
    pyx::def_function(module, pyx::def("calculate_duration_ms", calculate_duration_ms)
                                  .returning(types::int_())
                                  .with_doc("Whole milliseconds of wall-clock time elapsed since `start_time`, a "
                                            "reading of time.time()."));

    // The walk's step function lives in the closure, not in the module namespace.
    pyx::def_function(
        module, pyx::def("_cause_chain", cause_chain, CauseChainClosure{py::cpp_function(&next_cause)})
                    .returning(types::subscript(types::from("collections.abc", "Iterator"), {types::base_exception()}))
                    .with_doc("Iterates over `exc` and then each exception down its __cause__ "
                              "links; ends at None or at an exception already given."));
    pyx::def_function(module, pyx::def("_run_attempts", run_attempts)
                                  .returning(types::any())
                                  .with_doc("Calls `operation` up to `attempts` times, `backoff` seconds apart, "
                                            "while `should_retry` accepts a failure or an exception on its cause "
                                            "chain."));
    py::object engine =
        pyx::def_function(module, pyx::def("_retry_async", retry_async)
                                      .returning(types::any())
                                      .with_doc("Checks the retry policy and runs the attempts under one deadline of "
                                                "`total_timeout` seconds (None: no deadline)."));
    pyx::def_function(module, pyx::def("kill_with_retry", kill_with_retry)
                                  .returning(types::none())
                                  .with_doc("Retries every kill failure within `total_timeout` seconds, the pause "
                                            "clamped so that the pauses take less than half of it."));
    pyx::def_function(module, pyx::def("terminate_with_retry", terminate_with_retry)
                                  .returning(types::none())
                                  .with_doc("Kills with retries under one deadline of `timeout` seconds; a final "
                                            "failure becomes SandboxTerminateError, formatted from `error_message`."));
    pyx::def_function(module, pyx::def("create_with_retry", create_with_retry, RetryEngine{engine})
                                  .returning(types::any())
                                  .with_doc("Creates with retries of transient failures; returns the successful "
                                            "attempt's result or raises the last failure unchanged."));
}

}  // namespace vorn_sandbox::utils
