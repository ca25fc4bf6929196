// Parameter lists of the interface's methods that the abstract class and the
// E2B and Bedrock backends declare alike, annotations included, so that a
// backend's signature cannot drift from the one it implements.
#pragma once

#include "pyx/annotations.hpp"
#include "pyx/object.hpp"
#include "pyx/params.hpp"

namespace vorn_sandbox::code_interpreter {

using pyx::SelfOnly;

struct SetTimeout : pyx::Params {
    Arg self = arg("self");
    Arg seconds = arg("seconds").annotated(pyx::types::int_());
};

struct ExecuteCommand : pyx::Params {
    Arg self = arg("self");
    Arg cmd = arg("cmd").annotated(pyx::types::str());
    Arg env = kwonly("env", pybind11::none())
                  .annotated(pyx::optional(pyx::types::dict_of(pyx::types::str(), pyx::types::str())));
    Arg timeout = kwonly("timeout", pybind11::none()).annotated(pyx::optional(pyx::types::float_()));
};

struct UploadFiles : pyx::Params {
    Arg self = arg("self");
    Arg files = arg("files").annotated(pyx::types::list_of(module_global("SandboxFile")));
    Arg upload_dir = arg("upload_dir", pybind11::none()).annotated(pyx::optional(pyx::types::str()));
};

struct DownloadFile : pyx::Params {
    Arg self = arg("self");
    Arg file_path = arg("file_path").annotated(pyx::types::str());
    Arg timeout = kwonly("timeout", module_global("DEFAULT_DOWNLOAD_TIMEOUT")).annotated(pyx::types::float_());
};

struct Terminate : pyx::Params {
    Arg self = arg("self");
    Arg timeout =
        kwonly("timeout", module_global("DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS")).annotated(pyx::types::float_());
};

}  // namespace vorn_sandbox::code_interpreter
