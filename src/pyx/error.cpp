#include "pyx/error.hpp"

#include <new>

namespace pyx {

PyError::PyError(py::object exception) : exception_(std::move(exception)) {}

PyError PyError::fetch() {
    PyObject* raised = PyErr_GetRaisedException();
    if (!raised) {
        // A C-API call failed without saying why: carry that, never a null.
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
        raised = PyErr_GetRaisedException();
    }
    return PyError(py::reinterpret_steal<py::object>(raised));
}

bool PyError::matches(py::handle exception_type) const {
    return PyErr_GivenExceptionMatches(exception_.ptr(), exception_type.ptr()) != 0;
}

bool PyError::is_exception() const {
    return matches(PyExc_Exception);
}

void PyError::restore() const {
    PyErr_SetRaisedException(exception_.inc_ref().ptr());
}

const char* PyError::what() const noexcept {
    if (what_.empty()) {
        // May be asked while an unrelated error is pending; leave that as it was.
        ErrorIndicatorGuard pending;
        try {
            what_ =
                py::str(type().attr("__name__")).cast<std::string>() + ": " + py::str(exception_).cast<std::string>();
        } catch (...) {
            what_ = "Python exception";
        }
    }
    return what_.c_str();
}

PyError to_pyerror(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const PyError& e) {
        return e;
    } catch (py::error_already_set& e) {
        return PyError(e.value());
    } catch (py::builtin_exception& e) {
        e.set_error();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
    return PyError::fetch();
}

void set_python_error(std::exception_ptr error) noexcept {
    try {
        to_pyerror(std::move(error)).restore();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "failed to translate a C++ exception");
    }
}

py::object make_exception(py::handle exception_type, const std::string& message) {
    return exception_type(py::str(message));
}

void raise(py::handle exception_type, const std::string& message) {
    throw PyError(make_exception(exception_type, message));
}

void set_cause(py::handle exception, py::handle cause) {
    PyException_SetCause(exception.ptr(), Py_XNewRef(cause.ptr()));  // also sets __suppress_context__
    if (cause) PyException_SetContext(exception.ptr(), Py_NewRef(cause.ptr()));
}

void raise_from(py::object exception, py::handle cause) {
    set_cause(exception, cause);
    throw PyError(std::move(exception));
}

}  // namespace pyx
