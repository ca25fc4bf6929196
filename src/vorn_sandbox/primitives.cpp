// vorn_sandbox.primitives: the client side of the workspace-primitive
// protocol. It builds the versioned requests, wraps a request and the runner's
// source text into the bootstrap program that a backend's execute_code runs,
// and turns the runner's one-line JSON reply into a result model.
//
// The request text inside the program must be exactly what the sandbox's
// json.loads reads back, and the program exactly its template, so every
// literal is written by CPython's own json.dumps and repr.
#include "pyx/annotations.hpp"
#include "pyx/classes.hpp"
#include "pyx/module.hpp"
#include "pyx/names.hpp"
#include "pyx/object.hpp"
#include "pyx/params.hpp"
#include "vorn_sandbox/modules.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace py = pybind11;
using namespace pyx::literals;

namespace vorn_sandbox::primitives {
namespace {

namespace types = pyx::types;

// tuple[str, ...]: working-directory components and a result's argv.
py::object names_tuple() {
    return types::subscript(pyx::type_object(PyTuple_Type), {types::str(), py::ellipsis()});
}
// dict[str, Any]: a request or a reply.
py::object json_object() {
    return types::dict_of(types::str(), types::any());
}

constexpr const char* runner_data_file = "primitive_runner.py";
constexpr const char* source_suffix = ".py";

// str(value). Messages that quote a caller's value are joined as Python
// text, never through a C++ string, so any str converts as it does in Python
// (a lone surrogate included).
py::object text_of(py::handle value) {
    PyObject* text = PyObject_Str(value.ptr());
    if (!text) throw pyx::PyError::fetch();
    return py::reinterpret_steal<py::object>(text);
}

// raise ValueError(message), the message already Python text.
[[noreturn]] void raise_value_error(py::handle message) {
    throw pyx::PyError(pyx::call(py::handle(PyExc_ValueError), message));
}

// `left > right` with Python's comparison, so an unorderable limit raises
// the TypeError Python would.
bool greater(py::handle left, py::handle right) {
    int result = PyObject_RichCompareBool(left.ptr(), right.ptr(), Py_GT);
    if (result < 0) throw pyx::PyError::fetch();
    return result == 1;
}

// ---------------------------------------------------------------------------
// Requests

bool contains(py::handle text, Py_UCS4 character) {
    Py_ssize_t at = PyUnicode_FindChar(text.ptr(), character, 0, PyUnicode_GET_LENGTH(text.ptr()), 1);
    if (at == -2) throw pyx::PyError::fetch();
    return at >= 0;
}

// One directory name: not empty, not "." or "..", no "/" (a leading one
// included) and no NUL. Compared as code points, so any text can be checked.
bool is_relative_name(py::handle name) {
    if (PyUnicode_GET_LENGTH(name.ptr()) == 0) return false;
    if (PyUnicode_CompareWithASCIIString(name.ptr(), ".") == 0) return false;
    if (PyUnicode_CompareWithASCIIString(name.ptr(), "..") == 0) return false;
    return !contains(name, '/') && !contains(name, 0);
}

struct ValidateCwdComponents : pyx::Params {
    Arg cwd_components = arg("cwd_components").annotated(pyx::optional(names_tuple()));
};
py::object validate_cwd_components(ValidateCwdComponents& a) {
    const py::object& components = a.cwd_components;
    if (components.is_none()) return py::tuple();
    if (!PyTuple_Check(components.ptr()) && !PyList_Check(components.ptr())) {
        pyx::raise(PyExc_ValueError, "cwd_components must be a sequence of strings");
    }
    // Every element's type is checked before any name is.
    py::tuple names = py::reinterpret_steal<py::tuple>(PySequence_Tuple(components.ptr()));
    if (!names) throw pyx::PyError::fetch();
    for (py::handle name : names) {
        if (!PyUnicode_Check(name.ptr())) pyx::raise(PyExc_ValueError, "cwd_components must be a sequence of strings");
    }
    for (py::handle name : names) {
        if (!is_relative_name(name)) {
            pyx::raise(PyExc_ValueError, "cwd_components must be validated workspace-relative names");
        }
    }
    return names;
}

struct BuildCommandPayload : pyx::Params {
    Arg argv = arg("argv").annotated(types::list_of(types::str()));
    Arg cwd_components = kwonly("cwd_components").annotated(pyx::optional(names_tuple()));
    Arg env = kwonly("env").annotated(pyx::optional(types::dict_of(types::str(), types::str())));
    Arg env_allowlist = kwonly("env_allowlist").annotated(types::list_of(types::str()));
    Arg max_output_bytes = kwonly("max_output_bytes").annotated(types::int_());
    Arg timeout = kwonly("timeout").annotated(pyx::optional(types::float_()));
    Arg workspace_root = kwonly("workspace_root").annotated(pyx::optional(types::str()));
};
py::object build_command_payload(BuildCommandPayload& a) {
    py::object limit = a.global("_MAX_OUTPUT_BYTES"_name);
    if (greater(a.max_output_bytes, limit)) {
        raise_value_error(py::str("max_output_bytes must not exceed ") + text_of(limit));
    }
    py::object components = pyx::call(a.global("_validate_cwd_components"_name), a.cwd_components);
    py::dict request;
    request["argv"] = a.argv;
    request["cwd_components"] = py::list(components);
    request["env"] = pyx::truthy(a.env) ? a.env : py::dict();
    request["env_allowlist"] = a.env_allowlist;
    request["max_output_bytes"] = a.max_output_bytes;
    request["operation"] = "command";
    request["timeout"] = a.timeout.is_none() ? a.global("_DEFAULT_TIMEOUT"_name) : a.timeout;
    request["workspace_root"] = a.workspace_root;
    request["version"] = a.global("_PROTOCOL_VERSION"_name);
    return request;
}

struct BuildFileWritePayload : pyx::Params {
    Arg relative_path = arg("relative_path").annotated(types::str());
    Arg data = arg("data").annotated(types::bytes());
    Arg max_bytes = kwonly("max_bytes").annotated(types::int_());
    Arg overwrite = kwonly("overwrite").annotated(types::bool_());
    Arg workspace_root = kwonly("workspace_root").annotated(pyx::optional(types::str()));
};
py::object build_file_write_payload(BuildFileWritePayload& a) {
    py::object limit = a.global("_MAX_WRITE_BYTES"_name);
    if (greater(a.max_bytes, limit)) {
        raise_value_error(py::str("max_bytes must not exceed ") + text_of(limit));
    }
    Py_ssize_t size = PyObject_Size(a.data.ptr());
    if (size < 0) throw pyx::PyError::fetch();
    if (greater(py::int_(size), a.max_bytes)) {
        raise_value_error(py::str("data exceeds configured write limit of ") + text_of(a.max_bytes) +
                          py::str(" bytes"));
    }
    py::object encoded = pyx::call_method(a.global("base64"_name), "b64encode"_name, a.data);
    py::dict request;
    request["data_b64"] = pyx::call_method(encoded, "decode"_name, "ascii"_name.handle());
    request["max_bytes"] = a.max_bytes;
    request["operation"] = "file_write";
    request["overwrite"] = a.overwrite;
    request["path"] = a.relative_path;
    request["workspace_root"] = a.workspace_root;
    request["version"] = a.global("_PROTOCOL_VERSION"_name);
    return request;
}

// ---------------------------------------------------------------------------
// The bootstrap program

// A string that json.dumps (ASCII-escaping) and repr both copy through
// unchanged, character for character: printable ASCII other than the two
// quotes and the backslash. Base64 text always is. Payloads run to 22 MB, so
// the scan is written as byte-wise minimum and maximum reductions, which the
// compiler turns into vector code (a chain of comparisons would not be).
bool is_inert(py::handle text) {
    if (!PyUnicode_IS_ASCII(text.ptr())) return false;
    const auto* chars = static_cast<const std::uint8_t*>(PyUnicode_DATA(text.ptr()));
    Py_ssize_t length = PyUnicode_GET_LENGTH(text.ptr());
    // Distance of each character from a quote, an apostrophe and a backslash
    // (zero on a match), and the highest character above the control range.
    std::uint8_t quote = 0xff, apostrophe = 0xff, backslash = 0xff, highest = 0;
    for (Py_ssize_t i = 0; i < length; ++i) {
        std::uint8_t c = chars[i];
        quote = std::min<std::uint8_t>(quote, c ^ '"');
        apostrophe = std::min<std::uint8_t>(apostrophe, c ^ '\'');
        backslash = std::min<std::uint8_t>(backslash, c ^ '\\');
        highest = std::max<std::uint8_t>(highest, static_cast<std::uint8_t>(c - 0x20));  // controls wrap high
    }
    return quote != 0 && apostrophe != 0 && backslash != 0 && highest <= 0x7e - 0x20;
}

// Large values are kept out of json.dumps and repr, which would scan and copy
// them twice more: each is replaced by a short inert placeholder, the small
// remainder goes through json.dumps and repr, and the value is joined back in
// where its placeholder stands. Because the value is inert, the result is
// the very text that json.dumps and repr of the whole request give.
constexpr Py_ssize_t splice_threshold = 4096;

struct Splice {
    py::object placeholder;
    py::object value;
    Py_ssize_t position = -1;
};

// The request's JSON text as the literal of the program, in pieces to be
// joined: the literal's text with each spliced value in its place.
std::vector<py::object> request_literal(py::handle json, py::handle request) {
    std::vector<Splice> splices;
    py::object skeleton;
    if (PyDict_CheckExact(request.ptr())) {
        PyObject *key, *value;
        Py_ssize_t at = 0;
        while (PyDict_Next(request.ptr(), &at, &key, &value)) {
            if (PyUnicode_CheckExact(value) && PyUnicode_GET_LENGTH(value) >= splice_threshold && is_inert(value)) {
                std::string placeholder = "@vorn-sandbox-splice-" + std::to_string(splices.size()) + "@";
                splices.push_back({py::str(placeholder), py::reinterpret_borrow<py::object>(value)});
            }
        }
        if (!splices.empty()) {
            skeleton = py::reinterpret_steal<py::object>(PyDict_Copy(request.ptr()));
            if (!skeleton) throw pyx::PyError::fetch();
            std::size_t next = 0;
            at = 0;
            while (PyDict_Next(request.ptr(), &at, &key, &value)) {
                if (next < splices.size() && value == splices[next].value.ptr()) {
                    if (PyDict_SetItem(skeleton.ptr(), key, splices[next++].placeholder.ptr()) < 0) {
                        throw pyx::PyError::fetch();
                    }
                }
            }
        }
    }
    if (splices.empty()) return {py::repr(pyx::call_method(json, "dumps"_name, request))};

    py::object literal = py::repr(pyx::call_method(json, "dumps"_name, skeleton));
    Py_ssize_t literal_length = PyUnicode_GET_LENGTH(literal.ptr());
    for (Splice& splice : splices) {
        // The placeholder must stand exactly once, or some other value of the
        // request holds its text; then the whole request goes the plain way.
        Py_ssize_t count = PyUnicode_Count(literal.ptr(), splice.placeholder.ptr(), 0, literal_length);
        if (count < 0) throw pyx::PyError::fetch();
        if (count != 1) return {py::repr(pyx::call_method(json, "dumps"_name, request))};
        splice.position = PyUnicode_Find(literal.ptr(), splice.placeholder.ptr(), 0, literal_length, 1);
        if (splice.position < 0) throw pyx::PyError::fetch();
    }
    std::sort(splices.begin(), splices.end(), [](const Splice& x, const Splice& y) { return x.position < y.position; });
    std::vector<py::object> pieces;
    Py_ssize_t from = 0;
    for (const Splice& splice : splices) {
        pieces.push_back(py::reinterpret_steal<py::object>(PyUnicode_Substring(literal.ptr(), from, splice.position)));
        if (!pieces.back()) throw pyx::PyError::fetch();
        pieces.push_back(splice.value);
        from = splice.position + PyUnicode_GET_LENGTH(splice.placeholder.ptr());
    }
    pieces.push_back(py::reinterpret_steal<py::object>(PyUnicode_Substring(literal.ptr(), from, literal_length)));
    if (!pieces.back()) throw pyx::PyError::fetch();
    return pieces;
}

struct RunnerBootstrap : pyx::Params {
    Arg request = arg("request").annotated(json_object());
};
py::object runner_bootstrap(RunnerBootstrap& a) {
    py::object json = a.global("json"_name);
    std::vector<py::object> request_text = request_literal(json, a.request);

    // Read anew on every call: the runner source is package data, never cached.
    py::object data_file = pyx::call_method(pyx::call(a.global("files"_name), "vorn_sandbox"_name.handle()),
                                            "joinpath"_name, py::str(runner_data_file));
    py::object source = pyx::call_method(data_file, "read_text"_name, "encoding"_kw = "utf-8");
    py::object source_bytes = pyx::call_method(source, "encode"_name, "utf-8");
    py::object source_b64 = pyx::call_method(pyx::call_method(a.global("base64"_name), "b64encode"_name, source_bytes),
                                             "decode"_name, "ascii");

    py::object module_name = a.global("_RUNNER_MODULE"_name);
    py::object file_name = module_name + py::str(source_suffix);
    py::object source_literal = py::repr(source_b64), module_literal = py::repr(module_name);
    py::object file_literal = py::repr(file_name), function_literal = py::repr(a.global("_RUNNER_FUNCTION"_name));

    py::list pieces;
    auto add = [&pieces](py::handle piece) {
        if (PyList_Append(pieces.ptr(), piece.ptr()) < 0) throw pyx::PyError::fetch();
    };
    auto text = [&add](const char* piece) { add(py::str(piece)); };
    text("\nimport base64\n\n_source = base64.b64decode(");
    add(source_literal);
    text(").decode(\"utf-8\")\n_module_globals = {\n    \"__name__\": ");
    add(module_literal);
    text(",\n    \"__file__\": ");
    add(file_literal);
    text(",\n    \"_RUNNER_SOURCE\": _source,\n}\nexec(compile(_source, ");
    add(file_literal);
    text(
        ", \"exec\"), _module_globals)\n_module_globals[\"_RUNNER_SOURCE\"] = _source\nimport json\nimport os\n\n"
        "_request = json.loads(");
    for (const py::object& piece : request_text) add(piece);
    text(
        ")\nif _request.get(\"workspace_root\") is None:\n    _request[\"workspace_root\"] = os.getcwd()\n\n"
        "print(json.dumps(_module_globals[");
    add(function_literal);
    text("](_request)))\n");

    PyObject* program = PyUnicode_Join(py::str("").ptr(), pieces.ptr());
    if (!program) throw pyx::PyError::fetch();
    return py::reinterpret_steal<py::object>(program);
}

// ---------------------------------------------------------------------------
// Replies

struct ExecutionErrorText : pyx::Params {
    Arg message = arg("message").annotated(types::str());
};
py::object execution_error(ExecutionErrorText& a) {
    py::object one_line = pyx::call_method(a.message, "replace"_name, "\n", " ");
    return pyx::call_method(one_line, "strip"_name);
}

struct DecodeBoundedText : pyx::Params {
    Arg encoded = arg("encoded").annotated(types::str());
};
py::object decode_bounded_text(DecodeBoundedText& a) {
    py::object raw = pyx::call_method(a.global("base64"_name), "b64decode"_name, a.encoded, "validate"_kw = true);
    return pyx::call_method(raw, "decode"_name, "utf-8", a.global("_UTF8_ERRORS"_name));
}

// `response.get(key, default)`: replies are plain dicts, but any mapping with
// a get method is read the same way.
py::object field(py::handle response, const char* key, py::handle fallback) {
    return pyx::call_method(response, "get"_name, py::str(key), fallback);
}

// `response[key]`, raising KeyError for a missing key as a dict does.
py::object item(py::handle response, const char* key) {
    PyObject* value = PyObject_GetItem(response.ptr(), py::str(key).ptr());
    if (!value) throw pyx::PyError::fetch();
    return py::reinterpret_steal<py::object>(value);
}

// int(value), with int's own errors for null, lists and non-numeric text.
py::object integer(py::handle value) {
    PyObject* number = PyNumber_Long(value.ptr());
    if (!number) throw pyx::PyError::fetch();
    return py::reinterpret_steal<py::object>(number);
}

// What a command reply says about one output stream, converted in the order
// stderr, then stdout, each in this order.
struct StreamReport {
    py::object text;
    py::object byte_count;
    py::object captured_byte_count;
    bool truncated;
    bool byte_count_complete;

    static StreamReport read(const pyx::Params& a, py::handle response, const std::string& stream) {
        py::object zero = py::int_(0);
        py::object decoded =
            pyx::call(a.global("_decode_bounded_text"_name), field(response, (stream + "_b64").c_str(), py::str("")));
        py::object count = integer(field(response, (stream + "_byte_count").c_str(), zero));
        py::object captured = integer(field(response, (stream + "_captured_byte_count").c_str(), zero));
        bool truncated = pyx::truthy(field(response, (stream + "_truncated").c_str(), py::bool_(false)));
        bool complete = pyx::truthy(field(response, (stream + "_byte_count_complete").c_str(), py::bool_(true)));
        return {decoded, count, captured, truncated, complete};
    }
};

struct ParseCommandResponse : pyx::Params {
    Arg argv = arg("argv").annotated(names_tuple());
    Arg response = arg("response").annotated(json_object());
};
py::object parse_command_response(ParseCommandResponse& a) {
    py::object statuses = a.global("ExecutionStatus"_name);
    // Only the lookup of an unknown value is caught, not a failure to read it.
    py::object status_text = text_of(field(a.response, "status", py::str("")));
    py::object status;
    try {
        status = pyx::call(statuses, status_text);
    } catch (const pyx::PyError& error) {
        if (!error.matches(PyExc_ValueError)) throw;
        status = pyx::getattr(statuses, "ERROR"_name);
    }
    py::object error = pyx::call(a.global("_execution_error"_name), text_of(field(a.response, "error", py::str(""))));
    py::object exit_code = field(a.response, "exit_code", py::none());
    if (exit_code.is_none()) {
        if (status.is(pyx::getattr(statuses, "SUCCESS"_name))) {
            exit_code = py::int_(0);
        } else if (!status.is(pyx::getattr(statuses, "TIMEOUT"_name))) {
            exit_code = py::int_(1);
        }
    }
    py::object duration_ms = field(a.response, "duration_ms", py::none());
    StreamReport err = StreamReport::read(a, a.response, "stderr");
    StreamReport out = StreamReport::read(a, a.response, "stdout");
    bool timed_out = pyx::truthy(field(a.response, "timed_out", py::bool_(false)));
    return pyx::call(a.global("CommandResult"_name), "argv"_kw = a.argv, "duration_ms"_kw = duration_ms,
                     "error"_kw = error, "exit_code"_kw = exit_code, "status"_kw = status, "stderr"_kw = err.text,
                     "stderr_byte_count"_kw = err.byte_count, "stderr_captured_byte_count"_kw = err.captured_byte_count,
                     "stderr_truncated"_kw = err.truncated, "stderr_byte_count_complete"_kw = err.byte_count_complete,
                     "stdout"_kw = out.text, "stdout_byte_count"_kw = out.byte_count,
                     "stdout_captured_byte_count"_kw = out.captured_byte_count, "stdout_truncated"_kw = out.truncated,
                     "stdout_byte_count_complete"_kw = out.byte_count_complete, "timed_out"_kw = timed_out);
}

struct ParseWriteResponse : pyx::Params {
    Arg path = arg("path").annotated(types::str());
    Arg response = arg("response").annotated(json_object());
};
py::object parse_write_response(ParseWriteResponse& a) {
    if (!pyx::truthy(field(a.response, "ok", py::bool_(false)))) {
        py::object error = field(a.response, "error", py::str("primitive write failed"));
        py::object message = pyx::call(a.global("_execution_error"_name), text_of(error));
        raise_value_error(message);
    }
    // A success must carry both counts: item access raises KeyError as a dict does.
    py::object bytes_written = integer(item(a.response, "bytes_written"));
    py::object duration_ms = field(a.response, "duration_ms", py::none());
    bool overwritten = pyx::truthy(item(a.response, "overwritten"));
    return pyx::call(a.global("WorkspaceFileWriteResult"_name), "bytes_written"_kw = bytes_written,
                     "duration_ms"_kw = duration_ms, "overwritten"_kw = overwritten, "path"_kw = a.path);
}

}  // namespace

void init(py::module_& module) {
    module.attr("__doc__") =
        py::str("Client side of the workspace-primitive protocol: requests, the bootstrap program, and replies.");
    pyx::import_module(module, "base64");
    pyx::import_module(module, "json");
    pyx::import_from(module, "importlib.resources", {"files"});
    pyx::import_module(module, "typing");
    pyx::import_from(module, "vorn_sandbox.models", {"CommandResult", "ExecutionStatus", "WorkspaceFileWriteResult"});

    module.attr("_PROTOCOL_VERSION") = py::int_(1);
    module.attr("_RUNNER_MODULE") = py::str("vorn_sandbox_primitive_runner");
    module.attr("_RUNNER_FUNCTION") = py::str("run_primitive");
    module.attr("_MAX_OUTPUT_BYTES") = py::int_(1048576);
    module.attr("_MAX_WRITE_BYTES") = py::int_(16777216);
    module.attr("_UTF8_ERRORS") = py::str("replace");
    module.attr("_DEFAULT_TIMEOUT") = py::float_(30.0);

    pyx::def_function(module, pyx::def("_validate_cwd_components", validate_cwd_components)
                                  .with_doc("The working-directory components, checked as workspace-relative names.")
                                  .returning(names_tuple()));
    pyx::def_function(module, pyx::def("build_command_payload", build_command_payload)
                                  .with_doc("The versioned \"command\" request for an exact argument vector.")
                                  .returning(json_object()));
    pyx::def_function(module, pyx::def("build_file_write_payload", build_file_write_payload)
                                  .with_doc("The versioned \"file_write\" request for bounded bytes.")
                                  .returning(json_object()));
    pyx::def_function(module, pyx::def("runner_bootstrap", runner_bootstrap)
                                  .with_doc("The program that runs the runner source on the request and prints "
                                            "its reply as one JSON line.")
                                  .returning(types::str()));
    pyx::def_function(module, pyx::def("_execution_error", execution_error)
                                  .with_doc("A runner failure text made one line.")
                                  .returning(types::str()));
    pyx::def_function(module, pyx::def("_decode_bounded_text", decode_bounded_text)
                                  .with_doc("Retained output: strict base64, then UTF-8 with replacement.")
                                  .returning(types::str()));
    pyx::def_function(module, pyx::def("parse_command_response", parse_command_response)
                                  .with_doc("The CommandResult of a runner reply; failures and time-outs are data.")
                                  .returning(module.attr("CommandResult")));
    pyx::def_function(module, pyx::def("parse_write_response", parse_write_response)
                                  .with_doc("The WorkspaceFileWriteResult of a runner reply; raises ValueError "
                                            "when the write failed.")
                                  .returning(module.attr("WorkspaceFileWriteResult")));
}

}  // namespace vorn_sandbox::primitives
