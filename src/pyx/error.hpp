// Python exceptions travelling through C++ frames.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <string>
#include <utility>

namespace pyx {
namespace py = pybind11;

// Carries one Python exception instance through C++ code. Re-raising puts the
// very same object back, so `raise` without arguments and `raise X from e`
// behave as in Python; unlike pybind11's error_already_set it may be restored
// any number of times.
class PyError : public std::exception {
public:
    explicit PyError(py::object exception);

    // Takes the current error indicator (which must be set) and clears it.
    static PyError fetch();

    const py::object& value() const noexcept { return exception_; }
    py::handle type() const noexcept { return reinterpret_cast<PyObject*>(Py_TYPE(exception_.ptr())); }
    bool matches(py::handle exception_type) const;
    // True for an `Exception`; false for BaseException-only kinds such as
    // CancelledError, KeyboardInterrupt, SystemExit and GeneratorExit.
    bool is_exception() const;
    void restore() const;
    const char* what() const noexcept override;

private:
    py::object exception_;
    mutable std::string what_;
};

// Converts whatever C++ exception is in flight (or stored) into a PyError:
// pybind11's errors keep their Python type, std::exception becomes RuntimeError.
PyError to_pyerror(std::exception_ptr error);
// At a C-API boundary: set the Python error indicator from the current C++ exception.
void set_python_error(std::exception_ptr error) noexcept;

[[noreturn]] void raise(py::handle exception_type, const std::string& message);
// `raise exception from cause`: sets __cause__, __context__ and __suppress_context__.
[[noreturn]] void raise_from(py::object exception, py::handle cause);
void set_cause(py::handle exception, py::handle cause);
// Builds `exception_type(message)` without raising it.
py::object make_exception(py::handle exception_type, const std::string& message);

// Saves the error indicator for the lifetime of the guard, for code that runs
// C++ destructors (which may drop Python references) while an error is pending.
// It runs on every coroutine's completion, so it reads the thread state once
// (each C-API error call looks it up again, a thread-local access through
// libpython) and calls into the C API only when an error is actually pending.
class ErrorIndicatorGuard {
public:
    ErrorIndicatorGuard() noexcept
        : tstate_(PyThreadState_GET()), saved_(std::exchange(tstate_->current_exception, nullptr)) {}
    ~ErrorIndicatorGuard() {
        // As PyErr_SetRaisedException(saved): what the guarded code left pending is dropped.
        if (saved_ || tstate_->current_exception) PyErr_SetRaisedException(saved_);
    }
    ErrorIndicatorGuard(const ErrorIndicatorGuard&) = delete;
    ErrorIndicatorGuard& operator=(const ErrorIndicatorGuard&) = delete;

private:
    PyThreadState* tstate_;
    PyObject* saved_;
};

}  // namespace pyx
