// Builders for genuine Python classes whose methods are native functions:
// abstract base classes, pydantic models, enumerations, exceptions and plain
// classes of constants. Every member goes into the namespace before the class
// is created, as a class body would, so ABCMeta and pydantic see all of it.
#pragma once

#include "pyx/method.hpp"

#include <string>
#include <utility>
#include <vector>

namespace pyx {
namespace py = pybind11;

// The class a method is defined in, as the `__class__` cell of a Python
// method holds it for a bare `super()`: a cell that the class body hands out
// before the class exists and fills when it makes the class. A method that
// named its class through the module global instead would call itself without
// end (and overflow the C stack) as soon as a caller rebinds that global to a
// subclass. Held in a closure struct, so the collector sees the cycle
// class -> method -> cell -> class.
//
//     struct Init : pyx::Params { Arg self = arg("self"); };
//     py::object init(Init& a, const pyx::DefiningClass& defining) {
//         pyx::call_method(pyx::super(defining, a.self), "__init__"_name);   // super().__init__()
//         ...
//     }
//     body.method(pyx::def("__init__", init, pyx::DefiningClass{body.class_cell()}));
struct DefiningClass {
    py::object cell;
};

// `super()` inside a method of the class in `defining`: super(cls, self), or
// super(cls, cls) in a classmethod. Raises RuntimeError while the class is
// still being made, as Python does for an empty `__class__` cell.
py::object super(const DefiningClass& defining, py::handle self);

class ClassBody {
public:
    // `module` is the defining module; `qualname` the class's qualified name.
    ClassBody(py::handle module, std::string qualname);

    ClassBody& doc(const std::string& text);
    ClassBody& attr(const char* name, py::object value);
    ClassBody& method(FunctionSpec spec);
    ClassBody& classmethod(FunctionSpec spec);
    ClassBody& staticmethod(FunctionSpec spec);
    ClassBody& property(const char* name, FunctionSpec getter, std::string doc = {});
    // pydantic: a field with its annotation and, optionally, its default (a value or a FieldInfo).
    ClassBody& field(const char* name, py::object annotation, py::object default_value = {});

    // The cell that create*() fills with the class: the closure of a method
    // that calls super(). Every call gives the same cell.
    py::object class_cell();

    // A native function named for this class (qualname "Class.name"), not yet in the namespace.
    py::object function(FunctionSpec spec) const;

    const std::string& name() const noexcept { return name_; }
    const py::dict& namespace_dict() const noexcept { return namespace_; }
    py::handle module() const noexcept { return module_; }

    // Calls `metaclass(name, bases, namespace)`.
    py::object create(py::handle metaclass, py::tuple bases) const;
    py::object create_abc(py::tuple bases = py::tuple()) const;    // abc.ABCMeta; bases default to (abc.ABC,)
    py::object create_plain(py::tuple bases = py::tuple()) const;  // type; bases default to (object,)
    py::object create_model(py::tuple bases = py::tuple()) const;  // pydantic's model metaclass; default (BaseModel,)

private:
    py::object module_;
    std::string qualname_;
    std::string name_;
    py::dict namespace_;
    py::dict annotations_;
    py::object class_cell_;
};

// `enum_base(name, members, module=..., qualname=...)`, e.g. enum.StrEnum.
py::object make_enum(py::handle enum_base, py::handle module, const std::string& qualname,
                     const std::vector<std::pair<std::string, py::object>>& members, const std::string& doc = {});

// pydantic helpers used by model bodies.
py::object pydantic(const char* name);
py::object typing(const char* name);

}  // namespace pyx
