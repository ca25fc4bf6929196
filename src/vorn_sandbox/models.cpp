// vorn_sandbox.models: execution results, files and the workspace models.
#include "pyx/annotations.hpp"
#include "pyx/classes.hpp"
#include "pyx/object.hpp"
#include "pyx/params.hpp"
#include "vorn_sandbox/modules.hpp"

namespace py = pybind11;
using namespace pyx::literals;

namespace vorn_sandbox::models {
namespace {

py::dict frozen() {
    py::dict config;
    config["frozen"] = true;
    return config;
}

struct FromBytes : pyx::Params {
    Arg cls = arg("cls");
    Arg data = arg("data").annotated(pyx::types::bytes());
    Arg filename = arg("filename").annotated(pyx::types::str());
};
py::object from_bytes(FromBytes& a) {
    return pyx::call(a.cls, "filename"_kw = a.filename, "data"_kw = a.data);
}

struct CreateResult : pyx::Params {
    Arg cls = arg("cls");
    Arg status = arg("status").annotated(module_global("ExecutionStatus"));
    Arg code = arg("code").annotated(pyx::types::str());
    Arg stdout_text = arg("stdout", py::str("")).annotated(pyx::types::str());
    Arg stderr_text = arg("stderr", py::str("")).annotated(pyx::types::str());
    Arg error = arg("error", py::str("")).annotated(pyx::types::str());
    Arg duration_ms = arg("duration_ms", py::none()).annotated(pyx::optional(pyx::types::int_()));
};
py::object create_result(CreateResult& a) {
    // Equality, not identity, and on the argument as passed: a status given as
    // its value string is not SUCCESS.
    bool success = a.status.equal(pyx::getattr(a.global("ExecutionStatus"_name), "SUCCESS"_name));
    return pyx::call(a.cls, "status"_kw = a.status, "code"_kw = a.code, "stdout"_kw = a.stdout_text,
                     "stderr"_kw = a.stderr_text, "text"_kw = pyx::truthy(a.error) ? a.error : a.stdout_text,
                     "error"_kw = a.error, "exit_code"_kw = py::int_(success ? 0 : 1),
                     "duration_ms"_kw = a.duration_ms);
}

}  // namespace

void init(py::module_& module) {
    module.attr("__doc__") = py::str("Results, files and workspace models that cross the sandbox interface.");
    py::object str = pyx::builtin("str"), bytes = pyx::builtin("bytes"), integer = pyx::builtin("int"),
               boolean = pyx::builtin("bool");
    py::object empty = py::str("");

    py::object status =
        pyx::make_enum(py::module_::import("enum").attr("Enum"), module, "ExecutionStatus",
                       {{"SUCCESS", py::str("success")}, {"ERROR", py::str("error")}, {"TIMEOUT", py::str("timeout")}},
                       "Outcome of a run of code or of a command.");
    module.attr("ExecutionStatus") = status;

    pyx::ClassBody file(module, "SandboxFile");
    file.doc("A file written below the upload directory before code runs.")
        .field("filename", str)
        .field("data", bytes)
        .classmethod(pyx::def("from_bytes", from_bytes)
                         .with_doc("Builds a file from raw bytes and the name to write them under."));
    py::object sandbox_file = file.create_model();
    pyx::annotate_return(sandbox_file.attr("__dict__")["from_bytes"].attr("__func__"), sandbox_file);
    module.attr("SandboxFile") = sandbox_file;

    pyx::ClassBody result(module, "ExecutionResult");
    result.doc("Structured result of running code or a shell command.")
        .field("status", status)
        .field("code", str, empty)
        .field("stdout", str, empty)
        .field("stderr", str, empty)
        .field("text", str, empty)
        .field("error", str, empty)
        .field("exit_code", integer, py::int_(0))
        .field("duration_ms", pyx::optional(integer), py::none())
        .classmethod(pyx::def("create", create_result)
                         .with_doc("Builds a result, deriving text (the error, else stdout) and exit_code "
                                   "(0 for SUCCESS, else 1)."));
    py::object execution_result = result.create_model();
    pyx::annotate_return(execution_result.attr("__dict__")["create"].attr("__func__"), execution_result);
    module.attr("ExecutionResult") = execution_result;

    pyx::ClassBody write_request(module, "WorkspaceFileWriteRequest");
    write_request.doc("A bounded byte payload addressed by a workspace-relative path.")
        .attr("model_config", frozen())
        .field("data", bytes)
        .field("max_bytes", pyx::pydantic("PositiveInt"))
        .field("overwrite", boolean, py::bool_(false))
        .field("relative_path", str);
    module.attr("WorkspaceFileWriteRequest") = write_request.create_model();

    pyx::ClassBody write_result(module, "WorkspaceFileWriteResult");
    write_result.doc("Result of a completed, durable bounded write.")
        .attr("model_config", frozen())
        .field("bytes_written", integer)
        .field("duration_ms", pyx::optional(integer), py::none())
        .field("overwritten", boolean)
        .field("path", str);
    module.attr("WorkspaceFileWriteResult") = write_result.create_model();

    pyx::ClassBody command(module, "CommandResult");
    command.doc("Bounded result of one argument-vector command.")
        .attr("model_config", frozen())
        .field("argv", pyx::builtin("tuple")[py::make_tuple(str, py::ellipsis())])
        .field("duration_ms", pyx::optional(integer), py::none())
        .field("error", str, empty)
        .field("exit_code", pyx::optional(integer), py::none())
        .field("status", status)
        .field("stderr", str, empty)
        .field("stderr_byte_count", integer)
        .field("stderr_captured_byte_count", integer)
        .field("stderr_truncated", boolean)
        .field("stderr_byte_count_complete", boolean, py::bool_(true))
        .field("stdout", str, empty)
        .field("stdout_byte_count", integer)
        .field("stdout_captured_byte_count", integer)
        .field("stdout_truncated", boolean)
        .field("stdout_byte_count_complete", boolean, py::bool_(true))
        .field("timed_out", boolean, py::bool_(false));
    module.attr("CommandResult") = command.create_model();

    module.attr("__all__") = pyx::string_list({"CommandResult", "ExecutionResult", "ExecutionStatus", "SandboxFile",
                                               "WorkspaceFileWriteRequest", "WorkspaceFileWriteResult"});
}

}  // namespace vorn_sandbox::models
