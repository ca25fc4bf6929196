// vorn_sandbox.constants: the shared defaults, message templates and provider
// configuration of the package. Other modules import these names instead of
// retyping a value, so every text here is part of what callers see.
//
// Only the standard library is imported: this module must load before any
// other module of the package and without any provider SDK.
#include "pyx/classes.hpp"
#include "pyx/object.hpp"
#include "pyx/params.hpp"
#include "vorn_sandbox/modules.hpp"

#include <initializer_list>
#include <utility>

namespace vorn_sandbox::constants {

namespace py = pybind11;

namespace {

constexpr const char* module_doc = "Shared defaults, message templates and provider configuration constants.";

// A namespace of text constants: a class whose only base is object, with the
// members in the given order after its docstring.
py::object text_constants(py::module_& module, const char* qualname, const char* doc,
                          std::initializer_list<std::pair<const char*, const char*>> members) {
    pyx::ClassBody body(module, qualname);
    body.doc(doc);
    for (const auto& [name, value] : members) body.attr(name, py::str(value));
    return body.create_plain();
}

struct PoolExtension : pyx::Params {
    Arg pool_ref = annotated(arg("pool_ref"), pyx::type_object(PyUnicode_Type));
};
py::object pool_extension(PoolExtension& a) {
    py::dict extension;
    extension["poolRef"] = a.pool_ref;
    return extension;
}

py::object str_enum(py::module_& module, py::handle base, const char* qualname, const char* doc,
                    std::initializer_list<std::pair<const char*, const char*>> members) {
    std::vector<std::pair<std::string, py::object>> items;
    for (const auto& [name, value] : members) items.emplace_back(name, py::str(value));
    return pyx::make_enum(base, module, qualname, items, doc);
}

}  // namespace

void init(py::module_& module) {
    module.doc() = module_doc;

    // Bound as `from enum import StrEnum` would bind it; the enumerations below derive from it.
    py::object str_enum_base = py::module_::import("enum").attr("StrEnum");
    module.attr("StrEnum") = str_enum_base;

    // Module-level defaults. Time values are whole seconds, kept as int.
    py::str upload_dir("/files");
    module.attr("DEFAULT_UPLOAD_DIR") = upload_dir;
    module.attr("DEFAULT_EXECUTION_TIMEOUT") = py::int_(30);
    module.attr("DEFAULT_INSTALL_TIMEOUT") = py::int_(300);
    module.attr("DEFAULT_SANDBOX_TIMEOUT") = py::int_(600);
    module.attr("DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS") = py::int_(10);
    // Deliberately its own literal, not DEFAULT_EXECUTION_TIMEOUT: the two may diverge.
    module.attr("DEFAULT_DOWNLOAD_TIMEOUT") = py::int_(30);
    module.attr("DOWNLOAD_TIMEOUT_MESSAGE") = py::str("Download of {} exceeded timeout of {} seconds");
    // One image for both the E2B default template and OpenSandbox sandboxes, so
    // code behaves the same on either provider. It carries the OpenSandbox
    // command daemon, the code-interpreter start script and Python with pip.
    py::str sandbox_image("ghcr.io/vorn-sandbox/code-interpreter:base");
    module.attr("DEFAULT_SANDBOX_IMAGE") = sandbox_image;

    module.attr("Language") = str_enum(module, str_enum_base, "Language",
                                       "Programming languages supported by the code sandbox.", {{"PYTHON", "python"}});

    module.attr("PackageInstallErrorMessage") = text_constants(
        module, "PackageInstallErrorMessage",
        "Error messages used when installing `additional_packages` into a running sandbox.",
        {
            {"UNSUPPORTED_LANGUAGE",
             "`additional_packages` cannot install packages for language '{}': automatic installs cover "
             "Python (pip) only. The sandbox still executes '{}' normally \u2014 install packages yourself "
             "via `execute_command(...)`."},
            {"INSTALL_FAILED", "Failed to install additional packages {}: {}"},
            {"NON_PYTHON_SKIPPED",
             "Skipping automatic Python setup for language '{}': `additional_packages` installs cover "
             "Python (pip) only. {}The sandbox still executes '{}' normally \u2014 install packages "
             "yourself via `execute_command(...)`."},
            // The trailing blank separates it from the sentence that follows in NON_PYTHON_SKIPPED.
            {"PACKAGES_DROPPED", "{} was NOT installed. "},
            {"PIP_UNAVAILABLE",
             "pip is not available in the sandbox interpreter '{}'. Automatic installs of "
             "`additional_packages` require pip \u2014 use a sandbox image that ships pip, or install "
             "packages yourself via `execute_command(...)`."},
        });

    module.attr("E2BConfig") = text_constants(module, "E2BConfig", "Configuration defaults for E2B.",
                                              {{"DEFAULT_TEMPLATE_ALIAS", "vornsandbox-base"}});

    module.attr("BedrockClientConfig") =
        text_constants(module, "BedrockClientConfig", "Configuration for the Bedrock client.",
                       {
                           {"AWS_SERVICE_NAME", "bedrock-agentcore"},
                           {"CODE_INTERPRETER_ID", "aws.codeinterpreter.v1"},
                           {"DEFAULT_REGION", "us-east-1"},
                           {"SESSION_NAME_PREFIX", "bedrock-sandbox-"},
                       });

    module.attr("BedrockAgentCoreSandboxOperation") = text_constants(
        module, "BedrockAgentCoreSandboxOperation", "Operations supported by the Bedrock AgentCore sandbox.",
        {
            {"EXECUTE_CODE", "executeCode"},
            {"WRITE_FILES", "writeFiles"},
            {"READ_FILES", "readFiles"},
        });

    module.attr("BedrockAgentCoreSandboxField") =
        text_constants(module, "BedrockAgentCoreSandboxField", "Fields used by the Bedrock AgentCore sandbox.",
                       {
                           {"STREAM", "stream"},
                           {"RESULT", "result"},
                           {"SESSION_ID", "sessionId"},
                           {"IS_ERROR", "isError"},
                           {"CONTENT", "content"},
                           {"TYPE", "type"},
                           {"TEXT", "text"},
                           {"DATA", "data"},
                           {"BLOB", "blob"},
                           {"RESOURCE", "resource"},
                           {"PATHS", "paths"},
                           {"PATH", "path"},
                           {"LANGUAGE", "language"},
                           {"CODE", "code"},
                           {"STRUCTURED_CONTENT", "structuredContent"},
                           {"STDOUT", "stdout"},
                           {"STDERR", "stderr"},
                       });

    module.attr("BedrockAgentCoreSandboxContentType") =
        str_enum(module, str_enum_base, "BedrockAgentCoreSandboxContentType",
                 "Content types used by the Bedrock AgentCore sandbox.",
                 {{"TEXT", "text"}, {"IMAGE", "image"}, {"RESOURCE", "resource"}, {"BLOB", "blob"}});

    {
        pyx::ClassBody config(module, "OpenSandboxConfig");
        py::handle builtins_str = reinterpret_cast<PyObject*>(&PyUnicode_Type);
        py::object dict_of_str = py::reinterpret_borrow<py::object>(
            reinterpret_cast<PyObject*>(&PyDict_Type))[py::make_tuple(builtins_str, builtins_str)];

        config
            .doc("Configuration defaults for OpenSandbox.")
            // The very objects bound at module level, so the two names cannot drift apart.
            .attr("DEFAULT_IMAGE", sandbox_image)
            .attr("DEFAULT_DOMAIN", py::str("localhost:8080"))
            .attr("DEFAULT_PROTOCOL", py::str("http"))
            .attr("DEFAULT_READY_TIMEOUT", py::int_(60))
            .attr("UPLOAD_DIR", upload_dir)
            // The server replaces the image's own entrypoint; without this start
            // command the sandbox would never launch its Jupyter server. A list,
            // because it is handed to the SDK as is.
            .attr("DEFAULT_CI_ENTRYPOINT",
                  [] {
                      py::list entrypoint;
                      entrypoint.append(py::str("bash"));
                      entrypoint.append(py::str("/opt/opensandbox/code-interpreter.sh"));
                      return entrypoint;
                  }())
            .staticmethod(pyx::def("pool_extension", pool_extension)
                              .with_doc("The `extensions` argument of sandbox creation that pins the sandbox to "
                                        "the pool `pool_ref`.")
                              .returning(dict_of_str));
        module.attr("OpenSandboxConfig") = config.create_plain();
    }

    module.attr("OpenSandboxErrorMessage") = text_constants(
        module, "OpenSandboxErrorMessage", "Error messages used by OpenSandbox.",
        {
            {"SANDBOX_NOT_INITIALIZED", "Sandbox is not initialized"},
            {"SANDBOX_START_FAILED", "Failed to start OpenSandbox: {}"},
            {"SANDBOX_TERMINATE_FAILED", "Failed to terminate OpenSandbox: {}"},
            {"EXECUTION_TIMEOUT", "Execution exceeded timeout of {} seconds"},
            {"EXECD_NOT_REACHABLE",
             "Image '{}' does not appear to have the OpenSandbox execd daemon. Use an image that includes "
             "the opensandbox runtime (e.g. opensandbox/code-interpreter:v1.0.2)."},
        });

    module.attr("BedrockAgentCoreSandboxErrorMessage") = text_constants(
        module, "BedrockAgentCoreSandboxErrorMessage", "Error messages used by the Bedrock AgentCore sandbox.",
        {
            {"EXECUTION_FAILED", "Execution failed"},
            {"UNSUPPORTED_LANGUAGE", "Bedrock AgentCore only supports Python, got: {}"},
            {"SESSION_START_FAILED", "Failed to start Bedrock session: {}"},
            {"SESSION_NOT_STARTED", "Sandbox is not started"},
            {"SESSION_STOP_FAILED", "Error stopping session: {}"},
            {"EXECUTION_TIMEOUT", "Execution exceeded timeout of {} seconds"},
        });
}

}  // namespace vorn_sandbox::constants
