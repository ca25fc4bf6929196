// vorn_sandbox.code_interpreter.primitives: the two public workspace
// primitives. Each runs the bootstrap program through the backend's own
// execute_code with the time limit off, takes the runner's one JSON line out of
// the program's output and turns it into a result.
//
// Errors keep the type the caller decides by: the client's refusals and
// unusable output are ValueError, any other error of the backend becomes a
// ValueError with a prefix and the error as its cause, and a cancellation
// terminates the sandbox before it goes on as the very same exception.
#include "pyx/aio.hpp"
#include "pyx/annotations.hpp"
#include "pyx/classes.hpp"
#include "pyx/module.hpp"
#include "pyx/names.hpp"
#include "pyx/object.hpp"
#include "pyx/outcome.hpp"
#include "pyx/params.hpp"
#include "vorn_sandbox/modules.hpp"

#include <string>

namespace py = pybind11;
using namespace pyx::literals;
using pyx::Task;

namespace vorn_sandbox::code_interpreter::primitives {
namespace {

namespace types = pyx::types;

// tuple[str, ...]
py::object names_tuple() {
    return types::subscript(pyx::type_object(PyTuple_Type), {types::str(), py::ellipsis()});
}

constexpr const char* command_failure_prefix = "sandbox command primitive failed: ";
constexpr const char* write_failure_prefix = "sandbox file-write primitive failed: ";

// The failure handling around a primitive's execution and parsing, after the
// cancellation has been dealt with: a ValueError (subclasses included) goes
// on unchanged, any other Exception is wrapped with the primitive's prefix
// and chained as the cause, and what is not an Exception passes.
[[noreturn]] void reraise_as_primitive_failure(const pyx::PyError& error, const char* prefix) {
    if (!error.is_exception() || error.matches(PyExc_ValueError)) throw error;
    PyObject* text = PyObject_Str(error.value().ptr());
    if (!text) throw pyx::PyError::fetch();
    py::object message = py::str(prefix) + py::reinterpret_steal<py::object>(text);
    pyx::raise_from(pyx::call(py::handle(PyExc_ValueError), message), error.value());
}

// The guarded part of a primitive: the execution, the extraction of the reply
// and the module's `parser` global, looked up once the reply is in, applied
// to `parse_subject` and the reply.
Task<py::object> execute_and_parse(const pyx::Params& a, py::object sandbox, py::object program, const char* parser,
                                   py::object parse_subject) {
    py::object execution = pyx::call_method(sandbox, "execute_code"_name, program, "timeout"_kw = 0);
    py::object executed = co_await std::move(execution);
    py::object response = pyx::call(a.global("_primitive_response"_name), executed);
    co_return pyx::call(a.global(parser), parse_subject, response);
}

// Runs the guarded part under one failure handling, whichever step fails: a
// cancellation terminates the sandbox and goes on as the very same
// exception, the rest as reraise_as_primitive_failure says.
Task<py::object> run_guarded(const pyx::Params& a, py::object sandbox, py::object program, const char* prefix,
                             const char* parser, py::object parse_subject) {
    pyx::Outcome outcome =
        co_await pyx::outcome_of([&] { return execute_and_parse(a, sandbox, program, parser, parse_subject); });
    if (outcome) co_return outcome.value();
    if (pyx::aio::is_cancellation(outcome.error())) {
        const pyx::PyError& cancelled = outcome.error();
        try {
            py::object termination = pyx::call(a.global("_terminate_after_cancellation"_name), sandbox);
            co_await std::move(termination);
        } catch (const pyx::PyError& failure) {
            // Raised while starting the termination, it replaces the
            // cancellation, which stays attached as its context.
            py::object context = py::reinterpret_steal<py::object>(PyException_GetContext(failure.value().ptr()));
            if (!context) PyException_SetContext(failure.value().ptr(), cancelled.value().inc_ref().ptr());
            throw;
        }
        outcome.rethrow();
    }
    reraise_as_primitive_failure(outcome.error(), prefix);
}

struct RunWorkspaceCommand : pyx::Params {
    Arg sandbox = arg("sandbox").annotated(module_global("CodeInterpreterSandbox"));
    Arg argv = arg("argv").annotated(types::list_of(types::str()));
    Arg cwd_components = kwonly("cwd_components", py::none()).annotated(pyx::optional(names_tuple()));
    Arg env = kwonly("env", py::none()).annotated(pyx::optional(types::dict_of(types::str(), types::str())));
    Arg env_allowlist = kwonly("env_allowlist", module_global("_DEFAULT_ENV_ALLOWLIST"))
                            .annotated(types::union_of({types::list_of(types::str()), names_tuple()}));
    Arg timeout = kwonly("timeout", module_global("_DEFAULT_TIMEOUT")).annotated(pyx::optional(types::float_()));
    Arg max_output_bytes = kwonly("max_output_bytes", module_global("_MAX_OUTPUT_BYTES")).annotated(types::int_());
    Arg workspace_root =
        kwonly("workspace_root", module_global("_DEFAULT_WORKSPACE_ROOT")).annotated(pyx::optional(types::str()));
};
Task<py::object> run_workspace_command(RunWorkspaceCommand a) {
    // Steps before anything reaches the sandbox are not guarded: what they
    // raise reaches the caller unchanged.
    py::list argv = py::reinterpret_steal<py::list>(PySequence_List(a.argv.ptr()));
    if (!argv) throw pyx::PyError::fetch();
    py::list env_allowlist = py::reinterpret_steal<py::list>(PySequence_List(a.env_allowlist.ptr()));
    if (!env_allowlist) throw pyx::PyError::fetch();
    py::object request =
        pyx::call(a.global("build_command_payload"_name), argv, "cwd_components"_kw = a.cwd_components,
                  "env"_kw = a.env, "env_allowlist"_kw = env_allowlist, "max_output_bytes"_kw = a.max_output_bytes,
                  "timeout"_kw = a.timeout, "workspace_root"_kw = a.workspace_root);
    py::object program = pyx::call(a.global("runner_bootstrap"_name), request);
    py::object result =
        co_await run_guarded(a, a.sandbox, program, command_failure_prefix, "parse_command_response", py::tuple(argv));
    co_return result;
}

struct WriteWorkspaceFile : pyx::Params {
    Arg sandbox = arg("sandbox").annotated(module_global("CodeInterpreterSandbox"));
    Arg request = arg("request").annotated(module_global("WorkspaceFileWriteRequest"));
    Arg workspace_root =
        kwonly("workspace_root", module_global("_DEFAULT_WORKSPACE_ROOT")).annotated(pyx::optional(types::str()));
};
Task<py::object> write_workspace_file(WriteWorkspaceFile a) {
    py::object relative_path = pyx::getattr(a.request, "relative_path"_name);
    py::object data = pyx::getattr(a.request, "data"_name);
    py::object max_bytes = pyx::getattr(a.request, "max_bytes"_name);
    py::object overwrite = pyx::getattr(a.request, "overwrite"_name);
    py::object payload =
        pyx::call(a.global("build_file_write_payload"_name), relative_path, data, "max_bytes"_kw = max_bytes,
                  "overwrite"_kw = overwrite, "workspace_root"_kw = a.workspace_root);
    py::object program = pyx::call(a.global("runner_bootstrap"_name), payload);
    // The payload is inside the program now; the request dict is not needed
    // while the sandbox runs.
    payload = py::object();
    py::object result =
        co_await run_guarded(a, a.sandbox, program, write_failure_prefix, "parse_write_response", relative_path);
    co_return result;
}

// Extracts the one JSON reply line that the runner printed.
struct PrimitiveResponse : pyx::Params {
    Arg result = arg("result").annotated(module_global("ExecutionResult"));
};
py::object primitive_response(PrimitiveResponse& a) {
    py::object status = pyx::getattr(a.result, "status"_name);
    py::object error = pyx::getattr(a.result, "error"_name);
    py::object success = pyx::getattr(a.global("ExecutionStatus"_name), "SUCCESS"_name);
    if (!status.is(success) || pyx::truthy(error)) {
        if (pyx::truthy(error)) throw pyx::PyError(pyx::call(py::handle(PyExc_ValueError), error));
        pyx::raise(PyExc_ValueError, "sandbox did not execute the primitive");
    }
    // str.splitlines knows every line boundary the backends may produce;
    // lines are not trimmed, so only a line that begins with "{" counts.
    py::object lines = pyx::call_method(pyx::getattr(a.result, "stdout"_name), "splitlines"_name);
    py::object reply_line;
    int found = 0;
    for (py::handle line : lines) {
        bool starts_reply = PyUnicode_Check(line.ptr())
                                ? PyUnicode_GET_LENGTH(line.ptr()) > 0 && PyUnicode_READ_CHAR(line.ptr(), 0) == '{'
                                : pyx::truthy(pyx::call_method(line, "startswith"_name, "{"));
        if (starts_reply) {
            reply_line = py::reinterpret_borrow<py::object>(line);
            ++found;
        }
    }
    if (found != 1) pyx::raise(PyExc_ValueError, "expected exactly one JSON primitive response from sandbox output");
    // Only text that is not JSON is malformed; any other error of the parser
    // (a number too long to convert, say) goes on as it is.
    py::object json = a.global("json"_name);
    py::object reply;
    try {
        reply = pyx::call_method(json, "loads"_name, reply_line);
    } catch (const pyx::PyError& error) {
        if (!error.matches(pyx::getattr(json, "JSONDecodeError"_name))) throw;
        pyx::raise_from(pyx::make_exception(PyExc_ValueError, "malformed JSON primitive response from sandbox"),
                        error.value());
    }
    if (!PyDict_Check(reply.ptr())) pyx::raise(PyExc_ValueError, "primitive response must be an object");
    return reply;
}

// Stops the remote execution after a cancellation without masking it: the
// termination runs as a task of its own, shielded from one further
// cancellation of the caller; a third one reaches the termination itself.
// Its failures and cancellations are dropped.
struct TerminateAfterCancellation : pyx::Params {
    Arg sandbox = arg("sandbox").annotated(module_global("CodeInterpreterSandbox"));
};
Task<py::object> terminate_after_cancellation(TerminateAfterCancellation a) {
    py::object asyncio = a.global("asyncio"_name);
    py::object termination =
        pyx::call_method(asyncio, "create_task"_name, pyx::call_method(a.sandbox, "terminate"_name));
    pyx::Outcome shielded =
        co_await pyx::outcome_of([&] { return pyx::call_method(asyncio, "shield"_name, termination); });
    if (!shielded) {
        const pyx::PyError& error = shielded.error();
        if (!pyx::aio::is_cancellation(error) && !error.is_exception()) shielded.rethrow();
        // with contextlib.suppress(BaseException): await termination
        pyx::Outcome dropped = co_await pyx::outcome_of([&] { return termination; });
        (void)dropped;
    }
    co_return py::none();
}

}  // namespace

void init(py::module_& module) {
    module.attr("__doc__") = py::str("Confined workspace commands and file writes over any code-interpreter backend.");
    pyx::import_module(module, "asyncio");
    pyx::import_module(module, "contextlib");
    pyx::import_module(module, "json");
    pyx::import_from(module, "vorn_sandbox.code_interpreter.base", {"CodeInterpreterSandbox"});
    pyx::import_from(module, "vorn_sandbox.models",
                     {"CommandResult", "ExecutionResult", "ExecutionStatus", "WorkspaceFileWriteRequest",
                      "WorkspaceFileWriteResult"});
    pyx::import_from(module, "vorn_sandbox.primitives",
                     {"_MAX_OUTPUT_BYTES", "build_command_payload", "build_file_write_payload",
                      "parse_command_response", "parse_write_response", "runner_bootstrap"});

    module.attr("_DEFAULT_ENV_ALLOWLIST") = py::tuple();
    module.attr("_DEFAULT_TIMEOUT") = py::float_(30.0);
    module.attr("_DEFAULT_WORKSPACE_ROOT") = py::none();
    module.attr("__all__") = pyx::string_list({"run_workspace_command", "write_workspace_file"});

    pyx::def_function(module, pyx::def("run_workspace_command", run_workspace_command)
                                  .with_doc("Runs an exact argument vector beneath the workspace root inside the "
                                            "sandbox and returns its CommandResult; a failed or timed-out command "
                                            "is a result, not an exception.")
                                  .returning(module.attr("CommandResult")));
    pyx::def_function(module, pyx::def("write_workspace_file", write_workspace_file)
                                  .with_doc("Writes one bounded file beneath the workspace root inside the sandbox; "
                                            "every failure of the write raises ValueError.")
                                  .returning(module.attr("WorkspaceFileWriteResult")));
    pyx::def_function(module, pyx::def("_primitive_response", primitive_response)
                                  .with_doc("The one JSON reply that the runner printed, as a dict.")
                                  .returning(types::dict_of(types::str(), pyx::type_object(PyBaseObject_Type))));
    pyx::def_function(module, pyx::def("_terminate_after_cancellation", terminate_after_cancellation)
                                  .with_doc("Terminates the sandbox after a cancellation, behind a shield, "
                                            "dropping the termination's own failures.")
                                  .returning(types::none()));
}

}  // namespace vorn_sandbox::code_interpreter::primitives
