// Names written once in the source and interned once per process: attribute,
// global and method look-ups by a ready string (its hash computed once), and
// calls with keyword arguments through vectorcall, with no dict built per call.
//
//     using namespace pyx::literals;
//     pyx::call(retry, operation, "attempts"_kw = attempts, "backoff"_kw = backoff);
//     pyx::call_method(logger, "info"_name, message);
//     pyx::getattr(status, "value"_name);
#pragma once

#include "pyx/error.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <type_traits>
#include <utility>

namespace pyx {
namespace py = pybind11;

// A string literal usable as a template argument.
template <std::size_t N>
struct FixedString {
    char text[N]{};
    constexpr FixedString(const char (&literal)[N]) { std::copy_n(literal, N, text); }
    constexpr const char* c_str() const { return text; }
};

namespace detail {
// Interns `text`; raises (as PyError) when the interpreter cannot.
PyObject* intern(const char* text);
// A tuple of interned keyword names, built once and never released: the
// names outlive every call site.
PyObject* keyword_tuple(const char* const* names, std::size_t count);
}  // namespace detail

// An interned Python string named in the source. The pointer lives in a
// constant-initialised static filled on first use, with the GIL held: no C++
// initialisation guard is taken, so nothing can deadlock against the GIL.
template <FixedString S>
struct Name {
    static PyObject* get() {
        static PyObject* interned = nullptr;
        if (!interned) interned = detail::intern(S.c_str());
        return interned;
    }
    static constexpr const char* c_str() { return S.c_str(); }
    py::handle handle() const { return get(); }
    // The string itself, as a value (a constant that costs nothing per use).
    py::object object() const { return py::reinterpret_borrow<py::object>(get()); }
};

// `name=value` in a call.
template <FixedString S, class V>
struct KeywordValue {
    V value;
};

template <FixedString S>
struct Keyword {
    static constexpr const char* c_str() { return S.c_str(); }
    template <class V>
    KeywordValue<S, V&&> operator=(V&& value) const {
        return {std::forward<V>(value)};
    }
};

namespace literals {
template <FixedString S>
constexpr Name<S> operator""_name() {
    return {};
}
template <FixedString S>
constexpr Keyword<S> operator""_kw() {
    return {};
}
// A constant Python string used as a value: `"python"_str`.
template <FixedString S>
constexpr Name<S> operator""_str() {
    return {};
}
}  // namespace literals

namespace detail {

template <class T>
struct is_name : std::false_type {};
template <FixedString S>
struct is_name<Name<S>> : std::true_type {};

template <class T>
struct is_keyword : std::false_type {};
template <FixedString S, class V>
struct is_keyword<KeywordValue<S, V>> : std::true_type {
    static constexpr const char* name = S.c_str();
};

// Holds one argument as a Python reference for the duration of a call:
// Python objects are borrowed, C++ values converted by pybind11.
struct ArgRef {
    py::object owned;
    PyObject* ptr;
    template <class T>
    explicit ArgRef(T&& value) {
        using Plain = std::remove_cvref_t<T>;
        if constexpr (std::is_base_of_v<py::handle, Plain>) {
            ptr = value.ptr();
        } else if constexpr (is_name<Plain>::value) {
            ptr = Plain::get();
        } else if constexpr (std::is_convertible_v<T&&, py::object>) {  // attribute and item accessors
            owned = std::forward<T>(value);
            ptr = owned.ptr();
        } else {
            owned = py::cast(std::forward<T>(value));
            ptr = owned.ptr();
        }
    }
};

template <class T>
decltype(auto) value_of(T&& argument) {
    if constexpr (is_keyword<std::remove_cvref_t<T>>::value) {
        return std::forward<decltype(argument.value)>(argument.value);
    } else {
        return std::forward<T>(argument);
    }
}

template <class... A>
constexpr std::size_t keyword_count() {
    return (std::size_t{0} + ... + (is_keyword<std::remove_cvref_t<A>>::value ? 1 : 0));
}

template <class... A>
constexpr bool keywords_trail() {
    bool seen = false, ok = true;
    ((is_keyword<std::remove_cvref_t<A>>::value ? (seen = true) : (ok = ok && !seen)), ...);
    return ok;
}

template <class... A>
PyObject* keyword_names() {
    constexpr std::size_t count = keyword_count<A...>();
    if constexpr (count == 0) {
        return nullptr;
    } else {
        static PyObject* names = nullptr;
        if (!names) {
            std::array<const char*, sizeof...(A)> all{[] {
                if constexpr (is_keyword<std::remove_cvref_t<A>>::value)
                    return is_keyword<std::remove_cvref_t<A>>::name;
                else
                    return static_cast<const char*>(nullptr);
            }()...};
            std::array<const char*, count> keywords{};
            std::size_t k = 0;
            for (const char* name : all) {
                if (name) keywords[k++] = name;
            }
            names = keyword_tuple(keywords.data(), count);
        }
        return names;
    }
}

inline py::object steal_result(PyObject* result) {
    if (!result) throw PyError::fetch();
    return py::reinterpret_steal<py::object>(result);
}

}  // namespace detail

// `callable(positional..., name=value...)` in one vectorcall.
template <class... A>
py::object call(py::handle callable, A&&... arguments) {
    static_assert(detail::keywords_trail<A...>(), "keyword arguments follow the positional ones, as in Python");
    detail::ArgRef refs[] = {detail::ArgRef(detail::value_of(std::forward<A>(arguments)))...,
                             detail::ArgRef(py::handle())};
    std::array<PyObject*, sizeof...(A) + 1> values{};
    for (std::size_t i = 0; i < sizeof...(A); ++i) values[i + 1] = refs[i].ptr;
    constexpr std::size_t positional = sizeof...(A) - detail::keyword_count<A...>();
    // Slot 0 is free for the callee to borrow (PY_VECTORCALL_ARGUMENTS_OFFSET).
    return detail::steal_result(PyObject_Vectorcall(
        callable.ptr(), values.data() + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, detail::keyword_names<A...>()));
}

namespace detail {
// A function of a plain module (`asyncio.sleep`), found in the module's dict
// as Python's specialised attribute load on a module finds it; null where the
// generic look-up must decide. The module type's own attributes are all
// dunder names, so any other name cannot be shadowed by a descriptor.
template <FixedString S>
PyObject* module_function(PyObject* object) {
    if constexpr (S.text[0] == '_' && S.text[1] == '_') {
        return nullptr;
    } else {
        if (!PyModule_CheckExact(object)) return nullptr;
        PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(object), Name<S>::get());  // borrowed
        if (!found && PyErr_Occurred()) throw PyError::fetch();
        return found;
    }
}
}  // namespace detail

// `object.name(positional..., name=value...)`, without a bound method object.
template <FixedString S, class... A>
py::object call_method(py::handle object, Name<S>, A&&... arguments) {
    static_assert(detail::keywords_trail<A...>(), "keyword arguments follow the positional ones, as in Python");
    detail::ArgRef refs[] = {detail::ArgRef(detail::value_of(std::forward<A>(arguments)))...,
                             detail::ArgRef(py::handle())};
    std::array<PyObject*, sizeof...(A) + 1> values{};
    values[0] = object.ptr();
    for (std::size_t i = 0; i < sizeof...(A); ++i) values[i + 1] = refs[i].ptr;
    constexpr std::size_t positional = 1 + sizeof...(A) - detail::keyword_count<A...>();
    if (PyObject* function = detail::module_function<S>(object.ptr())) {
        py::object held = py::reinterpret_borrow<py::object>(function);  // the call may rebind the module's name
        return detail::steal_result(PyObject_Vectorcall(function, values.data() + 1,
                                                        (positional - 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                        detail::keyword_names<A...>()));
    }
    return detail::steal_result(
        PyObject_VectorcallMethod(Name<S>::get(), values.data(), positional, detail::keyword_names<A...>()));
}

// `template.format(arguments...)`, the template a constant: `pyx::format("{}/{}"_str, base, name)`.
template <FixedString S, class... A>
py::object format(Name<S> text, A&&... arguments) {
    return call_method(text.handle(), Name<"format">{}, std::forward<A>(arguments)...);
}

// `object.name`
template <FixedString S>
py::object getattr(py::handle object, Name<S>) {
    return detail::steal_result(PyObject_GetAttr(object.ptr(), Name<S>::get()));
}

// `getattr(object, name, fallback)` as Python has it: only an AttributeError
// gives the fallback; any other failure of the look-up (an interrupt, a
// property that raises something else) propagates. pybind11's three-argument
// `py::getattr` and `py::hasattr` swallow every error: do not use them.
py::object getattr(py::handle object, py::handle name, py::handle fallback);
py::object getattr(py::handle object, const char* name, py::handle fallback);
template <FixedString S>
py::object getattr(py::handle object, Name<S>, py::handle fallback) {
    return pyx::getattr(object, py::handle(Name<S>::get()), fallback);
}

// `hasattr(object, name)`: False only for an AttributeError.
bool hasattr(py::handle object, py::handle name);
template <FixedString S>
bool hasattr(py::handle object, Name<S>) {
    return pyx::hasattr(object, py::handle(Name<S>::get()));
}

// `object.name = value`
template <FixedString S>
void setattr(py::handle object, Name<S>, py::handle value) {
    if (PyObject_SetAttr(object.ptr(), Name<S>::get(), value.ptr()) < 0) throw PyError::fetch();
}

}  // namespace pyx
