#include "pyx/module.hpp"

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

py::module_ import_from(py::module_& module, const char* source, std::initializer_list<const char*> names) {
    py::module_ imported = py::module_::import(source);
    for (const char* name : names) module.attr(name) = imported.attr(name);
    return imported;
}

py::object bind_logger(py::module_& module) {
    py::object manager = py::module_::import("kelmo_core.logging").attr("LoggerManager");
    py::object logger = manager().attr("get_logger")(module.attr("__name__"));
    module.attr("logger") = logger;
    return logger;
}

}  // namespace pyx
