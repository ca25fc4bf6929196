// vorn_sandbox.template.opensandbox: OpenSandboxTemplateBuilder. A template is
// a named snapshot of a disposable build sandbox; its name, never a snapshot
// id, is the reference handed out. All of it is synchronous and blocks.
#include "pyx/classes.hpp"
#include "pyx/module.hpp"
#include "pyx/object.hpp"
#include "pyx/params.hpp"
#include "vorn_sandbox/backend_tracing.hpp"
#include "vorn_sandbox/modules.hpp"
#include "vorn_sandbox/provider_sdk.hpp"

namespace py = pybind11;
using namespace pyx::literals;

namespace vorn_sandbox::template_::opensandbox {
namespace {

constexpr const char* module_doc =
    "OpenSandbox sandbox template builder.\n"
    "\n"
    "OpenSandbox cannot build an image from a Dockerfile; its templates are snapshots. The builder\n"
    "starts a disposable sandbox from a base image, installs pip packages into it, snapshots it\n"
    "under the template id, waits until the snapshot is 'Ready' and answers the snapshot's name\n"
    "as the template reference. OpenSandbox.create(snapshot_name=...) resolves that name to the\n"
    "newest Ready snapshot at each creation. spec.dockerfile is ignored.";

constexpr const char* class_doc =
    "Template builder for an OpenSandbox server: a template is a persistent snapshot.\n"
    "\n"
    "spec.template_id is the snapshot name, the stable handle, and the value of the returned\n"
    "template_ref; OpenSandbox.create(snapshot_name=...) resolves it to the newest 'Ready' snapshot\n"
    "id through newest_ready_snapshot_id, so the reference survives rebuilds. spec.image is the\n"
    "base image to snapshot from, with optional spec.registry_auth; the deprecated\n"
    "spec.base_template is the fallback; spec.dockerfile is ignored. supports_build is True.";

pyx::PyError current_error() {
    return pyx::to_pyerror(std::current_exception());
}

// Annotations, evaluated when the class is made, as a class body's would be.
py::object str_type() {
    return pyx::builtin("str");
}
py::object optional_str() {
    return pyx::optional(str_type());
}
py::object str_pair() {
    return pyx::builtin("tuple")[py::make_tuple(str_type(), str_type())];
}

// Lets a failure of the ordinary error family be handled; anything else
// (an interrupt) leaves as it came.
pyx::PyError handled_error() {
    pyx::PyError error = current_error();
    if (!error.is_exception()) throw error;
    return error;
}

void warn(const pyx::Params& a, const py::object& message) {
    pyx::call_method(a.global("logger"_name), "warning"_name, message);
}
void inform(const pyx::Params& a, const py::object& message) {
    pyx::call_method(a.global("logger"_name), "info"_name, message);
}

// Managers hold an HTTP transport each: released when the operation that
// made one is done. SandboxManagerSync.close never raises; a replacement
// that does must not hide the operation's own outcome.
void close_quietly(const py::object& manager) {
    try {
        pyx::call_method(manager, "close"_name);
    } catch (...) {
        handled_error();
    }
}

// A field of the TemplateSpec read without pydantic's deprecation warning: the
// builder looking at a deprecated field is not the caller using it.
py::object quiet_field(const py::object& spec, const char* name) {
    py::object fields = pyx::getattr(spec, "__dict__"_name, py::none());
    if (fields.is_none()) return pyx::getattr(spec, name, py::none());
    return pyx::call_method(fields, "get"_name, py::str(name));
}

// The texts of a message list, trailing line feeds removed, one per line.
py::object joined_texts(const py::object& messages) {
    py::str line_feed("\n");
    py::list texts;
    if (pyx::truthy(messages)) {
        for (py::handle message : messages)
            texts.append(pyx::call_method(pyx::getattr(message, "text"_name), "rstrip"_name, line_feed));
    }
    return pyx::call_method(line_feed, "join"_name, texts);
}

// ---------------------------------------------------------------------------
// Construction, properties, connections

struct Init : pyx::Params {
    Arg self = arg("self");
    Arg api_key = kwonly("api_key", py::none()).annotated(optional_str());
    Arg domain = kwonly("domain", module_global("Config").attr("DEFAULT_DOMAIN")).annotated(str_type());
    Arg protocol = kwonly("protocol", module_global("Config").attr("DEFAULT_PROTOCOL")).annotated(str_type());
    Arg use_server_proxy = kwonly("use_server_proxy", py::bool_(true)).annotated(pyx::builtin("bool"));
    Arg ready_timeout =
        kwonly("ready_timeout", module_global("Config").attr("DEFAULT_READY_TIMEOUT")).annotated(pyx::builtin("int"));
    Arg snapshot_ready_timeout = kwonly("snapshot_ready_timeout", module_global("_SNAPSHOT_READY_TIMEOUT_SECONDS"))
                                     .annotated(pyx::builtin("int"));
    Arg snapshot_poll_interval = kwonly("snapshot_poll_interval", module_global("_SNAPSHOT_POLL_INTERVAL_SECONDS"))
                                     .annotated(pyx::builtin("float"));
    Arg pool_ref = kwonly("pool_ref", py::none()).annotated(optional_str());
};
py::object init_builder(Init& a) {
    pyx::setattr(a.self, "_api_key"_name, a.api_key);
    pyx::setattr(a.self, "_domain"_name, a.domain);
    pyx::setattr(a.self, "_protocol"_name, a.protocol);
    pyx::setattr(a.self, "_use_server_proxy"_name, a.use_server_proxy);
    pyx::setattr(a.self, "_ready_timeout"_name, a.ready_timeout);
    pyx::setattr(a.self, "_snapshot_ready_timeout"_name, a.snapshot_ready_timeout);
    pyx::setattr(a.self, "_snapshot_poll_interval"_name, a.snapshot_poll_interval);
    pyx::setattr(a.self, "_pool_ref"_name, a.pool_ref);
    return py::none();
}

using pyx::SelfOnly;
py::object provider(SelfOnly& a) {
    return a.global("SandboxProvider"_name).attr("OPENSANDBOX");
}
py::object supports_build(SelfOnly&) {
    return py::bool_(true);
}

py::object connection_config(SelfOnly& a) {
    py::object request_timeout =
        pyx::call(a.global("timedelta"_name), "seconds"_kw = pyx::getattr(a.self, "_ready_timeout"_name));
    return pyx::call(a.global("ConnectionConfigSync"_name), "domain"_kw = pyx::getattr(a.self, "_domain"_name),
                     "protocol"_kw = pyx::getattr(a.self, "_protocol"_name),
                     "api_key"_kw = pyx::getattr(a.self, "_api_key"_name), "request_timeout"_kw = request_timeout,
                     "use_server_proxy"_kw = pyx::getattr(a.self, "_use_server_proxy"_name));
}

py::object manager(SelfOnly& a) {
    return pyx::call_method(a.global("SandboxManagerSync"_name), "create"_name,
                            "connection_config"_kw = pyx::call_method(a.self, "_connection_config"_name));
}

struct Failed : pyx::Params {
    Arg self = arg("self");
    Arg detail = arg("detail").annotated(str_type());
    Arg logs = kwonly("logs", py::str("")).annotated(str_type());
};
py::object failed(Failed& a) {
    return pyx::call(a.global("TemplateBuildResult"_name),
                     "status"_kw = a.global("TemplateBuildStatus"_name).attr("FAILED"), "template_ref"_kw = py::none(),
                     "detail"_kw = a.detail, "logs"_kw = a.logs);
}

// ---------------------------------------------------------------------------
// Lookup

struct TemplateId : pyx::Params {
    Arg self = arg("self");
    Arg template_id = arg("template_id").annotated(str_type());
};
py::object is_usable(TemplateId& a) {
    return py::bool_(!pyx::call_method(a.self, "_resolve_ref"_name, a.template_id).is_none());
}

py::object resolve_ref(TemplateId& a) {
    py::object ready = pyx::call_method(a.self, "_snapshots_named"_name, a.template_id, "ready_only"_kw = true);
    return pyx::truthy(ready) ? py::object(a.template_id) : py::object(py::none());
}

struct SnapshotsNamed : pyx::Params {
    Arg self = arg("self");
    Arg name = arg("name").annotated(str_type());
    Arg ready_only = kwonly("ready_only").annotated(pyx::builtin("bool"));
};
py::object snapshots_named(SnapshotsNamed& a) {
    try {
        py::object manager = pyx::call_method(a.self, "_manager"_name);
        py::object found;
        try {
            found = pyx::call(a.global("list_snapshots_named"_name), manager, a.name, "ready_only"_kw = a.ready_only);
        } catch (...) {
            close_quietly(manager);
            throw;
        }
        close_quietly(manager);
        return found;
    } catch (...) {
        pyx::PyError error = handled_error();
        warn(a, py::str("OpenSandbox snapshot lookup failed for {!r}: {}").format(a.name, error.value()));
        return py::list();
    }
}

// ---------------------------------------------------------------------------
// Readiness and replacement

struct WaitUntilReady : pyx::Params {
    Arg self = arg("self");
    Arg snapshot_id = arg("snapshot_id").annotated(str_type());
};
bool poll_until_ready(const WaitUntilReady& a, const py::object& manager) {
    py::object clock = a.global("time"_name);
    py::object deadline =
        pyx::call_method(clock, "monotonic"_name) + pyx::getattr(a.self, "_snapshot_ready_timeout"_name);
    while (pyx::call_method(a.global("time"_name), "monotonic"_name) < deadline) {
        py::object info;
        try {
            info = pyx::call_method(manager, "get_snapshot"_name, a.snapshot_id);
        } catch (...) {
            pyx::PyError error = handled_error();
            warn(a, py::str("OpenSandbox get_snapshot failed for {}: {}").format(a.snapshot_id, error.value()));
            return false;
        }
        py::object status = pyx::getattr(info, "status"_name);
        bool known = pyx::truthy(status);
        py::object state = known ? pyx::getattr(status, "state"_name) : py::object(py::str(""));
        if (state.equal(a.global("SNAPSHOT_READY_STATE"_name))) return true;
        if (state.equal(a.global("SNAPSHOT_FAILED_STATE"_name))) {
            py::object message = known ? pyx::getattr(status, "message"_name) : py::object(py::str(""));
            warn(a, py::str("OpenSandbox snapshot {} failed: {}").format(a.snapshot_id, message));
            return false;
        }
        pyx::call_method(a.global("time"_name), "sleep"_name, pyx::getattr(a.self, "_snapshot_poll_interval"_name));
    }
    warn(a, py::str("OpenSandbox snapshot {} not Ready within {}s")
                .format(a.snapshot_id, pyx::getattr(a.self, "_snapshot_ready_timeout"_name)));
    return false;
}

py::object wait_until_ready(WaitUntilReady& a) {
    py::object manager = pyx::call_method(a.self, "_manager"_name);
    bool ready;
    try {
        ready = poll_until_ready(a, manager);
    } catch (...) {
        close_quietly(manager);
        throw;
    }
    close_quietly(manager);
    return py::bool_(ready);
}

struct ReplaceOlder : pyx::Params {
    Arg self = arg("self");
    Arg name = arg("name").annotated(str_type());
    Arg keep_id = kwonly("keep_id").annotated(str_type());
};
void delete_all_but(const ReplaceOlder& a, const py::object& manager) {
    py::object listed = pyx::call_method(a.self, "_snapshots_named"_name, a.name, "ready_only"_kw = false);
    for (py::handle snap : listed) {
        py::object id = pyx::getattr(snap, "id"_name);
        if (id.equal(a.keep_id)) continue;
        try {
            pyx::call_method(manager, "delete_snapshot"_name, id);
            inform(a, py::str("Deleted old OpenSandbox snapshot {} (name={})").format(id, a.name));
        } catch (...) {
            pyx::PyError error = handled_error();
            warn(a, py::str("Failed to delete old snapshot {}: {}").format(id, error.value()));
        }
    }
}

py::object replace_older_snapshots(ReplaceOlder& a) {
    try {
        py::object manager = pyx::call_method(a.self, "_manager"_name);
        try {
            delete_all_but(a, manager);
        } catch (...) {
            close_quietly(manager);
            throw;
        }
        close_quietly(manager);
    } catch (...) {
        pyx::PyError error = handled_error();
        warn(a, py::str("OpenSandbox snapshot cleanup failed for {!r}: {}").format(a.name, error.value()));
    }
    return py::none();
}

// ---------------------------------------------------------------------------
// The build sandbox

struct ExecutionOutput : pyx::Params {
    Arg execution = arg("execution").annotated(module_global("Any"));
};
py::object execution_output(ExecutionOutput& a) {
    py::object logs = pyx::getattr(a.execution, "logs"_name, py::none());
    return py::make_tuple(joined_texts(pyx::getattr(logs, "stdout"_name, py::none())),
                          joined_texts(pyx::getattr(logs, "stderr"_name, py::none())));
}

struct InstallPackages : pyx::Params {
    Arg self = arg("self");
    Arg sandbox = arg("sandbox").annotated(module_global("SandboxSync"));
    Arg packages = arg("packages").annotated(pyx::builtin("list")[str_type()]);
};
py::object install_packages(InstallPackages& a) {
    py::object quote = pyx::getattr(a.global("shlex"_name), "quote"_name);
    py::list quoted;
    for (py::handle package : a.packages) quoted.append(pyx::call(quote, package));
    py::object packages_str = pyx::call_method(py::str(" "), "join"_name, quoted);
    inform(a, py::str("Installing packages into OpenSandbox build sandbox: ") + packages_str);
    py::object commands = pyx::getattr(a.sandbox, "commands"_name);
    py::object execution = pyx::call_method(commands, "run"_name, py::str("pip install -q ") + packages_str);
    py::tuple output = pyx::call_method(a.self, "_execution_output"_name, execution);
    py::object stdout_text = output[0], stderr_text = output[1];
    py::object error = pyx::getattr(execution, "error"_name, py::none());
    py::object exit_code = pyx::getattr(execution, "exit_code"_name, py::none());
    bool failed = pyx::truthy(error) || (!exit_code.is_none() && !exit_code.equal(py::int_(0))) ||
                  pyx::getattr(execution, "success"_name, py::none()).is(py::bool_(false));
    if (failed) {
        py::object reason = pyx::truthy(stderr_text) ? stderr_text
                            : pyx::truthy(error)     ? py::object(py::str(error))
                                                     : stdout_text;
        throw pyx::PyError(
            pyx::call(py::handle(PyExc_RuntimeError), py::str("pip install failed: ") + py::str(reason)));
    }
    py::list parts;
    for (const py::object& part : {stdout_text, stderr_text}) {
        if (pyx::truthy(part)) parts.append(part);
    }
    return pyx::call_method(py::str("\n"), "join"_name, parts);
}

struct Dispose : pyx::Params {
    Arg sandbox = arg("sandbox").annotated(pyx::optional(module_global("SandboxSync")));
};
py::object dispose_build_sandbox(Dispose& a) {
    if (a.sandbox.is_none()) return py::none();
    try {
        pyx::call_method(a.sandbox, "kill"_name);
    } catch (...) {
        pyx::PyError error = handled_error();
        warn(a, py::str("Error killing build sandbox: {}").format(error.value()));
    }
    try {
        pyx::call_method(a.sandbox, "close"_name);
    } catch (...) {
        pyx::PyError error = handled_error();
        warn(a, py::str("Error closing build sandbox: {}").format(error.value()));
    }
    return py::none();
}

// ---------------------------------------------------------------------------
// Registry logins

struct Spec : pyx::Params {
    Arg self = arg("self");
    Arg spec = arg("spec").annotated(module_global("TemplateSpec"));
};
py::object image_arg(Spec& a) {
    py::object image = pyx::getattr(a.spec, "image"_name);
    if (!pyx::truthy(image)) image = quiet_field(a.spec, "base_template");
    if (!pyx::truthy(image)) image = a.global("Config"_name).attr("DEFAULT_IMAGE");
    py::object auth = pyx::getattr(a.spec, "registry_auth"_name);
    if (auth.is_none()) return image;
    py::tuple login = pyx::call_method(a.self, "_to_basic_credentials"_name, auth);
    if (py::len(login) != 2) pyx::raise(PyExc_ValueError, "a registry login is a user name and a password");
    py::object credentials =
        pyx::call(a.global("SandboxImageAuth"_name), "username"_kw = login[0], "password"_kw = login[1]);
    return pyx::call(a.global("SandboxImageSpec"_name), "image"_kw = image, "auth"_kw = credentials);
}

struct Auth : pyx::Params {
    Arg self = arg("self");
    Arg auth = arg("auth").annotated(module_global("RegistryAuth"));
};
py::object to_basic_credentials(Auth& a) {
    if (pyx::is_instance(a.auth, a.global("BasicAuth"_name))) {
        return py::make_tuple(pyx::getattr(a.auth, "username"_name), pyx::call_method(a.auth, "reveal_password"_name));
    }
    if (pyx::is_instance(a.auth, a.global("AwsAuth"_name)))
        return pyx::call_method(a.self, "_ecr_credentials"_name, a.auth);
    if (pyx::is_instance(a.auth, a.global("GcpAuth"_name))) {
        return py::make_tuple(py::str("_json_key"), pyx::call_method(a.auth, "resolved_service_account_json"_name));
    }
    // The type's name only: the object may hold a credential.
    py::object type_name = pyx::getattr(py::type::of(a.auth), "__name__"_name);
    throw pyx::PyError(
        pyx::call(py::handle(PyExc_ValueError), py::str("Unsupported registry auth: ") + py::str(type_name)));
}

struct EcrAuth : pyx::Params {
    Arg auth = arg("auth").annotated(module_global("AwsAuth"));
};
py::object ecr_credentials(EcrAuth& a) {
    // Imported here: only builds with AWS credentials need boto3.
    py::module_ boto3 = py::module_::import("boto3");
    py::module_ base64 = py::module_::import("base64");
    py::object client = pyx::call(pyx::getattr(boto3, "client"_name), py::str("ecr"),
                                  "aws_access_key_id"_kw = pyx::getattr(a.auth, "access_key_id"_name),
                                  "aws_secret_access_key"_kw = pyx::call_method(a.auth, "reveal_secret_key"_name),
                                  "region_name"_kw = pyx::getattr(a.auth, "region"_name));
    py::object response = pyx::call_method(client, "get_authorization_token"_name);
    py::object token = response[py::str("authorizationData")][py::int_(0)][py::str("authorizationToken")];
    py::object text = pyx::call_method(pyx::call_method(base64, "b64decode"_name, token), "decode"_name);
    py::list parts = pyx::call_method(text, "split"_name, py::str(":"), py::int_(1));
    if (py::len(parts) != 2) pyx::raise(PyExc_ValueError, "not enough values to unpack (expected 2, got 1)");
    return py::make_tuple(parts[0], parts[1]);
}

// ---------------------------------------------------------------------------
// Build

py::dict build_sandbox_options(const Spec& a) {
    py::object config = pyx::getattr(a.global("Config"_name), "DEFAULT_CI_ENTRYPOINT"_name);
    py::dict options;
    options["connection_config"] = pyx::call_method(a.self, "_connection_config"_name);
    options["ready_timeout"] =
        pyx::call(a.global("timedelta"_name), "seconds"_kw = pyx::getattr(a.self, "_ready_timeout"_name));
    options["skip_health_check"] = py::bool_(true);
    py::object start_cmd = pyx::getattr(a.spec, "start_cmd"_name);
    options["entrypoint"] =
        pyx::truthy(start_cmd) ? pyx::call_method(a.global("shlex"_name), "split"_name, start_cmd) : config;
    py::object pool_ref = pyx::getattr(a.self, "_pool_ref"_name);
    if (pyx::truthy(pool_ref))
        options["extensions"] = pyx::call_method(a.global("Config"_name), "pool_extension"_name, pool_ref);
    return options;
}

py::object build(Spec& a) {
    py::object template_id = pyx::getattr(a.spec, "template_id"_name);
    py::dict attributes;
    attributes[a.global("SpanAttr"_name).attr("TEMPLATE_ID")] = template_id;
    pyx::apply(a.global("set_current_span_attributes"_name), py::tuple(), attributes);
    if (pyx::truthy(quiet_field(a.spec, "dockerfile"))) {
        inform(a, py::str("OpenSandboxTemplateBuilder ignores spec.dockerfile; using image + packages"));
    }
    // Outside the handling below: a credential failure leaves build as it is,
    // before any build sandbox exists.
    py::object image = pyx::call_method(a.self, "_image_arg"_name, a.spec);

    py::object sandbox = py::none();
    py::object install_logs = py::str("");
    py::object snapshot;
    bool snapshot_ready = false;
    try {
        py::dict options = build_sandbox_options(a);
        sandbox = pyx::apply(pyx::getattr(a.global("SandboxSync"_name), "create"_name), py::make_tuple(image), options);
        py::object packages = pyx::getattr(a.spec, "packages"_name);
        if (pyx::truthy(packages)) install_logs = pyx::call_method(a.self, "_install_packages"_name, sandbox, packages);
        snapshot = pyx::call_method(sandbox, "create_snapshot"_name, "name"_kw = template_id);
        snapshot_ready =
            pyx::truthy(pyx::call_method(a.self, "_wait_until_ready"_name, pyx::getattr(snapshot, "id"_name)));
    } catch (...) {
        pyx::PyError error = current_error();
        // The build sandbox goes however this handler ends, as under `finally`:
        // also when the warning or the failed result itself raises.
        py::object result;
        try {
            if (!error.is_exception()) throw error;
            warn(a, py::str("OpenSandbox snapshot build failed for {!r}: {}").format(template_id, error.value()));
            result =
                pyx::call_method(a.self, "_failed"_name, py::str("snapshot build failed: {}").format(error.value()),
                                 "logs"_kw = install_logs);
        } catch (...) {
            pyx::call_method(a.self, "_dispose_build_sandbox"_name, sandbox);
            throw;
        }
        pyx::call_method(a.self, "_dispose_build_sandbox"_name, sandbox);
        return result;
    }
    // The build sandbox goes as soon as the snapshot's fate is known.
    pyx::call_method(a.self, "_dispose_build_sandbox"_name, sandbox);

    py::object snapshot_id = pyx::getattr(snapshot, "id"_name);
    if (!snapshot_ready) {
        py::object detail =
            py::str("snapshot {} did not reach '{}' state").format(snapshot_id, a.global("SNAPSHOT_READY_STATE"_name));
        return pyx::call_method(a.self, "_failed"_name, detail, "logs"_kw = install_logs);
    }
    pyx::call_method(a.self, "_replace_older_snapshots"_name, template_id, "keep_id"_kw = snapshot_id);
    inform(a, py::str("OpenSandbox snapshot built: name={} id={}").format(template_id, snapshot_id));
    return pyx::call(
        a.global("TemplateBuildResult"_name), "status"_kw = a.global("TemplateBuildStatus"_name).attr("SUCCESS"),
        "template_ref"_kw = pyx::call_method(a.self, "_make_ref"_name, template_id), "logs"_kw = install_logs);
}

// ---------------------------------------------------------------------------
// Module set-up

void import_sdk(py::module_& module) {
    import_provider_sdk(
        "opensandbox is required for OpenSandboxTemplateBuilder. "
        "Install it with: pip install 'vorn-sandbox[opensandbox]'",
        [&] {
            pyx::import_from(module, "opensandbox.config.connection_sync", {"ConnectionConfigSync"});
            pyx::import_from(module, "opensandbox.models.sandboxes",
                             {"SandboxImageAuth", "SandboxImageSpec", "SnapshotInfo"});
            pyx::import_from(module, "opensandbox.sync.manager", {"SandboxManagerSync"});
            pyx::import_from(module, "opensandbox.sync.sandbox", {"SandboxSync"});
        });
}

}  // namespace

void init(py::module_& module) {
    module.attr("__doc__") = py::str(module_doc);
    pyx::import_module(module, "shlex");
    pyx::import_module(module, "time");
    pyx::import_from(module, "datetime", {"timedelta"});
    pyx::import_from(module, "typing", {"Any"});
    import_sdk(module);
    pyx::import_from(module, "kelmo_core.logging", {"LoggerManager"});
    module.attr("Config") = py::module_::import("vorn_sandbox.constants").attr("OpenSandboxConfig");
    pyx::import_from(module, "vorn_sandbox.observability",
                     {"SpanAttr", "SpanName", "set_current_span_attributes", "traced"});
    pyx::import_from(module, "vorn_sandbox.providers.opensandbox.snapshot",
                     {"SNAPSHOT_FAILED_STATE", "SNAPSHOT_READY_STATE", "list_snapshots_named"});
    py::object base =
        pyx::import_from(module, "vorn_sandbox.template.base", {"BaseTemplateBuilder"}).attr("BaseTemplateBuilder");
    pyx::import_from(module, "vorn_sandbox.template.models",
                     {"AwsAuth", "BasicAuth", "GcpAuth", "RegistryAuth", "SandboxProvider", "TemplateBuildResult",
                      "TemplateBuildStatus", "TemplateSpec"});
    pyx::bind_logger(module);
    module.attr("_SNAPSHOT_POLL_INTERVAL_SECONDS") = py::float_(2.0);
    module.attr("_SNAPSHOT_READY_TIMEOUT_SECONDS") = py::int_(180);

    pyx::ClassBody body(module, "OpenSandboxTemplateBuilder");
    body.doc(class_doc);
    body.method(pyx::def("__init__", init_builder)
                    .returning(py::none())
                    .with_doc("Stores the connection and wait settings; no network call."));
    body.property("provider", pyx::def("provider", provider).returning(module.attr("SandboxProvider")),
                  "Return the OpenSandbox provider tag.");
    body.property("supports_build", pyx::def("supports_build", supports_build).returning(pyx::builtin("bool")),
                  "Return True \u2014 OpenSandbox builds reusable snapshots.");
    body.method(pyx::def("is_usable", is_usable)
                    .returning(pyx::builtin("bool"))
                    .with_doc("True if a 'Ready' snapshot with this name exists."));
    py::object decorator = backend_tracer(module, "TEMPLATE_BUILD", "opensandbox");
    body.attr(
        "build",
        decorator(body.function(pyx::def("build", build)
                                    .returning(module.attr("TemplateBuildResult"))
                                    .with_doc("Base image, pip install, snapshot, wait for 'Ready'; the build sandbox "
                                              "is always killed and closed; on success older snapshots of the same "
                                              "name are deleted."))));
    body.method(pyx::def("_image_arg", image_arg)
                    .returning(py::str("str | SandboxImageSpec"))
                    .with_doc("spec.image, else the deprecated spec.base_template, else the default image; with "
                              "credentials, a SandboxImageSpec carrying a basic login."));
    body.method(pyx::def("_to_basic_credentials", to_basic_credentials)
                    .returning(str_pair())
                    .with_doc("Any RegistryAuth as a docker basic login (user name, password)."));
    body.staticmethod(pyx::def("_ecr_credentials", ecr_credentials)
                          .returning(str_pair())
                          .with_doc("A short-lived ECR login from GetAuthorizationToken, split at the first colon."));
    body.method(pyx::def("_resolve_ref", resolve_ref)
                    .returning(optional_str())
                    .with_doc("template_id when a 'Ready' snapshot of that name exists, else None; never an id."));
    body.method(pyx::def("_snapshots_named", snapshots_named)
                    .returning(pyx::builtin("list")[module.attr("SnapshotInfo")])
                    .with_doc("Snapshots of that name, newest first; [] when the lookup fails."));
    body.method(pyx::def("_wait_until_ready", wait_until_ready)
                    .returning(pyx::builtin("bool"))
                    .with_doc("Polls the snapshot: True on 'Ready', False on 'Failed', a lookup error or the "
                              "deadline."));
    body.method(pyx::def("_replace_older_snapshots", replace_older_snapshots)
                    .returning(py::none())
                    .with_doc("Deletes the snapshots of that name except keep_id, best effort."));
    body.method(pyx::def("_install_packages", install_packages)
                    .returning(str_type())
                    .with_doc("pip install in the build sandbox; the combined output, RuntimeError on failure."));
    body.staticmethod(pyx::def("_execution_output", execution_output)
                          .returning(str_pair())
                          .with_doc("The stdout and stderr texts of a command execution."));
    body.staticmethod(pyx::def("_dispose_build_sandbox", dispose_build_sandbox)
                          .returning(py::none())
                          .with_doc("Best-effort kill and close of the build sandbox; the snapshot survives."));
    body.method(pyx::def("_connection_config", connection_config)
                    .returning(module.attr("ConnectionConfigSync"))
                    .with_doc("A new synchronous connection configuration."));
    body.method(pyx::def("_manager", manager)
                    .returning(module.attr("SandboxManagerSync"))
                    .with_doc("A new snapshot manager; its user closes it."));
    body.method(pyx::def("_failed", failed)
                    .returning(module.attr("TemplateBuildResult"))
                    .with_doc("A FAILED result with that detail and those logs."));
    module.attr("OpenSandboxTemplateBuilder") = body.create_abc(py::make_tuple(base));
}

}  // namespace vorn_sandbox::template_::opensandbox
