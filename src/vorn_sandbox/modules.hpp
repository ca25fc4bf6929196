// Init functions of the modules compiled into the package, one per source file.
#pragma once

#include <pybind11/pybind11.h>

namespace vorn_sandbox::base { void init(pybind11::module_& module); }
namespace vorn_sandbox::constants { void init(pybind11::module_& module); }
namespace vorn_sandbox::errors { void init(pybind11::module_& module); }
namespace vorn_sandbox::models { void init(pybind11::module_& module); }
namespace vorn_sandbox::utils { void init(pybind11::module_& module); }
namespace vorn_sandbox::observability { void init(pybind11::module_& module); }
namespace vorn_sandbox::primitives { void init(pybind11::module_& module); }
namespace vorn_sandbox::code_interpreter { void init(pybind11::module_& module); }
namespace vorn_sandbox::code_interpreter::base { void init(pybind11::module_& module); }
namespace vorn_sandbox::code_interpreter::e2b { void init(pybind11::module_& module); }
namespace vorn_sandbox::code_interpreter::primitives { void init(pybind11::module_& module); }
namespace vorn_sandbox::code_interpreter::opensandbox { void init(pybind11::module_& module); }
namespace vorn_sandbox::code_interpreter::bedrock { void init(pybind11::module_& module); }
namespace vorn_sandbox::template_ { void init(pybind11::module_& module); }
namespace vorn_sandbox::template_::base { void init(pybind11::module_& module); }
namespace vorn_sandbox::template_::models { void init(pybind11::module_& module); }
namespace vorn_sandbox::template_::e2b { void init(pybind11::module_& module); }
namespace vorn_sandbox::template_::opensandbox { void init(pybind11::module_& module); }
namespace vorn_sandbox::template_::bedrock { void init(pybind11::module_& module); }
namespace vorn_sandbox::providers { void init(pybind11::module_& module); }
namespace vorn_sandbox::providers::opensandbox { void init(pybind11::module_& module); }
namespace vorn_sandbox::providers::opensandbox::snapshot { void init(pybind11::module_& module); }
namespace vorn_sandbox::computer_use { void init(pybind11::module_& module); }
