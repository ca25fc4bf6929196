#include "pyx/classes.hpp"

namespace pyx {
namespace {

// Names go into a class namespace interned, as a class statement's names
// are: every later look-up of the attribute (and pydantic's field look-ups
// in instance dicts keyed by these names) then matches by identity.
py::object name_key(const char* name) {
    return py::reinterpret_borrow<py::object>(detail::intern(name));
}

void set_name(const py::dict& space, const char* name, py::handle value) {
    if (PyDict_SetItem(space.ptr(), name_key(name).ptr(), value.ptr()) < 0) throw PyError::fetch();
}

// `classmethod(function)` or `staticmethod(function)`.
py::object wrapped_in(PyTypeObject& wrapper, py::object function) {
    return py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&wrapper))(std::move(function));
}

}  // namespace

ClassBody::ClassBody(py::handle module, std::string qualname)
    : module_(py::reinterpret_borrow<py::object>(module)), qualname_(std::move(qualname)) {
    auto dot = qualname_.rfind('.');
    name_ = dot == std::string::npos ? qualname_ : qualname_.substr(dot + 1);
    set_name(namespace_, "__module__", module_.attr("__name__"));
    set_name(namespace_, "__qualname__", py::str(qualname_));
}

ClassBody& ClassBody::doc(const std::string& text) {
    set_name(namespace_, "__doc__", py::str(text));
    return *this;
}

ClassBody& ClassBody::attr(const char* name, py::object value) {
    set_name(namespace_, name, value);
    return *this;
}

py::object ClassBody::function(FunctionSpec spec) const {
    std::string qualname = qualname_ + "." + spec.name;
    return make_function(std::move(spec), module_.attr("__dict__"), qualname);
}

ClassBody& ClassBody::method(FunctionSpec spec) {
    std::string name = spec.name;
    set_name(namespace_, name.c_str(), function(std::move(spec)));
    return *this;
}

ClassBody& ClassBody::classmethod(FunctionSpec spec) {
    std::string name = spec.name;
    set_name(namespace_, name.c_str(), wrapped_in(PyClassMethod_Type, function(std::move(spec))));
    return *this;
}

ClassBody& ClassBody::staticmethod(FunctionSpec spec) {
    std::string name = spec.name;
    set_name(namespace_, name.c_str(), wrapped_in(PyStaticMethod_Type, function(std::move(spec))));
    return *this;
}

ClassBody& ClassBody::property(const char* name, FunctionSpec getter, std::string doc) {
    getter.name = name;
    py::object fget = function(std::move(getter));
    py::object builtin_property = py::module_::import("builtins").attr("property");
    set_name(namespace_, name,
             doc.empty() ? builtin_property(fget) : builtin_property(fget, py::none(), py::none(), doc));
    return *this;
}

ClassBody& ClassBody::field(const char* name, py::object annotation, py::object default_value) {
    set_name(annotations_, name, annotation);
    if (default_value) set_name(namespace_, name, default_value);
    return *this;
}

py::object ClassBody::class_cell() {
    if (!class_cell_) {
        class_cell_ = py::reinterpret_steal<py::object>(PyCell_New(nullptr));
        if (!class_cell_) throw PyError::fetch();
    }
    return class_cell_;
}

py::object ClassBody::create(py::handle metaclass, py::tuple bases) const {
    py::dict body = namespace_;
    if (!annotations_.empty()) set_name(body, "__annotations__", annotations_);
    // type.__new__ fills a `__classcell__` before __set_name__ and
    // __init_subclass__ run, as for a class statement whose methods use super().
    if (class_cell_) set_name(body, "__classcell__", class_cell_);
    py::object created = metaclass(py::str(name_), bases, body);
    if (class_cell_) {
        // A metaclass that builds its own namespace may not pass the cell on.
        PyObject* held = PyCell_GET(class_cell_.ptr());
        if (held != created.ptr() && PyCell_Set(class_cell_.ptr(), created.ptr()) < 0) throw PyError::fetch();
    }
    return created;
}

py::object super(const DefiningClass& defining, py::handle self) {
    if (!defining.cell || !PyCell_Check(defining.cell.ptr()))
        raise(PyExc_SystemError, "super(): the defining class's cell is missing");
    PyObject* cls = PyCell_GET(defining.cell.ptr());
    if (!cls) raise(PyExc_RuntimeError, "super(): empty __class__ cell");
    PyObject* args[] = {cls, self.ptr()};
    PyObject* result = PyObject_Vectorcall(reinterpret_cast<PyObject*>(&PySuper_Type), args, 2, nullptr);
    if (!result) throw PyError::fetch();
    return py::reinterpret_steal<py::object>(result);
}

py::object ClassBody::create_abc(py::tuple bases) const {
    py::module_ abc = py::module_::import("abc");
    if (bases.empty()) bases = py::make_tuple(abc.attr("ABC"));
    return create(abc.attr("ABCMeta"), bases);
}

py::object ClassBody::create_plain(py::tuple bases) const {
    if (bases.empty())
        bases = py::make_tuple(py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
    return create(py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type)), bases);
}

py::object ClassBody::create_model(py::tuple bases) const {
    if (bases.empty()) bases = py::make_tuple(pydantic("BaseModel"));
    py::handle metaclass = reinterpret_cast<PyObject*>(Py_TYPE(bases[0].ptr()));
    return create(metaclass, bases);
}

py::object make_enum(py::handle enum_base, py::handle module, const std::string& qualname,
                     const std::vector<std::pair<std::string, py::object>>& members, const std::string& doc) {
    py::list items;
    for (const auto& [name, value] : members) items.append(py::make_tuple(name_key(name.c_str()), value));
    auto dot = qualname.rfind('.');
    std::string name = dot == std::string::npos ? qualname : qualname.substr(dot + 1);
    py::object created = enum_base(py::str(name), items, py::arg("module") = module.attr("__name__"),
                                   py::arg("qualname") = py::str(qualname));
    if (!doc.empty()) created.attr("__doc__") = py::str(doc);
    return created;
}

py::object pydantic(const char* name) {
    return py::module_::import("pydantic").attr(name);
}
py::object typing(const char* name) {
    return py::module_::import("typing").attr(name);
}

}  // namespace pyx
