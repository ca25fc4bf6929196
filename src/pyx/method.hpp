// The native method descriptor: a C++ body behind a callable that behaves
// like a Python function (binds as a method, has a __dict__, a real
// __signature__, can be marked abstract or as a coroutine function).
#pragma once

#include "pyx/names.hpp"
#include "pyx/task.hpp"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace pyx {
namespace py = pybind11;

enum class ParamKind {
    PositionalOnly = 0,
    PositionalOrKeyword = 1,
    VarPositional = 2,
    KeywordOnly = 3,
    VarKeyword = 4
};

struct Param {
    std::string name;
    ParamKind kind = ParamKind::PositionalOrKeyword;
    py::object default_value;  // null: required
    py::object annotation;     // null: none

    // `name: annotation`
    Param&& annotated(py::object type) && {
        annotation = std::move(type);
        return std::move(*this);
    }
};

Param arg(std::string name, py::object default_value = {});
Param kwonly(std::string name, py::object default_value = {});
Param posonly(std::string name, py::object default_value = {});
Param varargs(std::string name = "args");
Param varkw(std::string name = "kwargs");

// Argument slots; most functions have few parameters, which then live inline
// and cost no allocation per call. Only the slots in use are constructed,
// moved and destroyed.
class ArgValues {
public:
    static constexpr std::size_t inline_capacity = 8;

    explicit ArgValues(std::size_t size = 0) : size_(size) {
        data_ = size <= inline_capacity ? inline_slots()
                                        : static_cast<py::object*>(::operator new(size * sizeof(py::object)));
        std::uninitialized_value_construct_n(data_, size_);
    }
    ArgValues(ArgValues&& other) noexcept : size_(other.size_) {
        if (other.data_ == other.inline_slots()) {
            data_ = inline_slots();
            std::uninitialized_move_n(other.data_, size_, data_);
        } else {
            data_ = std::exchange(other.data_, other.inline_slots());
            other.size_ = 0;
        }
    }
    ArgValues& operator=(ArgValues&&) = delete;
    ~ArgValues() {
        std::destroy_n(data_, size_);
        if (data_ != inline_slots()) ::operator delete(data_);
    }

    py::object& operator[](std::size_t index) { return data_[index]; }
    const py::object& operator[](std::size_t index) const { return data_[index]; }
    std::size_t size() const noexcept { return size_; }

private:
    py::object* inline_slots() noexcept { return reinterpret_cast<py::object*>(inline_); }

    std::size_t size_;
    py::object* data_;
    alignas(py::object) std::byte inline_[inline_capacity * sizeof(py::object)];
};

// The global `name` (an interned string) of `function`'s module, looked up now.
py::object global_by_name(py::handle function, PyObject* name);

// Python objects that a function's body closes over, held by the function
// object itself so that the cycle collector sees them (tp_traverse) and can
// break cycles through them (tp_clear).
class ClosureBase {
public:
    virtual ~ClosureBase() = default;
    virtual int traverse(visitproc visit, void* arg) const = 0;
    virtual void clear() noexcept = 0;
};
// The globals dict of a native function's module.
py::object globals_of(py::handle function);
// The closure of a native function, null when it has none.
const ClosureBase* closure_of(py::handle function) noexcept;

struct FunctionSpec {
    std::string name;
    std::vector<Param> params;
    std::string doc;
    py::object returns;  // return annotation, null: none
    bool is_abstract = false;
    bool coroutine = false;  // calls return a coroutine (an async body)
    std::unique_ptr<ClosureBase> closure;
    // Typed bodies (pyx/params.hpp) declare their parameters in a struct,
    // described into `params` when the function is made.
    std::vector<Param> (*describe)(py::handle globals) = nullptr;
    // Typed bodies also get a direct entry for the commonest call, one
    // positional argument per parameter and no keywords: it builds the
    // parameter struct straight from the arguments. Returns a new reference.
    using DirectEntry = PyObject* (*)(PyObject* function, PyObject* const* args, const void* body, PyObject* qualname);
    DirectEntry direct = nullptr;
    // And an entry for any other call, taking the bound argument slots.
    using BoundEntry = PyObject* (*)(PyObject* function, ArgValues& values, const void* body, PyObject* qualname);
    BoundEntry bound = nullptr;
    const void* direct_body = nullptr;  // the body function, for a body given as a function pointer

    FunctionSpec&& with_doc(std::string text) && {
        doc = std::move(text);
        return std::move(*this);
    }
    FunctionSpec&& returning(py::object annotation) && {
        returns = std::move(annotation);
        return std::move(*this);
    }
};

// Creates the function object. `globals` is the dict of the module that
// defines it; `qualname` defaults to the name.
py::object make_function(FunctionSpec spec, py::handle globals, std::string qualname = {});
// Defines a module-level function.
py::object def_function(py::module_& module, FunctionSpec spec);

py::handle function_type();

// Sets the return annotation of a native function once the annotated type
// exists (a classmethod returning its own class): what a string annotation
// resolves to in Python.
void annotate_return(py::handle function, py::object annotation);

}  // namespace pyx
