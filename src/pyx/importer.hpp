// Serves the sub-modules of a package from one extension module: a static
// table of dotted names, each with an init function, answered by a meta-path
// finder. A module is built when first imported and never again: a re-import
// or reload gets the first build back. Sub-packages have no directory; their
// __path__ holds a virtual entry that a path hook answers, so that pkgutil
// lists them.
#pragma once

#include <pybind11/pybind11.h>

#include <span>

namespace pyx {
namespace py = pybind11;

struct ModuleEntry {
    const char* name;  // full dotted name
    bool package;
    void (*init)(py::module_& module);
};

// Installs the finder and the path hook once per process; `origin` is the
// shared object's path. A package calls it while its module is created,
// before the import system publishes the module in sys.modules: from then on
// another thread may import a submodule and must find it.
void install_finder(py::module_& package, py::handle origin, std::span<const ModuleEntry> table);

// Installs the finder (if not done yet) and adds the package's virtual path
// entry to `package.__path__`.
void install_importer(py::module_& package, std::span<const ModuleEntry> table);

}  // namespace pyx
