#include "pyx/importer.hpp"

#include "pyx/classes.hpp"
#include "pyx/params.hpp"

#include <string>
#include <string_view>

namespace pyx {
namespace {

constexpr std::string_view virtual_prefix = "<native package>/";

struct Registry {
    std::span<const ModuleEntry> table;
    PyObject* built = nullptr;   // dict: name -> first successful build (lives for the process)
    PyObject* finder = nullptr;  // the meta-path finder instance
    PyObject* origin = nullptr;  // the shared object's path
};

Registry& registry() {
    static Registry instance;
    return instance;
}

const ModuleEntry* find_entry(std::string_view name) {
    for (const ModuleEntry& entry : registry().table) {
        if (name == entry.name) return &entry;
    }
    return nullptr;
}

py::str virtual_entry(std::string_view package) {
    return py::str(std::string(virtual_prefix) + std::string(package));
}

py::object make_spec(const ModuleEntry& entry) {
    py::object machinery = py::module_::import("importlib.machinery");
    Registry& reg = registry();
    py::object spec =
        machinery.attr("ModuleSpec")(entry.name, py::handle(reg.finder), py::arg("origin") = py::handle(reg.origin),
                                     py::arg("is_package") = entry.package);
    if (entry.package) {
        py::list locations;
        locations.append(virtual_entry(entry.name));
        spec.attr("submodule_search_locations") = locations;
    }
    return spec;
}

struct FindSpec : Params {
    Arg self = arg("self");
    Arg fullname = arg("fullname");
    Arg path = arg("path", py::none());
    Arg target = arg("target", py::none());
};
py::object find_spec(FindSpec& a) {
    const ModuleEntry* entry = find_entry(py::str(a.fullname).cast<std::string>());
    return entry ? make_spec(*entry) : py::none();
}

struct CreateModule : Params {
    Arg self = arg("self");
    Arg spec = arg("spec");
};
py::object create_module(CreateModule& a) {
    // A module already built once is handed back as it is: pybind11 and the
    // class builders register process-wide state that must not be made twice.
    PyObject* built = PyDict_GetItemWithError(registry().built, py::object(a.spec.attr("name")).ptr());
    if (built) return py::reinterpret_borrow<py::object>(built);
    if (PyErr_Occurred()) throw PyError::fetch();
    return py::none();
}

struct ExecModule : Params {
    Arg self = arg("self");
    Arg module = arg("module");
};
py::object exec_module(ExecModule& a) {
    py::module_ module = py::reinterpret_borrow<py::module_>(a.module);
    py::object name = module.attr("__name__");
    PyObject* built = PyDict_GetItemWithError(registry().built, name.ptr());
    if (built == module.ptr()) return py::none();
    if (PyErr_Occurred()) throw PyError::fetch();
    const ModuleEntry* entry = find_entry(name.cast<std::string>());
    if (!entry) raise(PyExc_ImportError, "no native module named " + name.cast<std::string>());
    entry->init(module);
    if (PyDict_SetItem(registry().built, name.ptr(), module.ptr()) < 0) throw PyError::fetch();
    return py::none();
}

// The finder that a virtual __path__ entry resolves to: finds the package's
// children and lists them for pkgutil.
struct PathInit : Params {
    Arg self = arg("self");
    Arg package = arg("package");
};
py::object path_init(PathInit& a) {
    a.self.attr("package") = a.package;
    return py::none();
}

struct PathFindSpec : Params {
    Arg self = arg("self");
    Arg fullname = arg("fullname");
    Arg target = arg("target", py::none());
};
py::object path_find_spec(PathFindSpec& a) {
    std::string package = a.self.attr("package").cast<std::string>();
    std::string name = py::str(a.fullname).cast<std::string>();
    const ModuleEntry* entry = find_entry(name);
    if (!entry || name.rfind(package + ".", 0) != 0) return py::none();
    return make_spec(*entry);
}

struct PathIterModules : Params {
    Arg self = arg("self");
    Arg prefix = arg("prefix", py::str(""));
};
py::object path_iter_modules(PathIterModules& a) {
    std::string package = a.self.attr("package").cast<std::string>();
    std::string prefix = py::str(a.prefix).cast<std::string>();
    py::list found;
    for (const ModuleEntry& entry : registry().table) {
        std::string_view name = entry.name;
        if (name.size() <= package.size() + 1 || name.substr(0, package.size()) != package ||
            name[package.size()] != '.')
            continue;
        std::string_view child = name.substr(package.size() + 1);
        if (child.find('.') != std::string_view::npos) continue;
        found.append(py::make_tuple(prefix + std::string(child), entry.package));
    }
    return found.attr("__iter__")();
}

struct PathHook : Params {
    Arg path = arg("path");
};
struct PathClass {
    py::object path_class;  // _NativePackagePath
};
py::object path_hook(PathHook& a, const PathClass& closure) {
    if (PyUnicode_Check(a.path.ptr())) {
        std::string entry = a.path.cast<std::string>();
        if (entry.rfind(virtual_prefix, 0) == 0) return closure.path_class(entry.substr(virtual_prefix.size()));
    }
    raise(PyExc_ImportError, "not a native package path");
}

py::object make_finder_classes(py::module_& package) {
    ClassBody finder(package, "_NativeModuleFinder");
    finder.doc("Finds and loads the modules compiled into this extension.")
        .method(def("find_spec", find_spec))
        .method(def("create_module", create_module))
        .method(def("exec_module", exec_module));
    py::object finder_class = finder.create_plain();

    ClassBody path(package, "_NativePackagePath");
    path.doc("Path-entry finder of a package compiled into this extension.")
        .method(def("__init__", path_init))
        .method(def("find_spec", path_find_spec))
        .method(def("iter_modules", path_iter_modules));
    py::object path_class = path.create_plain();

    py::object hook =
        make_function(def("_native_path_hook", path_hook, PathClass{path_class}), package.attr("__dict__"));
    py::module_ sys = py::module_::import("sys");
    sys.attr("path_hooks").attr("insert")(0, hook);
    sys.attr("path_importer_cache").attr("clear")();
    return finder_class;
}

}  // namespace

void install_finder(py::module_& package, py::handle origin, std::span<const ModuleEntry> table) {
    Registry& reg = registry();
    if (reg.finder) return;
    reg.table = table;
    reg.built = PyDict_New();
    if (!reg.built) throw PyError::fetch();
    reg.origin = py::reinterpret_borrow<py::object>(origin).release().ptr();
    py::object finder_class = make_finder_classes(package);
    reg.finder = finder_class().release().ptr();
    py::module_::import("sys").attr("meta_path").attr("insert")(0, py::handle(reg.finder));
}

void install_importer(py::module_& package, std::span<const ModuleEntry> table) {
    install_finder(package, pyx::getattr(package, "__file__", py::none()), table);
    py::object path = pyx::getattr(package, "__path__", py::none());
    if (path.is_none()) {
        path = py::list();
        package.attr("__path__") = path;
    }
    py::str entry = virtual_entry(package.attr("__name__").cast<std::string>());
    if (!path.contains(entry)) path.attr("append")(entry);
}

}  // namespace pyx
