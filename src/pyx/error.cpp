#include "pyx/error.hpp"

#include <new>

namespace pyx {

PyError::PyError(py::object exception) : exception_(std::move(exception)) {}

PyError PyError::fetch() {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* raised = PyErr_GetRaisedException();
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value && traceback) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    PyObject* raised = value;
#endif
    if (!raised) {
        raised = PyObject_CallOneArg(PyExc_SystemError, py::str("error indicator expected but not set").ptr());
    }
    return PyError(py::reinterpret_steal<py::object>(raised));
}

bool PyError::matches(py::handle exception_type) const {
    return PyErr_GivenExceptionMatches(exception_.ptr(), exception_type.ptr()) != 0;
}

bool PyError::is_exception() const { return matches(PyExc_Exception); }

void PyError::restore() const {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception_.inc_ref().ptr());
#else
    PyObject* value = exception_.inc_ref().ptr();
    PyObject* type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
    PyErr_Restore(type, value, PyException_GetTraceback(value));
#endif
}

const char* PyError::what() const noexcept {
    if (what_.empty()) {
        try {
            what_ = py::str(type().attr("__name__")).cast<std::string>() + ": " +
                    py::str(exception_).cast<std::string>();
        } catch (...) {
            PyErr_Clear();
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

#if PY_VERSION_HEX >= 0x030C0000
ErrorIndicatorGuard::ErrorIndicatorGuard() noexcept : saved_(PyErr_GetRaisedException()) {}
ErrorIndicatorGuard::~ErrorIndicatorGuard() { PyErr_SetRaisedException(saved_); }
#else
ErrorIndicatorGuard::ErrorIndicatorGuard() noexcept { PyErr_Fetch(&type_, &value_, &traceback_); }
ErrorIndicatorGuard::~ErrorIndicatorGuard() { PyErr_Restore(type_, value_, traceback_); }
#endif

}  // namespace pyx
