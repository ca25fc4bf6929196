#include "pyx/module.hpp"

#include "pyx/error.hpp"

#include <string>

namespace pyx {

py::module_ import_module(py::module_& module, const char* name, const char* alias) {
    py::module_ imported = py::module_::import(name);
    if (alias) {
        module.attr(alias) = imported;
    } else {
        std::string top(name);
        top = top.substr(0, top.find('.'));
        module.attr(top.c_str()) = top == name ? imported : py::module_::import(top.c_str());
    }
    return imported;
}

namespace {

// `from source import name`: an attribute of the module, else a submodule of
// that name; a name that is neither is an ImportError, as the import
// statement raises it, so that callers turning ImportError into an install
// hint see an incomplete SDK too.
py::object imported_name(const py::module_& imported, const char* source, const char* name) {
    if (PyObject* value = PyObject_GetAttrString(imported.ptr(), name)) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    std::string submodule = std::string(source) + "." + name;
    if (py::hasattr(imported, "__path__")) {
        if (PyObject* value = PyImport_ImportModule(submodule.c_str())) return py::reinterpret_steal<py::object>(value);
        if (!PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) throw py::error_already_set();
        PyErr_Clear();
    }
    py::object error = py::handle(PyExc_ImportError)(
        py::str("cannot import name {!r} from {!r}").format(py::str(name), py::str(source)));
    error.attr("name") = py::str(source);
    throw PyError(std::move(error));
}

}  // namespace

py::module_ import_from(py::module_& module, const char* source, std::initializer_list<const char*> names) {
    py::module_ imported = py::module_::import(source);
    for (const char* name : names) module.attr(name) = imported_name(imported, source, name);
    return imported;
}

py::object bind_logger(py::module_& module) {
    py::object manager = py::module_::import("kelmo_core.logging").attr("LoggerManager");
    py::object logger = manager().attr("get_logger")(module.attr("__name__"));
    module.attr("logger") = logger;
    return logger;
}

}  // namespace pyx
