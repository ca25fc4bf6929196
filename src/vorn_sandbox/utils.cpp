// vorn_sandbox.utils: the runtime support that every backend shares — the
// package-install program, time limits and session lifetimes, upload paths,
// durations, and the retry engine for sandbox creation and teardown.
//
// Module globals (asyncio, time, timedelta, the logger, the constants and the
// helpers themselves) are looked up at call time, as Python code would, so
// that callers and tests can patch them.
#include "pyx/classes.hpp"
#include "pyx/object.hpp"
#include "vorn_sandbox/modules.hpp"

#include <array>
#include <optional>
#include <unordered_set>

namespace py = pybind11;
using pyx::Args;
using pyx::arg;
using pyx::kwonly;
using pyx::Task;

namespace vorn_sandbox::utils {
namespace {

// The builtin types themselves, without a look-up in builtins.
py::handle python_type(PyTypeObject& type) { return reinterpret_cast<PyObject*>(&type); }

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

py::object normalize_language(Args& a) {
    py::str normalized = a[0].attr("lower")();
    if (pyx::truthy(normalized.attr("startswith")("python"))) return py::str("python");
    return normalized;
}

py::object supports_automatic_install(Args& a) {
    py::object key = a.global("_normalize_language")(a[0]);
    int found = PySequence_Contains(a.global("_INSTALLABLE_LANGUAGES").ptr(), key.ptr());
    if (found < 0) throw pyx::PyError::fetch();
    return py::bool_(found == 1);
}

py::object get_install_code(Args& a) {
    const py::object& language = a[0];
    py::object messages = a.global("PackageInstallErrorMessage");
    if (!pyx::truthy(a.global("supports_automatic_install")(language))) {
        py::object text = messages.attr("UNSUPPORTED_LANGUAGE").attr("format")(language, language);
        throw pyx::PyError(py::handle(PyExc_ValueError)(text));
    }
    return a.global("_INSTALL_SCRIPT")
        .attr("format")(py::arg("packages") = a[1], py::arg("pip_unavailable") = messages.attr("PIP_UNAVAILABLE"));
}

// ---------------------------------------------------------------------------
// Time limits, lifetimes, upload paths, durations

py::object build_upload_path(Args& a) {
    const py::object& filename = a[0];
    py::object base = a[1].is_none() ? a[2] : a[1];
    if (base.is_none() || !pyx::truthy(base)) return filename;
    return py::str("{}/{}").format(base.attr("rstrip")("/"), filename);
}

py::object resolve_timeout(Args& a) {
    const py::object& timeout = a[0];
    if (timeout.is_none()) return a[1];
    if (timeout <= py::int_(0)) return py::none();
    return timeout;
}

py::object resolve_sandbox_timeout(Args& a) {
    // a: sandbox_timeout, legacy_timeout, kwargs, legacy_key, default
    // The legacy key leaves the mapping first, even when the call fails below,
    // so the backend never forwards it to its provider a second time.
    py::object popped = py::none();
    if (!a[2].is_none()) popped = a[2].attr("pop")(a[3], py::none());

    py::object value = a[4];
    for (const py::object& candidate : {a[0], a[1], popped}) {
        if (!candidate.is_none()) {
            value = candidate;
            break;
        }
    }
    if (py::isinstance(value, a.global("timedelta"))) value = value.attr("total_seconds")();

    auto reject = [&value]() {
        py::object text = py::str("sandbox timeout must be a positive number of seconds, got {!r}").format(value);
        throw pyx::PyError(py::handle(PyExc_ValueError)(text));
    };
    bool number = (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())) && !PyBool_Check(value.ptr());
    if (!number) reject();
    py::object resolved = python_type(PyLong_Type)(value);  // inf and nan fail here, with int()'s own errors
    if (resolved <= py::int_(0)) reject();
    return resolved;
}

py::object calculate_duration_ms(Args& a) {
    py::object now = a.global("time").attr("time")();
    return python_type(PyLong_Type)((now - a[0]) * py::int_(1000));
}

// ---------------------------------------------------------------------------
// Retry engine

// Keyword names of the engine's calls to its own helpers and to asyncio,
// interned once. A bare pointer, deliberately never released: nothing is left
// to destroy after the interpreter has gone.
PyObject* keyword_names(std::initializer_list<const char*> names) {
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(names.size()));
    if (!tuple) throw pyx::PyError::fetch();
    Py_ssize_t index = 0;
    for (const char* name : names) {
        PyObject* text = PyUnicode_InternFromString(name);
        if (!text) throw pyx::PyError::fetch();
        PyTuple_SET_ITEM(tuple, index++, text);
    }
    return tuple;
}

// `callable(*positional, **keywords)`, the last len(names) of `arguments` being
// the keyword values, in one vectorcall: no dict is built on the way.
py::object call_with_keywords(py::handle callable, std::initializer_list<py::handle> arguments, PyObject* names) {
    std::array<PyObject*, 8> values{};
    auto keywords = static_cast<std::size_t>(PyTuple_GET_SIZE(names));
    if (arguments.size() > values.size() || arguments.size() < keywords) {
        pyx::raise(PyExc_SystemError, "call_with_keywords: argument count out of range");
    }
    std::size_t count = 0;
    for (py::handle argument : arguments) values[count++] = argument.ptr();
    PyObject* result = PyObject_Vectorcall(callable.ptr(), values.data(), count - keywords, names);
    if (!result) throw pyx::PyError::fetch();
    return py::reinterpret_steal<py::object>(result);
}

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

[[noreturn]] void rethrow_linked(std::exception_ptr raised, py::handle handled) {
    pyx::PyError error = pyx::to_pyerror(raised);
    link_context(error.value(), handled);
    throw error;
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
py::object cause_chain(const py::object& step, Args& a) {
    py::list state;
    state.append(a[0]);
    state.append(py::dict());
    py::object advance = py::module_::import("functools").attr("partial")(step, state);
    return pyx::builtin("iter")(advance, py::none());
}

Task<py::object> run_attempts(Args a) {
    // a: operation, attempts, backoff, should_retry
    const py::object& operation = a[0];
    const py::object& attempts = a[1];
    py::object numbers = python_type(PyRange_Type)(py::int_(1), attempts + py::int_(1));
    for (py::handle number : numbers) {
        py::object attempt = py::reinterpret_borrow<py::object>(number);
        std::optional<pyx::PyError> caught;
        try {
            py::object result = co_await operation();
            co_return result;
        } catch (...) {
            pyx::PyError error = pyx::to_pyerror(std::current_exception());
            // Cancellation, KeyboardInterrupt and SystemExit leave at once.
            if (!error.is_exception()) throw error;
            caught = std::move(error);
        }
        const py::object failure = caught->value();
        if (attempt >= attempts) throw *caught;

        bool transient = false;
        try {
            py::object should_retry = a[3];
            for (py::handle link : a.global("_cause_chain")(failure)) {
                if (pyx::truthy(should_retry(link))) {
                    transient = true;
                    break;
                }
            }
            if (transient) {
                py::object message =
                    py::str("Sandbox operation retry {}/{} after: {}").format(attempt, attempts, failure);
                a.global("logger").attr("info")(message);
            }
        } catch (...) {
            rethrow_linked(std::current_exception(), failure);
        }
        if (!transient) throw *caught;

        std::exception_ptr interrupted;
        try {
            co_await a.global("asyncio").attr("sleep")(a[2]);
        } catch (...) {
            interrupted = std::current_exception();
        }
        if (interrupted) rethrow_linked(interrupted, failure);
    }
    // range() of a count below 1 is empty; _retry_async has refused such a count.
    co_return py::none();
}

Task<py::object> retry_async(Args a) {
    // a: operation, attempts, backoff, should_retry, total_timeout
    const py::object& attempts = a[1];
    const py::object& backoff = a[2];
    const py::object& total_timeout = a[4];
    if (attempts < py::int_(1)) pyx::raise(PyExc_ValueError, "`attempts` must be at least 1");
    if (backoff < py::int_(0)) pyx::raise(PyExc_ValueError, "`backoff` must be non-negative");
    if (!total_timeout.is_none() && total_timeout <= py::int_(0)) {
        pyx::raise(PyExc_ValueError, "`total_timeout` must be positive");
    }
    static PyObject* const loop_names = keyword_names({"attempts", "backoff", "should_retry"});
    static PyObject* const deadline_names = keyword_names({"timeout"});
    py::object loop = call_with_keywords(a.global("_run_attempts"), {a[0], attempts, backoff, a[3]}, loop_names);
    // Built before the co_await: GCC cannot keep a braced list alive across a suspension.
    py::object wait_for = a.global("asyncio").attr("wait_for");
    py::object deadline = call_with_keywords(wait_for, {loop, total_timeout}, deadline_names);
    py::object result = co_await deadline;
    co_return result;
}

py::object accept_every_failure(py::handle) { return py::bool_(true); }

Task<py::object> kill_with_retry(Args a) {
    // a: kill, attempts, backoff, total_timeout
    const py::object& attempts = a[1];
    const py::object& total_timeout = a[3];
    py::object backoff = a[2];
    // The pauses together stay below half the budget. The guard keeps the
    // division away from a non-positive count; _retry_async refuses those.
    if (total_timeout > py::int_(0) && attempts >= py::int_(1)) {
        backoff = pyx::builtin("min")(backoff, total_timeout / (py::int_(2) * attempts));
    }
    static PyObject* const names = keyword_names({"attempts", "backoff", "should_retry", "total_timeout"});
    py::object accept = py::cpp_function(&accept_every_failure);
    py::object retries =
        call_with_keywords(a.global("_retry_async"), {a[0], attempts, backoff, accept, total_timeout}, names);
    co_await retries;
    co_return py::none();
}

Task<py::object> terminate_with_retry(Args a) {
    // a: kill, timeout, error_message
    const py::object& timeout = a[1];
    if (timeout <= py::int_(0)) pyx::raise(PyExc_ValueError, "`timeout` must be positive");
    std::optional<pyx::PyError> failed;
    try {
        co_await a.global("kill_with_retry")(a[0], py::arg("total_timeout") = timeout);
    } catch (...) {
        pyx::PyError error = pyx::to_pyerror(std::current_exception());
        if (!error.is_exception()) throw error;  // a cancelled caller stays cancelled
        failed = std::move(error);
    }
    if (failed) {
        py::object message = a[2].attr("format")(failed->value());
        py::object stage = a.global("Stage").attr("TERMINATE");
        py::object error = a.global("SandboxTerminateError")(message, py::arg("stage") = stage);
        pyx::raise_from(error, failed->value());
    }
    co_return py::none();
}

Task<py::object> create_with_retry(Args a) {
    // a: create, is_transient, attempts, backoff, total_timeout
    static PyObject* const names = keyword_names({"attempts", "backoff", "should_retry", "total_timeout"});
    py::object retries = call_with_keywords(a.global("_retry_async"), {a[0], a[2], a[3], a[1], a[4]}, names);
    py::object result = co_await retries;
    co_return result;
}

}  // namespace

void init(py::module_& module) {
    module.attr("__doc__") = py::str(
        "Runtime support shared by every sandbox backend: creation and teardown retries, time limits and\n"
        "session lifetimes, upload paths, durations, and the package-install program.");

    // The names a Python module of this content would import.
    module.attr("asyncio") = py::module_::import("asyncio");
    module.attr("time") = py::module_::import("time");
    py::module_ abc = py::module_::import("collections.abc");
    for (const char* name : {"Awaitable", "Callable", "Iterator", "MutableMapping"}) module.attr(name) = abc.attr(name);
    module.attr("timedelta") = py::module_::import("datetime").attr("timedelta");
    module.attr("Any") = py::module_::import("typing").attr("Any");
    py::object manager = py::module_::import("kelmo_core.logging").attr("LoggerManager");
    module.attr("LoggerManager") = manager;
    py::module_ constants = py::module_::import("vorn_sandbox.constants");
    for (const char* name : {"DEFAULT_EXECUTION_TIMEOUT", "DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS",
                             "DEFAULT_SANDBOX_TIMEOUT", "PackageInstallErrorMessage"}) {
        module.attr(name) = constants.attr(name);
    }
    py::module_ errors = py::module_::import("vorn_sandbox.errors");
    module.attr("SandboxTerminateError") = errors.attr("SandboxTerminateError");
    module.attr("Stage") = errors.attr("Stage");

    module.attr("logger") = manager().attr("get_logger")(module.attr("__name__"));

    py::set installable;
    installable.add(py::str("python"));
    installable.add(py::str("py"));
    module.attr("_INSTALLABLE_LANGUAGES") = installable;
    module.attr("_INSTALL_SCRIPT") = py::str(install_script);

    pyx::def_function(module, pyx::def("_normalize_language", {arg("language")}, normalize_language)
                                  .with_doc("Lower-cases a language name; every name beginning with \"python\" "
                                            "becomes \"python\"."));
    pyx::def_function(module, pyx::def("supports_automatic_install", {arg("language")}, supports_automatic_install)
                                  .with_doc("Whether `additional_packages` can be installed automatically for "
                                            "`language` (Python, through pip)."));
    pyx::def_function(module, pyx::def("get_install_code", {arg("language"), arg("packages")}, get_install_code)
                                  .with_doc("Source text of the program that installs `packages` with pip inside "
                                            "the sandbox; ValueError for a language without an installer."));

    pyx::def_function(module, pyx::def("build_upload_path", {arg("filename"), arg("upload_dir"), arg("default_dir")},
                                       build_upload_path)
                                  .with_doc("Destination of an uploaded file: `filename` below `upload_dir`, or "
                                            "below `default_dir` when `upload_dir` is None."));
    pyx::def_function(module, pyx::def("resolve_timeout",
                                       {arg("timeout"), arg("default", constants.attr("DEFAULT_EXECUTION_TIMEOUT"))},
                                       resolve_timeout)
                                  .with_doc("Effective time limit in seconds: `default` for None, None (no limit) "
                                            "for 0 or less, else `timeout` unchanged."));
    pyx::def_function(module, pyx::def("resolve_sandbox_timeout",
                                       {arg("sandbox_timeout", py::none()), kwonly("legacy_timeout", py::none()),
                                        kwonly("kwargs", py::none()), kwonly("legacy_key", py::str("timeout")),
                                        kwonly("default", constants.attr("DEFAULT_SANDBOX_TIMEOUT"))},
                                       resolve_sandbox_timeout)
                                  .with_doc("Sandbox session lifetime in whole seconds, at least 1, from the first "
                                            "of `sandbox_timeout`, `legacy_timeout`, `kwargs[legacy_key]` (always "
                                            "removed) and `default` that is not None."));
    pyx::def_function(module, pyx::def("calculate_duration_ms", {arg("start_time")}, calculate_duration_ms)
                                  .with_doc("Whole milliseconds of wall-clock time elapsed since `start_time`, a "
                                            "reading of time.time()."));

    // The walk's step function lives in the closure, not in the module namespace.
    py::object step = py::cpp_function(&next_cause);
    pyx::def_function(module, pyx::def("_cause_chain", {arg("exc")},
                                       [step](Args& a) { return cause_chain(step, a); })
                                  .with_doc("Iterates over `exc` and then each exception down its __cause__ "
                                            "links; ends at None or at an exception already given."));
    pyx::def_function(module, pyx::def_async("_run_attempts",
                                             {arg("operation"), kwonly("attempts"), kwonly("backoff"),
                                              kwonly("should_retry")},
                                             run_attempts)
                                  .with_doc("Calls `operation` up to `attempts` times, `backoff` seconds apart, "
                                            "while `should_retry` accepts a failure or an exception on its cause "
                                            "chain."));
    pyx::def_function(module, pyx::def_async("_retry_async",
                                             {arg("operation"), kwonly("attempts"), kwonly("backoff"),
                                              kwonly("should_retry"), kwonly("total_timeout", py::none())},
                                             retry_async)
                                  .with_doc("Checks the retry policy and runs the attempts under one deadline of "
                                            "`total_timeout` seconds (None: no deadline)."));
    pyx::def_function(module, pyx::def_async("kill_with_retry",
                                             {arg("kill"), kwonly("attempts", py::int_(3)),
                                              kwonly("backoff", py::float_(0.5)),
                                              kwonly("total_timeout",
                                                     constants.attr("DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS"))},
                                             kill_with_retry)
                                  .with_doc("Retries every kill failure within `total_timeout` seconds, the pause "
                                            "clamped so that the pauses take less than half of it."));
    pyx::def_function(module, pyx::def_async("terminate_with_retry",
                                             {arg("kill"), kwonly("timeout"), kwonly("error_message")},
                                             terminate_with_retry)
                                  .with_doc("Kills with retries under one deadline of `timeout` seconds; a final "
                                            "failure becomes SandboxTerminateError, formatted from `error_message`."));
    pyx::def_function(module, pyx::def_async("create_with_retry",
                                             {arg("create"), kwonly("is_transient"), kwonly("attempts", py::int_(3)),
                                              kwonly("backoff", py::float_(2.0)), kwonly("total_timeout", py::none())},
                                             create_with_retry)
                                  .with_doc("Creates with retries of transient failures; returns the successful "
                                            "attempt's result or raises the last failure unchanged."));
}

}  // namespace vorn_sandbox::utils
