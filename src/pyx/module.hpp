// What the top of a Python module does: its imports, bound as globals of the
// module (the names its functions then look up at call time, where callers
// and tests can replace them), and its logger.
//
//     pyx::import_module(module, "asyncio");                                // import asyncio
//     pyx::import_from(module, "vorn_sandbox.errors", {"Stage"});           // from ... import Stage
//     pyx::bind_logger(module);                                             // logger = ...get_logger(__name__)
#pragma once

#include "pyx/error.hpp"

#include <initializer_list>

namespace pyx {
namespace py = pybind11;

// `import name` (the global is the top-level package, as Python binds it),
// or `import name as alias` when `alias` is given (the module itself).
py::module_ import_module(py::module_& module, const char* name, const char* alias = nullptr);
// `from source import name, ...`; returns the source module.
py::module_ import_from(py::module_& module, const char* source, std::initializer_list<const char*> names);
// `logger = LoggerManager().get_logger(__name__)`, the in-house logger factory.
py::object bind_logger(py::module_& module);

}  // namespace pyx
