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

    // A native function named for this class (qualname "Class.name"), not yet in the namespace.
    py::object function(FunctionSpec spec) const;

    const std::string& name() const noexcept { return name_; }
    const py::dict& namespace_dict() const noexcept { return namespace_; }
    py::handle module() const noexcept { return module_; }

    // Calls `metaclass(name, bases, namespace)`.
    py::object create(py::handle metaclass, py::tuple bases) const;
    py::object create_abc(py::tuple bases = py::tuple()) const;       // abc.ABCMeta; bases default to (abc.ABC,)
    py::object create_plain(py::tuple bases = py::tuple()) const;     // type; bases default to (object,)
    py::object create_model(py::tuple bases = py::tuple()) const;     // pydantic's model metaclass; default (BaseModel,)

private:
    py::object module_;
    std::string qualname_;
    std::string name_;
    py::dict namespace_;
    py::dict annotations_;
};

// Bodies of abstract members: raise NotImplementedError without a message,
// which only a subclass that delegates to the base reaches.
py::object not_implemented(Args& args);
Task<py::object> not_implemented_async(Args args);

// `enum_base(name, members, module=..., qualname=...)`, e.g. enum.StrEnum.
py::object make_enum(py::handle enum_base, py::handle module, const std::string& qualname,
                     const std::vector<std::pair<std::string, py::object>>& members, const std::string& doc = {});

// pydantic helpers used by model bodies.
py::object pydantic(const char* name);
py::object typing(const char* name);

}  // namespace pyx
