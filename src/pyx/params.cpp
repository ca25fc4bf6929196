#include "pyx/params.hpp"

namespace pyx {
namespace detail {

std::vector<Param>*& recording() noexcept {
    static std::vector<Param>* current = nullptr;
    return current;
}

py::handle& describing_globals() noexcept {
    static py::handle current;
    return current;
}

FunctionSpec spec_with_params(std::string name, std::vector<Param> (*describe)(py::handle)) {
    FunctionSpec spec;
    spec.name = std::move(name);
    spec.describe = describe;
    return spec;
}

PyObject* raise_not_implemented(PyObject*, ArgValues&, const void*, PyObject*) {
    throw PyError(py::handle(PyExc_NotImplementedError)());
}

namespace {
Task<py::object> not_implemented_task() {
    throw PyError(py::handle(PyExc_NotImplementedError)());
    co_return py::none();
}
}  // namespace

PyObject* not_implemented_coroutine(PyObject*, ArgValues&, const void*, PyObject* qualname) {
    return to_python(not_implemented_task(), qualname).release().ptr();
}

}  // namespace detail

py::object Params::global(const char* name) const {
    py::object key = py::reinterpret_steal<py::object>(PyUnicode_FromString(name));
    if (!key) throw PyError::fetch();
    return global_by_name(function_, key.ptr());
}

py::object Params::module_global(const char* name) {
    py::handle globals = detail::describing_globals();
    if (!globals) raise(PyExc_SystemError, "module_global() is for default values of a parameter struct");
    PyObject* value = PyDict_GetItemString(globals.ptr(), name);
    if (!value) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw PyError::fetch();
    }
    return py::reinterpret_borrow<py::object>(value);
}

}  // namespace pyx
