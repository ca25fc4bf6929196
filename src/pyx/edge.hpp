// Typed edges: a Python value becomes a C++ value once, where it enters a
// body, and C++ values become Python ones once, where a result leaves it. The
// logic in between works on std::string, std::optional, std::vector and
// std::chrono, not on py::object.
//
// One struct per thing read, with its conversion in one place:
//
//     struct RunReport {
//         std::string error, stderr_text;
//         long long exit_code;
//         static RunReport from_python(py::handle result) {
//             return {pyx::read<std::string>(result, "error"_name), pyx::read<std::string>(result, "stderr"_name),
//                     pyx::read<long long>(result, "exit_code"_name)};
//         }
//     };
//
// and a model built back in one call, C++ values converted by pybind11
// (std::string -> str, std::nullopt -> None, std::chrono durations -> timedelta):
//
//     pyx::call(a.global("CommandResult"_name), "stdout"_kw = out.text, "timed_out"_kw = out.timed_out);
//
// Include this header only where a body converts: it brings in pybind11's
// STL and chrono casters.
#pragma once

#include "pyx/names.hpp"

#include <pybind11/chrono.h>
#include <pybind11/stl.h>

#include <chrono>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace pyx {
namespace py = pybind11;

namespace detail {

template <class T>
struct type_label {
    static std::string text() {
        if constexpr (std::is_same_v<T, std::string>)
            return "str";
        else if constexpr (std::is_same_v<T, bool>)
            return "bool";
        else if constexpr (std::is_integral_v<T>)
            return "int";
        else if constexpr (std::is_floating_point_v<T>)
            return "float";
        else
            return "a convertible value";
    }
};
template <class T>
struct type_label<std::optional<T>> {
    static std::string text() { return type_label<T>::text() + " | None"; }
};
template <class T>
struct type_label<std::vector<T>> {
    static std::string text() { return "list[" + type_label<T>::text() + "]"; }
};
template <class R, class P>
struct type_label<std::chrono::duration<R, P>> {
    static std::string text() { return "float | timedelta"; }
};

template <class T>
struct is_optional : std::false_type {};
template <class T>
struct is_optional<std::optional<T>> : std::true_type {};
template <class T>
struct is_duration : std::false_type {};
template <class R, class P>
struct is_duration<std::chrono::duration<R, P>> : std::true_type {};

[[noreturn]] void wrong_type(py::handle value, const std::string& what, const std::string& expected);

}  // namespace detail

// `value` as a T; TypeError naming `what` when it is not one. Booleans must
// be True or False (no truth test); numbers convert as int() and float() do
// for their own kinds; None is std::nullopt for an optional.
template <class T>
T read(py::handle value, const std::string& what) {
    if constexpr (std::is_same_v<T, py::object>) {
        return py::reinterpret_borrow<py::object>(value);
    } else if constexpr (detail::is_optional<T>::value) {
        if (value.is_none()) return std::nullopt;
        try {
            return read<typename T::value_type>(value, what);
        } catch (const PyError& error) {
            if (!error.matches(PyExc_TypeError)) throw;
            detail::wrong_type(value, what, detail::type_label<T>::text());
        }
    } else if constexpr (detail::is_duration<T>::value) {
        // pybind11 takes a timedelta or a float; a whole number of seconds is one too.
        if ((PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())) && !PyBool_Check(value.ptr())) {
            double seconds = PyFloat_AsDouble(value.ptr());
            if (seconds == -1.0 && PyErr_Occurred()) throw PyError::fetch();
            return std::chrono::duration_cast<T>(std::chrono::duration<double>(seconds));
        }
        py::detail::make_caster<T> caster;
        if (!caster.load(value, true)) detail::wrong_type(value, what, detail::type_label<T>::text());
        return py::detail::cast_op<T>(std::move(caster));
    } else {
        py::detail::make_caster<T> caster;
        if (!caster.load(value, /*convert=*/!std::is_same_v<T, bool>)) {
            if (PyErr_Occurred()) throw PyError::fetch();
            detail::wrong_type(value, what, detail::type_label<T>::text());
        }
        return py::detail::cast_op<T>(std::move(caster));
    }
}

// `object.name` as a T.
template <class T, FixedString S>
T read(py::handle object, Name<S> name) {
    return read<T>(getattr(object, name), name.c_str());
}

// `mapping.get(key)` as an optional T: std::nullopt when the key is missing
// or maps to None, as SDK responses leave optional fields out.
template <class T>
std::optional<T> read_item(py::handle mapping, const char* key) {
    py::object value = py::reinterpret_borrow<py::object>(mapping).attr("get")(key);
    if (value.is_none()) return std::nullopt;
    return read<T>(value, key);
}

// A time limit given as seconds (int or float) or as a timedelta.
using Seconds = std::chrono::duration<double>;

}  // namespace pyx
