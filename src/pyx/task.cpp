#include "pyx/task.hpp"

#include <frameobject.h>
#include <pybind11/gil_safe_call_once.h>
#include <structmember.h>

#include <string>
#include <string_view>

namespace pyx {
namespace detail {

int visit_object(const void* object, visitproc visit, void* arg) {
    Py_VISIT(static_cast<const py::object*>(object)->ptr());
    return 0;
}

int PromiseBase::traverse(visitproc visit, void* arg) const {
    return gc_refs.for_each([&](const GcRef& ref) { return ref.visit(ref.object, visit, arg); });
}

namespace {

constexpr std::size_t frame_granule = 64;
constexpr std::size_t frame_classes = 16;  // frames up to 1 KiB are recycled
constexpr std::size_t frames_kept_per_class = 64;

struct FreeFrame {
    FreeFrame* next;
};

struct FramePool {
    FreeFrame* heads[frame_classes] = {};
    std::size_t counts[frame_classes] = {};
};

FramePool& frame_pool() {
    static FramePool pool;
    return pool;
}

std::size_t frame_class(std::size_t size) {
    return (size + frame_granule - 1) / frame_granule - 1;
}

}  // namespace

// Under AddressSanitizer every frame goes back to the allocator, so that a
// use after free is caught instead of hidden by the pool.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool pool_frames = false;
#else
constexpr bool pool_frames = true;
#endif

void* allocate_frame(std::size_t size) {
    std::size_t index = frame_class(size);
    if (pool_frames && index < frame_classes) {
        FramePool& pool = frame_pool();
        if (FreeFrame* frame = pool.heads[index]) {
            pool.heads[index] = frame->next;
            --pool.counts[index];
            return frame;
        }
        return ::operator new((index + 1) * frame_granule);
    }
    return ::operator new(size);
}

void free_frame(void* frame, std::size_t size) noexcept {
    std::size_t index = frame_class(size);
    if (pool_frames && index < frame_classes) {
        FramePool& pool = frame_pool();
        if (pool.counts[index] < frames_kept_per_class) {
            auto* free = static_cast<FreeFrame*>(frame);
            free->next = pool.heads[index];
            pool.heads[index] = free;
            ++pool.counts[index];
            return;
        }
        ::operator delete(frame, (index + 1) * frame_granule);
        return;
    }
    ::operator delete(frame, size);
}

void FinalAwaiter::await_suspend(std::coroutine_handle<>, PromiseBase& promise) noexcept {
    Driver* driver = promise.driver;
    if (promise.parent) promise.parent->child = nullptr;
    driver->leaf = promise.continuation;  // null at the root: the whole coroutine is done
}

namespace {

bool is_native_coroutine(PyObject* object) {
    return Py_TYPE(object) == reinterpret_cast<PyTypeObject*>(coroutine_type().ptr());
}

bool native_coroutine_awaited_already(PyObject* coroutine);
bool python_coroutine_awaited_already(PyObject* coroutine);

py::object await_iterator(py::handle awaitable) {
    PyObject* object = awaitable.ptr();
    bool native = is_native_coroutine(object);
    if (native || PyCoro_CheckExact(object)) {
        if (native ? native_coroutine_awaited_already(object) : python_coroutine_awaited_already(object)) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            throw PyError::fetch();
        }
        return py::reinterpret_borrow<py::object>(awaitable);
    }
    PyAsyncMethods* async = Py_TYPE(object)->tp_as_async;
    if (!async || !async->am_await) {
        PyErr_Format(PyExc_TypeError, "object %.100s can't be used in 'await' expression", Py_TYPE(object)->tp_name);
        throw PyError::fetch();
    }
    PyObject* iterator = async->am_await(object);
    if (!iterator) throw PyError::fetch();
    if (!PyIter_Check(iterator)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(iterator)->tp_name);
        Py_DECREF(iterator);
        throw PyError::fetch();
    }
    return py::reinterpret_steal<py::object>(iterator);
}

}  // namespace

bool PythonAwaiter::start(py::handle target) {
    py::object iterator = await_iterator(target);
    PyObject* result = nullptr;
    switch (PyIter_Send(iterator.ptr(), Py_None, &result)) {
        case PYGEN_NEXT:
            driver->pending = std::move(iterator);
            driver->yielded = py::reinterpret_steal<py::object>(result);
            return true;
        case PYGEN_RETURN:
            driver->sent = py::reinterpret_steal<py::object>(result);
            return false;
        case PYGEN_ERROR:
        default:
            driver->thrown = PyError::fetch().value();
            return false;
    }
}

py::object PythonAwaiter::await_resume() {
    if (driver->thrown) throw PyError(std::exchange(driver->thrown, py::object()));
    return std::exchange(driver->sent, py::object());
}

// ---------------------------------------------------------------------------
// The Python coroutine object.

namespace {

struct CoroObject {
    PyObject_HEAD Driver driver;
    std::coroutine_handle<> root;
    PromiseBase* promise;
    ResultTaker take;
    PyObject* qualname;
    PyObject* frame;  // made on the first read of cr_frame, dropped once finished
    PyObject* weakrefs;
    bool started;
    bool finished;
    bool running;
};

CoroObject* as_coro(PyObject* self) {
    return reinterpret_cast<CoroObject*>(self);
}

// What every coroutine object shares, built once per process on first use.
struct Shared {
    py::object type;
    py::object cr_await;  // the attribute name, interned
    py::dict codes;       // qualname -> the code object that stands for the native function
};

Shared& shared();

// Destroying the frames runs C++ destructors that drop Python references; an
// error pending meanwhile (as in tp_dealloc or tp_clear) is set aside.
void destroy_frames_no_error_pending(CoroObject* self) noexcept {
    if (!self->root) return;
    auto root = std::exchange(self->root, {});
    self->promise = nullptr;
    self->driver.leaf = {};
    root.destroy();
    Py_CLEAR(self->frame);
}

void destroy_frames(CoroObject* self) noexcept {
    if (!self->root) return;
    ErrorIndicatorGuard guard;
    destroy_frames_no_error_pending(self);
}

// Only drops references, which is safe with an error pending, as in any tp_dealloc.
void clear_driver(Driver& driver) noexcept {
    driver.pending = py::object();
    driver.yielded = py::object();
    driver.sent = py::object();
    driver.thrown = py::object();
}

class RunningScope {
public:
    explicit RunningScope(CoroObject* self) : self_(self) { self_->running = true; }
    ~RunningScope() { self_->running = false; }
    RunningScope(const RunningScope&) = delete;
    RunningScope& operator=(const RunningScope&) = delete;

private:
    CoroObject* self_;
};

// A coroutine awaiting another sends into it from C, and dropping one drops
// what it holds, so a chain of coroutines is as deep on the C stack as it is
// long. CPython's own guards bound that: the recursion check on each send
// (the worst case is a RecursionError) and the trashcan on each deallocation.
//
// Python 3.13 counts those levels, sized for its own C functions; one link
// (the driver, a frame's resume or destroy, the awaiter) takes several times
// that stack, more so unoptimised or under AddressSanitizer, so a link is
// charged several levels, straight on the thread's counter as Python's own
// trashcan macros do (away from the limit; near it, the real check raises).
// Later versions measure the stack itself, and a link is one call.
#if PY_VERSION_HEX < 0x030E0000
#if defined(__SANITIZE_ADDRESS__)
constexpr int link_levels = 8;
#else
constexpr int link_levels = 4;
#endif
static_assert(link_levels < Py_TRASHCAN_HEADROOM, "a link must fit in the trashcan's headroom");

bool enter_link(PyThreadState* tstate) {
    if (tstate->c_recursion_remaining > link_levels) {
        tstate->c_recursion_remaining -= link_levels;
        return true;
    }
    for (int entered = 0; entered < link_levels; ++entered) {
        if (Py_EnterRecursiveCall(" while awaiting a native coroutine")) {
            while (entered--) Py_LeaveRecursiveCall();
            return false;
        }
    }
    return true;
}

void leave_link(PyThreadState* tstate) {
    tstate->c_recursion_remaining += link_levels;
}

// The same charge while a coroutine's frames and awaitee are dropped, less the
// level the trashcan counts itself, so that it defers a long chain in time.
class DeallocCharge {
public:
    DeallocCharge() noexcept : tstate_(PyThreadState_GET()) { tstate_->c_recursion_remaining -= link_levels - 1; }
    ~DeallocCharge() { tstate_->c_recursion_remaining += link_levels - 1; }
    DeallocCharge(const DeallocCharge&) = delete;
    DeallocCharge& operator=(const DeallocCharge&) = delete;

private:
    PyThreadState* tstate_;
};
#else
bool enter_link(PyThreadState*) {
    return Py_EnterRecursiveCall(" while awaiting a native coroutine") == 0;
}
void leave_link(PyThreadState*) {
    Py_LeaveRecursiveCall();
}
struct DeallocCharge {};
#endif

// Suspended at an await: what CPython calls being awaited by someone.
bool suspended(const CoroObject* self) {
    return !self->running && self->driver.pending;
}

// Runs on every completion, with no error pending (a failure is still a C++
// exception or a PyError value here), so the frames go without a guard.
PySendResult finish(CoroObject* self, PyObject** out) {
    self->finished = true;
    PromiseBase& promise = *self->promise;
    if (promise.error) {
        PyError error = to_pyerror(promise.error);
        promise.error = nullptr;
        destroy_frames_no_error_pending(self);
        if (error.matches(PyExc_StopIteration)) {
            py::object replacement = make_exception(PyExc_RuntimeError, "coroutine raised StopIteration");
            set_cause(replacement, error.value());
            error = PyError(replacement);
        }
        error.restore();
        return PYGEN_ERROR;
    }
    try {
        py::object result = self->take(self->root);
        destroy_frames_no_error_pending(self);
        *out = result.release().ptr();
        return PYGEN_RETURN;
    } catch (...) {
        destroy_frames(self);
        set_python_error(std::current_exception());
        return PYGEN_ERROR;
    }
}

// Resumes frames until one yields to the event loop or the root finishes.
PySendResult run(CoroObject* self, PyObject** out) {
    Driver& driver = self->driver;
    for (;;) {
        if (driver.yielded) {
            *out = driver.yielded.release().ptr();
            return PYGEN_NEXT;
        }
        if (!driver.leaf) return finish(self, out);
        driver.leaf.resume();
    }
}

void deliver(Driver& driver, PySendResult status, PyObject* result) {
    driver.pending = py::object();
    if (status == PYGEN_RETURN) {
        driver.sent = py::reinterpret_steal<py::object>(result);
    } else {
        driver.thrown = PyError::fetch().value();
    }
}

bool check_usable(CoroObject* self) {
    if (self->running) {
        PyErr_SetString(PyExc_ValueError, "coroutine already executing");
        return false;
    }
    return true;
}

PySendResult send_into(CoroObject* self, PyObject* value, PyObject** out) {
    RunningScope running(self);
    if (!self->started) {
        if (value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
            return PYGEN_ERROR;
        }
        self->started = true;
    } else if (self->driver.pending) {
        PyObject* result = nullptr;
        PySendResult status = PyIter_Send(self->driver.pending.ptr(), value, &result);
        if (status == PYGEN_NEXT) {
            *out = result;
            return PYGEN_NEXT;
        }
        deliver(self->driver, status, result);
    }
    return run(self, out);
}

PySendResult coro_send(PyObject* object, PyObject* value, PyObject** out) {
    CoroObject* self = as_coro(object);
    if (!check_usable(self)) return PYGEN_ERROR;
    if (self->finished) {
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return PYGEN_ERROR;
    }
    // A coroutine awaiting another sends into it from C, so a chain of awaits
    // is as deep on the C stack as it is long; CPython's own check turns the
    // worst case into a RecursionError.
    PyThreadState* tstate = PyThreadState_GET();
    if (!enter_link(tstate)) return PYGEN_ERROR;
    PySendResult status;
    try {
        status = send_into(self, value, out);
    } catch (...) {
        set_python_error(std::current_exception());
        status = PYGEN_ERROR;
    }
    leave_link(tstate);
    return status;
}

PyObject* stop_iteration(PyObject* value) {
    if (value == Py_None) {
        Py_DECREF(value);
        PyErr_SetNone(PyExc_StopIteration);
        return nullptr;
    }
    PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, value);
    Py_DECREF(value);
    if (stop) {
        PyErr_SetObject(PyExc_StopIteration, stop);
        Py_DECREF(stop);
    }
    return nullptr;
}

PyObject* as_method_result(PySendResult status, PyObject* result) {
    switch (status) {
        case PYGEN_NEXT:
            return result;
        case PYGEN_RETURN:
            return stop_iteration(result);
        default:
            return nullptr;
    }
}

PyObject* coro_iternext(PyObject* self) {
    PyObject* result = nullptr;
    PySendResult status = coro_send(self, Py_None, &result);
    if (status == PYGEN_RETURN) {
        if (result == Py_None) {  // exhaustion without an error set means `return None`
            Py_DECREF(result);
            return nullptr;
        }
        return stop_iteration(result);
    }
    return status == PYGEN_NEXT ? result : nullptr;
}

PyObject* coro_send_method(PyObject* self, PyObject* value) {
    PyObject* result = nullptr;
    PySendResult status = coro_send(self, value, &result);
    return as_method_result(status, result);
}

// Builds the exception instance from throw()'s (type[, value[, traceback]]) or (instance).
PyObject* normalize_thrown(PyObject* const* args, Py_ssize_t nargs) {
    PyObject* type = args[0];
    PyObject* value = nargs > 1 ? args[1] : Py_None;
    PyObject* traceback = nargs > 2 ? args[2] : Py_None;
    PyObject* exception = nullptr;
    if (PyExceptionInstance_Check(type)) {
        if (value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exception = Py_NewRef(type);
    } else if (PyExceptionClass_Check(type)) {
        // As CPython normalizes: by the value's class, through __subclasscheck__.
        int is_instance = PyExceptionInstance_Check(value)
                              ? PyObject_IsSubclass(reinterpret_cast<PyObject*>(Py_TYPE(value)), type)
                              : 0;
        if (is_instance < 0) return nullptr;
        if (is_instance) {
            exception = Py_NewRef(value);
        } else if (value == Py_None) {
            exception = PyObject_CallNoArgs(type);
        } else if (PyTuple_Check(value)) {
            exception = PyObject_Call(type, value, nullptr);
        } else {
            exception = PyObject_CallOneArg(type, value);
        }
        if (!exception) return nullptr;
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return nullptr;
    }
    if (traceback != Py_None) {
        if (!PyTraceBack_Check(traceback)) {
            Py_DECREF(exception);
            PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
            return nullptr;
        }
        if (PyException_SetTraceback(exception, traceback) < 0) {
            Py_DECREF(exception);
            return nullptr;
        }
    }
    return exception;
}

// Hands `exception` (stolen) to the frame suspended at its co_await; the
// awaited object sees it first, as with `yield from`.
PySendResult throw_into(CoroObject* self, PyObject* exception, PyObject** out) {
    Driver& driver = self->driver;
    py::object owned = py::reinterpret_steal<py::object>(exception);
    py::object pending = std::exchange(driver.pending, py::object());
    bool closing = PyErr_GivenExceptionMatches(exception, PyExc_GeneratorExit);
    if (pending && closing) {
        PyObject* close = nullptr;
        if (PyObject_GetOptionalAttrString(pending.ptr(), "close", &close) < 0) {
            driver.thrown = PyError::fetch().value();
        } else if (close) {
            PyObject* result = PyObject_CallNoArgs(close);
            Py_DECREF(close);
            if (!result) driver.thrown = PyError::fetch().value();
            Py_XDECREF(result);
        }
        if (!driver.thrown) driver.thrown = owned;
    } else if (pending) {
        PyObject* method = nullptr;
        if (PyObject_GetOptionalAttrString(pending.ptr(), "throw", &method) < 0) {
            driver.thrown = PyError::fetch().value();
        } else if (!method) {
            driver.thrown = owned;
        } else {
            PyObject* result = PyObject_CallOneArg(method, exception);
            Py_DECREF(method);
            if (result) {
                driver.pending = std::move(pending);
                *out = result;
                return PYGEN_NEXT;
            }
            PyObject* value = nullptr;
            if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
                PyError stop = PyError::fetch();
                value = PyObject_GetAttrString(stop.value().ptr(), "value");
            }
            if (value) {
                driver.sent = py::reinterpret_steal<py::object>(value);
            } else {
                driver.thrown = PyError::fetch().value();
            }
        }
    } else {
        driver.thrown = owned;
    }
    return run(self, out);
}

PyObject* coro_throw(PyObject* object, PyObject* const* args, Py_ssize_t nargs) {
    CoroObject* self = as_coro(object);
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(
            PyExc_TypeError,
            nargs < 1 ? "throw expected at least 1 argument, got %zd" : "throw expected at most 3 arguments, got %zd",
            nargs);
        return nullptr;
    }
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.",
                                  1) < 0) {
        return nullptr;
    }
    if (!check_usable(self)) return nullptr;
    PyObject* exception = normalize_thrown(args, nargs);
    if (!exception) return nullptr;
    if (self->finished) {
        Py_DECREF(exception);
        PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
        return nullptr;
    }
    if (!self->started) {
        // Like a Python coroutine: thrown before the first step, the
        // exception comes straight back out and the coroutine is done.
        self->finished = true;
        destroy_frames(self);
        PyError(py::reinterpret_steal<py::object>(exception)).restore();
        return nullptr;
    }
    RunningScope running(self);
    PyObject* result = nullptr;
    try {
        PySendResult status = throw_into(self, exception, &result);
        return as_method_result(status, result);
    } catch (...) {
        set_python_error(std::current_exception());
        return nullptr;
    }
}

PyObject* coro_close(PyObject* object, PyObject*) {
    CoroObject* self = as_coro(object);
    if (!check_usable(self)) return nullptr;
    if (self->finished || !self->started) {
        self->finished = true;
        destroy_frames(self);
        Py_RETURN_NONE;
    }
    PyObject* exit = PyObject_CallNoArgs(PyExc_GeneratorExit);
    if (!exit) return nullptr;
    RunningScope running(self);
    PyObject* result = nullptr;
    PySendResult status;
    try {
        status = throw_into(self, exit, &result);
    } catch (...) {
        set_python_error(std::current_exception());
        return nullptr;
    }
    if (status == PYGEN_NEXT) {
        Py_DECREF(result);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (status == PYGEN_ERROR) {
        if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
            PyErr_Clear();
            Py_RETURN_NONE;
        }
        return nullptr;
    }
    Py_DECREF(result);
    Py_RETURN_NONE;
}

PyObject* coro_await(PyObject* object) {
    if (suspended(as_coro(object))) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    return Py_NewRef(object);
}

// Warns as CPython does for its own coroutines: through
// warnings._warn_unawaited_coroutine, which applies the filters and names where
// the coroutine was made, or directly if that is missing or broken. A filter
// that makes the warning an error leaves an unraisable exception, since
// nothing can catch it here.
// The warnings module, not imported once the interpreter is shutting down;
// null, with no error set, where it cannot be had.
PyObject* warnings_module() {
    if (!Py_IsFinalizing()) {
        PyObject* module = PyImport_ImportModule("warnings");
        if (!module && PyErr_ExceptionMatches(PyExc_ImportError)) PyErr_Clear();
        return module;
    }
    PyObject* name = PyUnicode_FromString("warnings");
    if (!name) return nullptr;
    PyObject* module = PyImport_GetModule(name);
    Py_DECREF(name);
    return module;
}

void warn_never_awaited(CoroObject* self) {
    PyObject* object = reinterpret_cast<PyObject*>(self);
    bool warned = false;
    PyObject* function = nullptr;
    if (PyObject* warnings = warnings_module()) {
        PyObject_GetOptionalAttrString(warnings, "_warn_unawaited_coroutine", &function);
        Py_DECREF(warnings);
    }
    if (function) {
        PyObject* result = PyObject_CallOneArg(function, object);
        Py_DECREF(function);
        warned = result || PyErr_ExceptionMatches(PyExc_RuntimeWarning);
        Py_XDECREF(result);
    }
    if (PyErr_Occurred()) PyErr_WriteUnraisable(object);
    if (!warned && PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited",
                                    self->qualname ? self->qualname : Py_None) < 0) {
        PyErr_WriteUnraisable(object);
    }
}

void coro_finalize(PyObject* object) {
    CoroObject* self = as_coro(object);
    if (self->finished) return;
    ErrorIndicatorGuard saved;
    if (!self->started) {
        warn_never_awaited(self);
        return;
    }
    PyObject* result = coro_close(object, nullptr);
    if (result) {
        Py_DECREF(result);
    } else {
        PyErr_WriteUnraisable(object);
    }
}

int coro_traverse(PyObject* object, visitproc visit, void* arg) {
    CoroObject* self = as_coro(object);
    Py_VISIT(Py_TYPE(object));
    Py_VISIT(self->qualname);
    Py_VISIT(self->frame);
    Driver& driver = self->driver;
    Py_VISIT(driver.pending.ptr());
    Py_VISIT(driver.yielded.ptr());
    Py_VISIT(driver.sent.ptr());
    Py_VISIT(driver.thrown.ptr());
    for (const PromiseBase* promise = self->promise; promise; promise = promise->child) {
        if (int rc = promise->traverse(visit, arg)) return rc;
    }
    return 0;
}

int coro_clear(PyObject* object) {
    CoroObject* self = as_coro(object);
    if (self->running) return 0;
    self->finished = true;
    destroy_frames(self);
    clear_driver(self->driver);
    Py_CLEAR(self->qualname);
    Py_CLEAR(self->frame);
    return 0;
}

// A coroutine object comes and goes with every call of a native async
// function. Dead ones are kept for reuse, as CPython keeps its own small
// objects on free lists: their memory, collector header included, untracked,
// holding no reference (their type's neither). Only used with the GIL held.
constexpr std::size_t coros_kept = 64;
struct CoroPool {
    CoroObject* head = nullptr;  // linked through the (destroyed) driver's storage
    std::size_t count = 0;
};
CoroPool& coro_pool() {
    static CoroPool pool;
    return pool;
}
CoroObject*& next_free(CoroObject* self) {
    return *reinterpret_cast<CoroObject**>(&self->driver);
}

CoroObject* new_coro(PyTypeObject* type) {
    CoroPool& pool = coro_pool();
    if (CoroObject* self = pool.head) {
        pool.head = next_free(self);
        --pool.count;
        PyObject_Init(reinterpret_cast<PyObject*>(self), type);  // refcount 1, and a reference to the type
        return self;
    }
    return PyObject_GC_New(CoroObject, type);
}

// Drops what is left once the frames and the driver are empty.
void free_coro(CoroObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    self->driver.~Driver();
    Py_CLEAR(self->qualname);
    Py_CLEAR(self->frame);
    CoroPool& pool = coro_pool();
    // One whose finalizer has run keeps that mark in its collector header,
    // which would silence the finalizer of the next coroutine in its memory.
    if (pool_frames && pool.count < coros_kept && !PyObject_GC_IsFinalized(reinterpret_cast<PyObject*>(self))) {
        next_free(self) = pool.head;
        pool.head = self;
        ++pool.count;
    } else {
        type->tp_free(self);
    }
    Py_DECREF(type);
}

bool holds_nothing(const CoroObject* self) {
    const Driver& driver = self->driver;
    return !self->root && !driver.pending && !driver.yielded && !driver.sent && !driver.thrown;
}

void coro_dealloc(PyObject* object) {
    CoroObject* self = as_coro(object);
    // One never started warns that it was never awaited; one suspended is
    // closed, so that its clean-up runs.
    if (!self->finished && PyObject_CallFinalizerFromDealloc(object) < 0) return;  // resurrected
    PyObject_GC_UnTrack(object);
    if (self->weakrefs) PyObject_ClearWeakRefs(object);
    if (holds_nothing(self)) {  // the common end of one that ran to completion
        free_coro(self);
        return;
    }
    // A coroutine may hold the next one (as an argument, or as what it
    // awaits), so dropping a long chain would recurse once per link; the
    // trashcan defers the deeper links, as for CPython's own containers.
    Py_TRASHCAN_BEGIN(object, coro_dealloc) {
        DeallocCharge charge;
        destroy_frames(self);
        clear_driver(self->driver);
    }
    free_coro(self);
    Py_TRASHCAN_END
}

PyObject* coro_repr(PyObject* object) {
    CoroObject* self = as_coro(object);
    PyObject* name = self->qualname ? self->qualname : Py_None;
    return PyUnicode_FromFormat("<coroutine object %S at %p>", name, object);
}

PyObject* get_qualname(PyObject* object, void*) {
    CoroObject* self = as_coro(object);
    return Py_NewRef(self->qualname ? self->qualname : Py_None);
}

PyObject* get_name(PyObject* object, void*) {
    CoroObject* self = as_coro(object);
    if (!self->qualname) Py_RETURN_NONE;
    Py_ssize_t length = PyUnicode_GetLength(self->qualname);
    if (length < 0) return nullptr;
    Py_ssize_t dot = PyUnicode_FindChar(self->qualname, '.', 0, length, -1);
    if (dot == -2) return nullptr;
    return PyUnicode_Substring(self->qualname, dot + 1, length);
}

PyObject* get_running(PyObject* object, void*) {
    return PyBool_FromLong(as_coro(object)->running);
}

PyObject* get_suspended(PyObject* object, void*) {
    CoroObject* self = as_coro(object);
    return PyBool_FromLong(self->started && !self->finished && !self->running);
}

// The iterator of what the innermost frame awaits, as `yield from` keeps it.
PyObject* get_await(PyObject* object, void*) {
    CoroObject* self = as_coro(object);
    return Py_NewRef(suspended(self) ? self->driver.pending.ptr() : Py_None);
}

// A native coroutine has no Python code or frame. These stand in for them so
// that what reads a coroutine's state (inspect.getcoroutinestate, asyncio's
// reprs) works: a code object that names the native function, shared by its
// coroutines as CPython shares one, and a frame of it without locals that
// exists until the coroutine finishes.
py::object code_for(PyObject* qualname) {
    PyObject* key = qualname ? qualname : Py_None;
    PyObject* codes = shared().codes.ptr();
    if (PyObject* found = PyDict_GetItemWithError(codes, key)) return py::reinterpret_borrow<py::object>(found);
    if (PyErr_Occurred()) throw PyError::fetch();
    std::string full = qualname ? py::str(qualname).cast<std::string>() : std::string("<native coroutine>");
    std::string name = full.substr(full.rfind('.') + 1);
    auto code =
        py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(PyCode_NewEmpty("<native>", name.c_str(), 0)));
    if (!code) throw PyError::fetch();
    code = code.attr("replace")(py::arg("co_qualname") = full);
    if (PyDict_SetItem(codes, key, code.ptr()) < 0) throw PyError::fetch();
    return code;
}

PyObject* get_code(PyObject* object, void*) {
    try {
        return code_for(as_coro(object)->qualname).release().ptr();
    } catch (...) {
        set_python_error(std::current_exception());
        return nullptr;
    }
}

PyObject* get_frame(PyObject* object, void*) {
    CoroObject* self = as_coro(object);
    if (self->finished) Py_RETURN_NONE;
    if (!self->frame) {
        PyObject* code = get_code(object, nullptr);
        if (!code) return nullptr;
        PyObject* globals = PyDict_New();
        if (globals) {
            self->frame = reinterpret_cast<PyObject*>(
                PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr));
            Py_DECREF(globals);
        }
        Py_DECREF(code);
        if (!self->frame) return nullptr;
    }
    return Py_NewRef(self->frame);
}

// Native coroutines do not record where they were made.
PyObject* get_origin(PyObject*, void*) {
    Py_RETURN_NONE;
}

PyMethodDef coro_methods[] = {
    {"send", coro_send_method, METH_O, "send(value) -> next yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)), METH_FASTCALL,
     "throw(value) -> raise exception in coroutine, return next yielded value or raise StopIteration."},
    {"close", coro_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coro_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},      {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr}, {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, nullptr, nullptr},     {"cr_code", get_code, nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, nullptr, nullptr},     {"cr_origin", get_origin, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// CoroObject holds C++ members, so it is not standard-layout; the offset of
// its plain pointer member is still well defined on every supported compiler.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
PyMemberDef coro_members[] = {
    {"__weaklistoffset__", T_PYSSIZET, offsetof(CoroObject, weakrefs), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
#pragma GCC diagnostic pop

PyType_Slot coro_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(coro_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(coro_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(coro_clear)},
    {Py_tp_finalize, reinterpret_cast<void*>(coro_finalize)},
    {Py_tp_repr, reinterpret_cast<void*>(coro_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
    {Py_tp_iternext, reinterpret_cast<void*>(coro_iternext)},
    {Py_tp_methods, coro_methods},
    {Py_tp_getset, coro_getset},
    {Py_tp_members, coro_members},
    {Py_am_await, reinterpret_cast<void*>(coro_await)},
    {Py_am_send, reinterpret_cast<void*>(coro_send)},
    {0, nullptr},
};

PyType_Spec coro_spec = {
    "pyx.coroutine", sizeof(CoroObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    coro_slots,
};

// Building the type and registering it with collections.abc runs Python code,
// which may release the GIL midway; under a plain function-local static, a
// second thread would then wait on the initialisation guard while holding the
// GIL, and neither could go on. The GIL-safe call-once waits without the GIL.
Shared& shared() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<Shared> storage;
    return storage
        .call_once_and_store_result([] {
            Shared built;
            built.type = py::reinterpret_steal<py::object>(PyType_FromSpec(&coro_spec));
            if (!built.type) throw PyError::fetch();
            py::module_::import("collections.abc").attr("Coroutine").attr("register")(built.type);
            built.cr_await = py::reinterpret_steal<py::object>(PyUnicode_InternFromString("cr_await"));
            if (!built.cr_await) throw PyError::fetch();
            return built;
        })
        .get_stored();
}

bool native_coroutine_awaited_already(PyObject* coroutine) {
    return suspended(as_coro(coroutine));
}

// The C getter behind `coroutine.cr_await`, taken once from the coroutine
// type's own table: every await of a Python coroutine asks it, and a look-up
// by name would search the type on each of them.
// (A plain C table: nothing Python runs under this static's guard.)
const PyGetSetDef* cr_await_entry() {
    static const PyGetSetDef* found = []() -> const PyGetSetDef* {
        for (const PyGetSetDef* entry = PyCoro_Type.tp_getset; entry && entry->name; ++entry) {
            if (std::string_view(entry->name) == "cr_await" && entry->get) return entry;
        }
        return nullptr;
    }();
    return found;
}

// A Python coroutine is suspended only inside an await, so one with something
// in `cr_await` already has an awaiter.
bool python_coroutine_awaited_already(PyObject* coroutine) {
    PyObject* awaited = nullptr;
    if (const PyGetSetDef* entry = cr_await_entry()) {
        awaited = entry->get(coroutine, entry->closure);
        if (!awaited) throw PyError::fetch();
    } else if (PyObject_GetOptionalAttr(coroutine, shared().cr_await.ptr(), &awaited) < 0) {
        throw PyError::fetch();
    }
    bool awaiting = awaited && awaited != Py_None;
    Py_XDECREF(awaited);
    return awaiting;
}

}  // namespace

py::object wrap_root(std::coroutine_handle<> root, PromiseBase& promise, ResultTaker take, py::handle qualname) {
    // Every field is set below, so the object is not zeroed first as
    // tp_alloc would; it is tracked by the collector once complete.
    auto* type = reinterpret_cast<PyTypeObject*>(coroutine_type().ptr());
    CoroObject* self = new_coro(type);
    if (!self) {
        ErrorIndicatorGuard guard;
        root.destroy();
        throw PyError::fetch();
    }
    PyObject* object = reinterpret_cast<PyObject*>(self);
    new (&self->driver) Driver();
    self->weakrefs = nullptr;
    self->frame = nullptr;
    self->started = self->finished = self->running = false;
    self->driver.leaf = root;
    self->root = root;
    self->promise = &promise;
    self->take = take;
    self->qualname = Py_XNewRef(qualname.ptr());
    promise.driver = &self->driver;
    PyObject_GC_Track(object);
    return py::reinterpret_steal<py::object>(object);
}

}  // namespace detail

py::handle coroutine_type() {
    return detail::shared().type;
}

}  // namespace pyx
