// Parameters by name. A function's parameters are declared once, as a struct
// next to its body; the same declaration builds the function's __signature__
// and, on each call, hands the body its arguments as named members:
//
//     struct BuildUploadPath : pyx::Params {
//         Arg filename = arg("filename");
//         Arg upload_dir = arg("upload_dir");
//         Arg default_dir = kwonly("default_dir", py::none());
//     };
//     py::object build_upload_path(BuildUploadPath& a) { ... a.filename ... }
//
//     pyx::def_function(module, pyx::def("build_upload_path", build_upload_path));
//
// The default member initialisers run once, when the function is made (as a
// Python `def` evaluates its defaults once); a call initialises every member
// from its bound argument, so they never run per call. A body that returns a
// `Task<py::object>` takes its struct by value and makes an async function.
//
// Objects that a body closes over go into a closure struct of Python objects,
// held by the function object where the cycle collector sees them:
//
//     struct Wrapped { py::object func; py::dict attrs; };
//     py::object wrapper(Wrapper& a, const Wrapped& closure) { ... }
//     pyx::make_function(pyx::def("wrapper", wrapper, Wrapped{func, attrs}), globals);
#pragma once

#include "pyx/method.hpp"

#include <cstddef>
#include <type_traits>
#include <utility>

namespace pyx {
namespace py = pybind11;

namespace detail {
// Where the declarations of a struct being described go; null during calls.
std::vector<Param>*& recording() noexcept;
// The globals of the module whose function is being described.
py::handle& describing_globals() noexcept;
}  // namespace detail

// One parameter's value inside a parameter struct: a py::object.
class Arg : public py::object {
public:
    using py::object::object;
    using py::object::operator=;
    // The declaration, taken when the struct is described.
    Arg(Param declaration) {  // NOLINT: implicit by design, `Arg x = arg("x")`
        if (auto* list = detail::recording()) list->push_back(std::move(declaration));
    }
    explicit Arg(py::object&& value) noexcept : py::object(std::move(value)) {}
    Arg(const Arg&) = default;
    Arg(Arg&&) noexcept = default;
    Arg& operator=(const Arg&) = default;
    Arg& operator=(Arg&&) noexcept = default;
};

// Base of every parameter struct: the function being called (whose module
// globals the body reads) and the declarations' vocabulary.
class Params {
public:
    Params() = default;
    explicit Params(py::object function) noexcept : function_(std::move(function)) {}

    // A global of the function's module, looked up now, as Python resolves a
    // global name at call time. The interned form is the fast one.
    template <FixedString S>
    py::object global(Name<S> name) const {
        return global_by_name(function_, name.get());
    }
    py::object global(const char* name) const;

    const py::object& function() const noexcept { return function_; }
    // The globals of the function's module.
    py::object globals() const { return globals_of(function_); }

protected:
    using Arg = pyx::Arg;
    static Param arg(std::string name, py::object default_value = {}) {
        return pyx::arg(std::move(name), std::move(default_value));
    }
    static Param kwonly(std::string name, py::object default_value = {}) {
        return pyx::kwonly(std::move(name), std::move(default_value));
    }
    static Param posonly(std::string name, py::object default_value = {}) {
        return pyx::posonly(std::move(name), std::move(default_value));
    }
    static Param varargs(std::string name = "args") { return pyx::varargs(std::move(name)); }
    static Param varkw(std::string name = "kwargs") { return pyx::varkw(std::move(name)); }
    // A global of the defining module, read when the function is made: the
    // value a Python default expression naming that global would have.
    static py::object module_global(const char* name);
    // `from module import name`, evaluated when the function is made, for a
    // default taken from another module without binding it as a global.
    static py::object imported(const char* module, const char* name) { return py::module_::import(module).attr(name); }

private:
    py::object function_;
};

// The parameter lists that recur in every module: `(self)` and `()`.
struct SelfOnly : Params {
    Arg self = arg("self");
};
struct NoParams : Params {};

// `name: annotation` for a declaration: `Arg seconds = annotated(arg("seconds"), builtin("float"))`.
inline Param annotated(Param param, py::object annotation) {
    param.annotation = std::move(annotation);
    return param;
}

namespace detail {

// How many members a parameter struct has after its Params base: the largest
// count of Python objects it can be brace-initialised from.
template <class P, std::size_t... I>
constexpr bool initialisable_from(std::index_sequence<I...>) {
    return requires {
        P{std::declval<Params>(), (void(I), std::declval<Arg>())...};
    };
}
template <class P, std::size_t N = 0>
constexpr std::size_t member_count() {
    if constexpr (N > 32) {
        return N;
    } else if constexpr (initialisable_from<P>(std::make_index_sequence<N + 1>{})) {
        return member_count<P, N + 1>();
    } else {
        return N;
    }
}

template <class P>
constexpr void check_params_struct() {
    static_assert(std::is_base_of_v<Params, P>, "a parameter struct derives from pyx::Params");
    static_assert(std::is_aggregate_v<P>, "a parameter struct is a plain aggregate of Arg members");
    static_assert(sizeof(P) == sizeof(Params) + member_count<P>() * sizeof(py::object),
                  "every member of a parameter struct is an Arg");
}

// The declarations, in member order: the struct's default initialisers, run once.
template <class P>
std::vector<Param> describe(py::handle globals) {
    check_params_struct<P>();
    std::vector<Param> params;
    struct Scope {
        std::vector<Param>* previous;
        py::handle previous_globals;
        ~Scope() {
            recording() = previous;
            describing_globals() = previous_globals;
        }
    } scope{recording(), describing_globals()};
    recording() = &params;
    describing_globals() = globals;
    { P probe{}; }
    if (params.size() != member_count<P>()) {
        raise(PyExc_SystemError, "parameter struct: every member must be declared as `Arg name = arg(\"name\")`");
    }
    return params;
}

template <class P, std::size_t... I>
P bind_positional(PyObject* function, PyObject* const* args, std::index_sequence<I...>) {
    return P{Params(py::reinterpret_borrow<py::object>(function)), Arg(py::reinterpret_borrow<py::object>(args[I]))...};
}

// The struct's Python references, in declaration order after the function.
template <class P>
const py::object* slots(const P& params) noexcept {
    return reinterpret_cast<const py::object*>(reinterpret_cast<const char*>(&params) + sizeof(Params));
}

template <class C>
constexpr std::size_t closure_size() {
    static_assert(std::is_aggregate_v<C> && sizeof(C) % sizeof(py::object) == 0,
                  "a closure struct is a plain aggregate of Python objects");
    return sizeof(C) / sizeof(py::object);
}

template <class C, std::size_t... I>
constexpr bool closure_of_objects(std::index_sequence<I...>) {
    return requires {
        C{(void(I), std::declval<py::object>())...};
    };
}

template <class C>
class Closure final : public ClosureBase {
public:
    static_assert(closure_of_objects<C>(std::make_index_sequence<closure_size<C>()>{}),
                  "every member of a closure struct is a Python object (py::object, py::dict, ...)");
    explicit Closure(C value) : value_(std::move(value)) {}
    const C& value() const noexcept { return value_; }
    int traverse(visitproc visit, void* arg) const override {
        auto* objects = reinterpret_cast<const py::object*>(&value_);
        for (std::size_t i = 0; i < closure_size<C>(); ++i) Py_VISIT(objects[i].ptr());
        return 0;
    }
    void clear() noexcept override {
        auto* objects = reinterpret_cast<py::object*>(&value_);
        for (std::size_t i = 0; i < closure_size<C>(); ++i) py::object dropped = std::move(objects[i]);
    }

private:
    C value_;
};

template <class C>
const C& closure_value(const py::object& function) {
    return static_cast<const Closure<C>*>(closure_of(function))->value();
}

template <class T>
struct is_task : std::false_type {};
template <class T>
struct is_task<Task<T>> : std::true_type {};

// The parts of a body's signature: R(P&) or R(P&, const C&), and their async forms.
template <class F>
struct body_traits : body_traits<decltype(&F::operator())> {};
template <class R, class P>
struct body_traits<R (*)(P)> {
    using result = R;
    using params = std::remove_cvref_t<P>;
    using closure = void;
};
template <class R, class P, class C>
struct body_traits<R (*)(P, C)> {
    using result = R;
    using params = std::remove_cvref_t<P>;
    using closure = std::remove_cvref_t<C>;
};
template <class L, class R, class... A>
struct body_traits<R (L::*)(A...) const> : body_traits<R (*)(A...)> {};

template <class R>
py::object to_object(R&& result) {
    if constexpr (std::is_base_of_v<py::handle, std::remove_cvref_t<R>>) {
        return py::reinterpret_borrow<py::object>(result);
    } else {
        return py::cast(std::forward<R>(result));
    }
}

FunctionSpec spec_with_params(std::string name, std::vector<Param> (*describe)(py::handle));

// Bodies of abstract members: raise NotImplementedError without a message
// (the coroutine's when awaited), which only a subclass that delegates to the
// base reaches.
PyObject* raise_not_implemented(PyObject* function, ArgValues& values, const void* body, PyObject* qualname);
PyObject* not_implemented_coroutine(PyObject* function, ArgValues& values, const void* body, PyObject* qualname);

// The body itself: a function pointer kept in the FunctionSpec, or a lambda without
// captures, made afresh (it has no state).
template <class F>
F body_of(const void* stored) {
    if constexpr (std::is_pointer_v<F>) {
        return reinterpret_cast<F>(const_cast<void*>(stored));
    } else {
        return F{};
    }
}

template <class P, std::size_t... I>
P bind_values(PyObject* function, ArgValues& values, std::index_sequence<I...>) {
    return P{Params(py::reinterpret_borrow<py::object>(function)), Arg(std::move(values[I]))...};
}

template <class F, class P, class C>
PyObject* run_body(F body, P&& params, PyObject* qualname);

template <class F, class P, class C>
PyObject* call_direct(PyObject* function, PyObject* const* args, const void* stored, PyObject* qualname) {
    return run_body<F, P, C>(body_of<F>(stored),
                             bind_positional<P>(function, args, std::make_index_sequence<member_count<P>()>{}),
                             qualname);
}

template <class F, class P, class C>
PyObject* call_bound(PyObject* function, ArgValues& values, const void* stored, PyObject* qualname) {
    return run_body<F, P, C>(body_of<F>(stored),
                             bind_values<P>(function, values, std::make_index_sequence<member_count<P>()>{}), qualname);
}

template <class F, class P, class C>
PyObject* run_body(F body, P&& params, PyObject* qualname) {
    if constexpr (is_task<typename body_traits<F>::result>::value) {
        if constexpr (std::is_void_v<C>) {
            return to_python(body(std::move(params)), qualname).release().ptr();
        } else {
            const C& own = closure_value<C>(params.function());
            return to_python(body(std::move(params), own), qualname).release().ptr();
        }
    } else {
        py::object result;
        if constexpr (std::is_void_v<C>) {
            result = to_object(body(params));
        } else {
            result = to_object(body(params, closure_value<C>(params.function())));
        }
        if (!result) raise(PyExc_SystemError, "a native function returned no object and raised nothing");
        return result.release().ptr();
    }
}

}  // namespace detail

// An abstract method declared by its parameter struct: its body raises
// NotImplementedError, reached only by a subclass that delegates to it.
template <class P>
FunctionSpec abstract_method(std::string name) {
    FunctionSpec spec = detail::spec_with_params(std::move(name), &detail::describe<P>);
    spec.bound = &detail::raise_not_implemented;
    spec.is_abstract = true;
    return spec;
}
template <class P>
FunctionSpec abstract_coroutine(std::string name) {
    FunctionSpec spec = detail::spec_with_params(std::move(name), &detail::describe<P>);
    spec.bound = &detail::not_implemented_coroutine;
    spec.coroutine = true;
    spec.is_abstract = true;
    return spec;
}

// A native function from a typed body; see the top of this file. `body` is a
// function or a lambda without captures: what it needs beyond its arguments
// comes through `closure` or the module's globals.
template <class F, class C = std::nullptr_t>
FunctionSpec def(std::string name, F body, C closure = nullptr) {
    using traits = detail::body_traits<F>;
    using P = typename traits::params;
    static_assert(std::is_pointer_v<F> || std::is_empty_v<F>,
                  "a body captures nothing: put Python objects into its closure struct");
    FunctionSpec spec = detail::spec_with_params(std::move(name), &detail::describe<P>);
    spec.direct = &detail::call_direct<F, P, typename traits::closure>;
    spec.bound = &detail::call_bound<F, P, typename traits::closure>;
    if constexpr (std::is_pointer_v<F>) spec.direct_body = reinterpret_cast<const void*>(body);
    if constexpr (!std::is_void_v<typename traits::closure>) {
        using Own = typename traits::closure;
        static_assert(std::is_same_v<Own, C>, "pass the body's closure struct to def()");
        spec.closure = std::make_unique<detail::Closure<Own>>(std::move(closure));
    }
    if constexpr (detail::is_task<typename traits::result>::value) {
        static_assert(std::is_same_v<typename traits::result, Task<py::object>>,
                      "an async body returns Task<py::object>");
        spec.coroutine = true;
    }
    return spec;
}

// A parameter struct filled by hand, in declaration order, for running a
// function's C++ body straight from another body: when the module global
// that names the function is still that very function object (nobody
// replaced it), `co_await body(pyx::params<P>(function, ...))` does what
// calling it would, without a Python coroutine object in between.
template <class P, class... V>
P params(py::handle function, V&&... values) {
    static_assert(sizeof...(V) == detail::member_count<P>(), "one value per parameter");
    return P{Params(py::reinterpret_borrow<py::object>(function)),
             Arg(py::reinterpret_borrow<py::object>(py::handle(values)))...};
}

// The coroutine frame of an async body records its parameter struct here, so
// that the cycle collector sees the arguments it holds.
template <class P>
requires std::is_base_of_v<Params, P>
int pyx_traverse(const P& params, visitproc visit, void* arg) {
    Py_VISIT(params.function().ptr());
    const py::object* objects = detail::slots(params);
    for (std::size_t i = 0; i < detail::member_count<P>(); ++i) Py_VISIT(objects[i].ptr());
    return 0;
}

}  // namespace pyx
