#include "pyx/method.hpp"

#include <structmember.h>

namespace pyx {

Param arg(std::string name, py::object default_value) {
    return {std::move(name), ParamKind::PositionalOrKeyword, std::move(default_value), {}};
}
Param kwonly(std::string name, py::object default_value) {
    return {std::move(name), ParamKind::KeywordOnly, std::move(default_value), {}};
}
Param posonly(std::string name, py::object default_value) {
    return {std::move(name), ParamKind::PositionalOnly, std::move(default_value), {}};
}
Param varargs(std::string name) {
    return {std::move(name), ParamKind::VarPositional, {}, {}};
}
Param varkw(std::string name) {
    return {std::move(name), ParamKind::VarKeyword, {}, {}};
}

namespace {

struct FunctionData {
    FunctionSpec spec;
    std::vector<py::object> names;  // interned parameter names
    py::object qualname;
    py::object globals;
    std::size_t positional = 0;  // parameters that accept a positional argument
    std::ptrdiff_t var_positional = -1;
    std::ptrdiff_t var_keyword = -1;
    bool all_positional = true;  // every parameter accepts a positional argument and none is variadic
    bool cleared = false;        // tp_clear ran: the function is garbage being torn down
};

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject* dict;
    PyObject* weakrefs;
    FunctionData* data;
};

FunctionObject* as_function(PyObject* self) {
    return reinterpret_cast<FunctionObject*>(self);
}

std::string qualname_of(const FunctionData& data) {
    return py::str(data.qualname).cast<std::string>();
}

std::string quoted_list(const std::vector<std::string>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i) text += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
        text += "'" + names[i] + "'";
    }
    return text;
}

[[noreturn]] void type_error(const std::string& message) {
    raise(PyExc_TypeError, message);
}

std::ptrdiff_t find_parameter(const FunctionData& data, PyObject* key) {
    for (std::size_t i = 0; i < data.names.size(); ++i) {
        if (data.names[i].ptr() == key) return static_cast<std::ptrdiff_t>(i);
    }
    for (std::size_t i = 0; i < data.names.size(); ++i) {
        int order = PyUnicode_Compare(data.names[i].ptr(), key);
        if (order == -1 && PyErr_Occurred()) throw PyError::fetch();
        if (order == 0) return static_cast<std::ptrdiff_t>(i);
    }
    return -1;
}

// Python's message for required arguments left without a value.
[[noreturn, gnu::cold, gnu::noinline]] void report_missing(const FunctionData& data, const ArgValues& values) {
    const auto& params = data.spec.params;
    std::vector<std::string> missing_positional, missing_keyword;
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (values[i]) continue;
        (params[i].kind == ParamKind::KeywordOnly ? missing_keyword : missing_positional).push_back(params[i].name);
    }
    bool positional = !missing_positional.empty();
    const std::vector<std::string>& names = positional ? missing_positional : missing_keyword;
    type_error(qualname_of(data) + "() missing " + std::to_string(names.size()) + " required " +
               (positional ? "positional" : "keyword-only") + " argument" + (names.size() == 1 ? "" : "s") + ": " +
               quoted_list(names));
}

// Binds a vectorcall's arguments with Python's own rules and messages.
ArgValues bind(const FunctionData& data, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const auto& params = data.spec.params;
    ArgValues values(params.size());
    auto given = static_cast<std::size_t>(nargs);
    if (given > data.positional && data.var_positional < 0) {
        std::size_t n = data.positional;
        type_error(qualname_of(data) + "() takes " + std::to_string(n) + " positional argument" + (n == 1 ? "" : "s") +
                   " but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given");
    }
    std::size_t direct = std::min(given, data.positional);
    for (std::size_t i = 0; i < direct; ++i) values[i] = py::reinterpret_borrow<py::object>(args[i]);
    if (data.var_positional >= 0) {
        py::tuple rest(given - direct);
        for (std::size_t i = direct; i < given; ++i) rest[i - direct] = py::reinterpret_borrow<py::object>(args[i]);
        values[data.var_positional] = std::move(rest);
    }
    // **kwargs gets a fresh dict only when the function declares one.
    py::dict extra = data.var_keyword >= 0 ? py::dict() : py::reinterpret_steal<py::dict>(py::handle());
    if (kwnames) {
        Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < count; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            PyObject* value = args[nargs + k];
            std::ptrdiff_t index = find_parameter(data, key);
            bool by_keyword = index >= 0 && params[index].kind != ParamKind::PositionalOnly &&
                              params[index].kind != ParamKind::VarPositional &&
                              params[index].kind != ParamKind::VarKeyword;
            if (!by_keyword) {
                if (data.var_keyword < 0) {
                    type_error(qualname_of(data) + "() got an unexpected keyword argument '" +
                               py::str(key).cast<std::string>() + "'");
                }
                extra[key] = value;
                continue;
            }
            if (values[index]) {
                type_error(qualname_of(data) + "() got multiple values for argument '" + params[index].name + "'");
            }
            values[index] = py::reinterpret_borrow<py::object>(value);
        }
    }
    if (data.var_keyword >= 0) values[data.var_keyword] = std::move(extra);
    bool missing = false;
    for (std::size_t i = 0; i < params.size(); ++i) {
        if (values[i]) continue;
        if (params[i].default_value) {
            values[i] = params[i].default_value;
        } else {
            missing = true;
        }
    }
    if (missing) report_missing(data, values);
    return values;
}

PyObject* function_call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    FunctionData& data = *as_function(callable)->data;
    if (data.cleared) {
        // Only a finalizer running amid the collection of the function's own
        // cycle can get here; its globals and closure are gone.
        PyErr_Format(PyExc_RuntimeError, "%U() was called after the garbage collector cleared it", data.qualname.ptr());
        return nullptr;
    }
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    try {
        if (data.spec.direct && !kwnames && data.all_positional &&
            static_cast<std::size_t>(nargs) == data.spec.params.size()) {
            return data.spec.direct(callable, args, data.spec.direct_body, data.qualname.ptr());
        }
        ArgValues values = bind(data, args, nargs, kwnames);
        return data.spec.bound(callable, values, data.spec.direct_body, data.qualname.ptr());
    } catch (...) {
        set_python_error(std::current_exception());
        return nullptr;
    }
}

PyObject* function_get(PyObject* self, PyObject* instance, PyObject*) {
    if (!instance || instance == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, instance);
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %S at %p>", as_function(self)->data->qualname.ptr(), self);
}

// Everything the function holds that may lead back to it: its attributes,
// defaults and annotations, its module's globals and its closure.
int function_traverse(PyObject* self, visitproc visit, void* arg) {
    FunctionObject* function = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(function->dict);
    if (FunctionData* data = function->data) {
        for (const Param& param : data->spec.params) {
            Py_VISIT(param.default_value.ptr());
            Py_VISIT(param.annotation.ptr());
        }
        Py_VISIT(data->spec.returns.ptr());
        Py_VISIT(data->globals.ptr());
        if (data->spec.closure) {
            if (int rc = data->spec.closure->traverse(visit, arg)) return rc;
        }
    }
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* function = as_function(self);
    Py_CLEAR(function->dict);
    if (FunctionData* data = function->data) {
        data->cleared = true;
        // Dropped in steps, each reference released only after its slot is
        // empty, since releasing may run arbitrary code.
        for (Param& param : data->spec.params) {
            py::object default_value = std::move(param.default_value);
            py::object annotation = std::move(param.annotation);
        }
        py::object returns = std::move(data->spec.returns);
        py::object globals = std::move(data->globals);
        if (data->spec.closure) data->spec.closure->clear();
    }
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* function = as_function(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    if (function->weakrefs) PyObject_ClearWeakRefs(self);
    Py_CLEAR(function->dict);
    {
        ErrorIndicatorGuard guard;
        delete std::exchange(function->data, nullptr);
    }
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef function_members[] = {
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__weaklistoffset__", T_PYSSIZET, offsetof(FunctionObject, weakrefs), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "pyx.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    function_slots,
};

py::object build_signature(const FunctionSpec& spec) {
    py::module_ inspect = py::module_::import("inspect");
    py::object parameter = inspect.attr("Parameter");
    py::object empty = parameter.attr("empty");
    py::list parameters;
    for (const Param& param : spec.params) {
        py::dict options;
        options["default"] = param.default_value ? param.default_value : empty;
        options["annotation"] = param.annotation ? param.annotation : empty;
        parameters.append(parameter(param.name, static_cast<int>(param.kind), **options));
    }
    py::object returns = spec.returns ? spec.returns : inspect.attr("Signature").attr("empty");
    return inspect.attr("Signature")(parameters, py::arg("return_annotation") = returns);
}

// Function attributes and annotations are keyed by interned names, as
// Python's own are.
void set_attribute(const py::dict& attributes, const char* name, py::handle value) {
    if (PyDict_SetItem(attributes.ptr(), detail::intern(name), value.ptr()) < 0) throw PyError::fetch();
}

// What a Python function keeps in __annotations__: each annotated parameter,
// then "return"; typing.get_type_hints reads it.
py::dict annotations_of(const FunctionSpec& spec) {
    py::dict annotations;
    for (const Param& param : spec.params) {
        if (param.annotation) set_attribute(annotations, param.name.c_str(), param.annotation);
    }
    if (spec.returns) set_attribute(annotations, "return", spec.returns);
    return annotations;
}

}  // namespace

void annotate_return(py::handle function, py::object annotation) {
    py::object signature = function.attr("__signature__");
    function.attr("__signature__") = signature.attr("replace")(py::arg("return_annotation") = annotation);
    function.attr("__annotations__")["return"] = annotation;
    FunctionData* data = as_function(function.ptr())->data;
    data->spec.returns = std::move(annotation);
}

py::handle function_type() {
    static PyObject* type = [] {
        PyObject* created = PyType_FromSpec(&function_spec);
        if (!created) throw PyError::fetch();
        return created;
    }();
    return type;
}

py::object make_function(FunctionSpec spec, py::handle globals, std::string qualname) {
    if (!spec.bound)
        raise(PyExc_SystemError, spec.name + ": a native function is made by pyx::def or an abstract_* declaration");
    if (spec.describe) spec.params = spec.describe(globals);
    auto data = std::make_unique<FunctionData>();
    for (std::size_t i = 0; i < spec.params.size(); ++i) {
        const Param& param = spec.params[i];
        PyObject* interned = PyUnicode_InternFromString(param.name.c_str());
        if (!interned) throw PyError::fetch();
        data->names.push_back(py::reinterpret_steal<py::object>(interned));
        switch (param.kind) {
            case ParamKind::PositionalOnly:
            case ParamKind::PositionalOrKeyword:
                ++data->positional;
                break;
            case ParamKind::VarPositional:
                data->var_positional = static_cast<std::ptrdiff_t>(i);
                break;
            case ParamKind::VarKeyword:
                data->var_keyword = static_cast<std::ptrdiff_t>(i);
                break;
            case ParamKind::KeywordOnly:
                break;
        }
        if (param.kind != ParamKind::PositionalOnly && param.kind != ParamKind::PositionalOrKeyword) {
            data->all_positional = false;
        }
    }
    data->qualname = py::str(qualname.empty() ? spec.name : qualname);
    data->globals = py::reinterpret_borrow<py::object>(globals);
    py::object signature = build_signature(spec);

    auto* type = reinterpret_cast<PyTypeObject*>(function_type().ptr());
    PyObject* object = type->tp_alloc(type, 0);
    if (!object) throw PyError::fetch();
    py::object function = py::reinterpret_steal<py::object>(object);
    FunctionObject* self = as_function(object);
    self->vectorcall = function_call;
    self->data = data.release();
    FunctionSpec& own = self->data->spec;
    own = std::move(spec);

    py::dict attributes;
    set_attribute(attributes, "__name__", py::str(own.name));
    set_attribute(attributes, "__qualname__", self->data->qualname);
    PyObject* module_name = PyDict_GetItemWithError(globals.ptr(), detail::intern("__name__"));
    if (!module_name && PyErr_Occurred()) throw PyError::fetch();
    set_attribute(attributes, "__module__", module_name ? py::handle(module_name) : py::handle(Py_None));
    set_attribute(attributes, "__doc__", own.doc.empty() ? py::object(py::none()) : py::object(py::str(own.doc)));
    set_attribute(attributes, "__signature__", signature);
    set_attribute(attributes, "__annotations__", annotations_of(own));
    if (own.is_abstract) set_attribute(attributes, "__isabstractmethod__", py::bool_(true));
    self->dict = attributes.release().ptr();
    if (own.coroutine) {
        py::module_ inspect = py::module_::import("inspect");
        if (pyx::hasattr(inspect, py::str("markcoroutinefunction"))) {
            inspect.attr("markcoroutinefunction")(function);
        } else {  // 3.11: asyncio's own mark
            function.attr("_is_coroutine") = py::module_::import("asyncio.coroutines").attr("_is_coroutine");
        }
    }
    return function;
}

py::object global_by_name(py::handle function, PyObject* name) {
    auto* data = as_function(function.ptr())->data;
    PyObject* value = data->globals ? PyDict_GetItemWithError(data->globals.ptr(), name) : nullptr;
    if (!value) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
        throw PyError::fetch();
    }
    return py::reinterpret_borrow<py::object>(value);
}

py::object globals_of(py::handle function) {
    const py::object& globals = as_function(function.ptr())->data->globals;
    if (!globals) raise(PyExc_RuntimeError, "the function's globals were cleared by the garbage collector");
    return globals;
}

const ClosureBase* closure_of(py::handle function) noexcept {
    return as_function(function.ptr())->data->spec.closure.get();
}

py::object def_function(py::module_& module, FunctionSpec spec) {
    std::string name = spec.name;
    py::object function = make_function(std::move(spec), module.attr("__dict__"));
    module.attr(name.c_str()) = function;
    return function;
}

}  // namespace pyx
