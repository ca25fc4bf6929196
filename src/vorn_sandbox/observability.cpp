// vorn_sandbox.observability
//
// Optional tracing. Everything here reads `trace`, `_tracer`, `_TRACING_AVAILABLE`,
// `_start_span` and `_apply_attrs` from the module's globals at call time, as the
// equivalent Python code would, so callers and tests can patch them.
#include "pyx/classes.hpp"
#include "pyx/method.hpp"
#include "pyx/task.hpp"
#include "vorn_sandbox/modules.hpp"

#include <exception>
#include <string>
#include <utility>

namespace vorn_sandbox::observability {

namespace py = pybind11;
using pyx::Args;
using pyx::Task;

namespace {

constexpr const char* module_doc =
    "Optional OpenTelemetry tracing for the sandbox lifecycle.\n"
    "\n"
    "- Tracing is optional and costs next to nothing when it is off. The OpenTelemetry API is\n"
    "  an optional dependency: when it cannot be imported, every operation of this module does\n"
    "  nothing and no operation of the system fails or changes its results.\n"
    "- The host application owns the telemetry set-up. This module never installs a tracer\n"
    "  provider, span processor, exporter, sampler or propagator and never reads telemetry\n"
    "  configuration; it only emits spans through whatever provider the host has configured\n"
    "  globally. Until the host configures one, the spans handed out are non-recording.\n"
    "- Span names and attribute keys share the namespace prefix \"vorn_sandbox.\".\n"
    "- Spans carry low-cardinality metadata only (see SpanAttr).\n"
    "- Operations never open, end or hold spans themselves: an operation is decorated with\n"
    "  traced, which opens one span per call, and its body records outcome-dependent\n"
    "  attributes on the current span through set_current_span_attributes.\n";

constexpr const char* span_name_doc = "Span names of the code-interpreter sandbox lifecycle.";

constexpr const char* span_attr_doc =
    "Span attribute keys.\n"
    "\n"
    "Spans carry low-cardinality metadata only: the backend, the sandbox identifier, the\n"
    "template identifier, a file path and an outcome status. User code, command lines and\n"
    "file contents never go on a span (they can carry secrets and personal data and would\n"
    "blow up span cardinality); identifiers and sizes are recorded instead.";

bool truthy(py::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw pyx::PyError::fetch();
    return result != 0;
}

// `function(*args, **kwargs)`.
py::object call(py::handle function, py::handle args, py::handle kwargs) {
    PyObject* result = PyObject_Call(function.ptr(), args.ptr(), kwargs.ptr());
    if (!result) throw pyx::PyError::fetch();
    return py::reinterpret_steal<py::object>(result);
}

pyx::Param annotated(pyx::Param param, py::object annotation) {
    param.annotation = std::move(annotation);
    return param;
}

// Before 3.12, inspect.iscoroutinefunction knows only code flags, and native coroutine
// functions carry asyncio's mark instead, which asyncio's own test also accepts.
py::object coroutine_function_test() {
#if PY_VERSION_HEX >= 0x030C0000
    return py::module_::import("inspect").attr("iscoroutinefunction");
#else
    return py::module_::import("asyncio").attr("iscoroutinefunction");
#endif
}

py::object builtin(const char* name) { return py::module_::import("builtins").attr(name); }

// One `with` statement, taken apart so that a coroutine can await inside its body:
// `__exit__` is fetched before `__enter__` runs, as the statement does, and is then
// called once on whichever way the body ends.
class WithBlock {
public:
    explicit WithBlock(py::handle manager) {
        py::handle type = reinterpret_cast<PyObject*>(Py_TYPE(manager.ptr()));
        if (!py::hasattr(type, "__enter__") || !py::hasattr(type, "__exit__")) {
            pyx::raise(PyExc_TypeError, std::string("'") + Py_TYPE(manager.ptr())->tp_name +
                                            "' object does not support the context manager protocol");
        }
        exit_ = manager.attr("__exit__");
        value_ = manager.attr("__enter__")();
    }

    const py::object& value() const noexcept { return value_; }

    void exit_normally() { exit_(py::none(), py::none(), py::none()); }

    // The body raised `error`: unless `__exit__` suppresses it, the very same
    // exception object goes on. Returns normally only when it was suppressed.
    void exit_raising(const pyx::PyError& error) {
        py::object value = error.value();
        if (!truthy(exit_(error.type(), value, value.attr("__traceback__")))) throw error;
    }

private:
    py::object exit_;
    py::object value_;
};

// Awaiting an instance hands its `value` to whoever drives the coroutine, once,
// and resumes with nothing: the `yield value` of the span generator below.
py::object make_yield_type(py::module_& module) {
    pyx::ClassBody body(module, "_start_span.<locals>.Yield");
    body.method(pyx::def("__init__", {pyx::arg("self"), pyx::arg("value")}, [](Args& a) {
            a[0].attr("value") = a[1];
            return py::none();
        }))
        .method(pyx::def("__await__", {pyx::arg("self")}, [](Args& a) -> py::object {
            return py::iter(py::make_tuple(a[0].attr("value")));
        }));
    return body.create_plain();
}

// The generator behind `_start_span`. contextlib drives it with next/throw/close,
// which the native coroutine object implements with generator semantics, so the
// span's own `with` block stays in one straight piece of code.
Task<py::object> span_generator(py::object yield_type, Args a) {
    if (!truthy(a.global("_TRACING_AVAILABLE"))) {
        co_await yield_type(py::none());
        co_return py::none();
    }
    // Only the name: attributes are written once the span has started, out of a
    // sampler's sight.
    WithBlock block(a.global("_tracer").attr("start_as_current_span")(a[0]));
    std::exception_ptr failure;
    try {
        a.global("_apply_attrs")(block.value(), a[1]);
        co_await yield_type(block.value());
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        block.exit_raising(pyx::to_pyerror(failure));
        co_return py::none();
    }
    block.exit_normally();
    co_return py::none();
}

// The wrapper that `traced(...)(func)` returns. Nothing is caught here beyond what the
// `with` statement does: every exception, cancellation included, leaves as it left func.
py::object make_wrapper(bool coroutine, py::object name, py::dict static_attrs, py::object func, py::handle globals) {
    py::object qualname = py::getattr(func, "__qualname__", py::none());
    std::string own_qualname = py::isinstance<py::str>(qualname)
                                   ? qualname.cast<std::string>()
                                   : std::string("traced.<locals>.decorator.<locals>.") +
                                         (coroutine ? "async_wrapper" : "sync_wrapper");
    py::object wrapper;
    if (coroutine) {
        // The span opens at the coroutine's first step, inside the task that runs it,
        // so it is current (through contextvars) across every suspension of func.
        wrapper = pyx::make_function(
            pyx::def_async("async_wrapper", {pyx::varargs(), pyx::varkw()},
                           [name, static_attrs, func](Args a) -> Task<py::object> {
                               WithBlock block(call(a.global("_start_span"), py::make_tuple(name), static_attrs));
                               std::exception_ptr failure;
                               py::object result;
                               try {
                                   result = co_await call(func, a[0], a[1]);
                               } catch (...) {
                                   failure = std::current_exception();
                               }
                               if (failure) {
                                   block.exit_raising(pyx::to_pyerror(failure));
                                   co_return py::none();
                               }
                               block.exit_normally();
                               co_return result;
                           }),
            globals, own_qualname);
    } else {
        wrapper = pyx::make_function(
            pyx::def("sync_wrapper", {pyx::varargs(), pyx::varkw()},
                     [name, static_attrs, func](Args& a) -> py::object {
                         WithBlock block(call(a.global("_start_span"), py::make_tuple(name), static_attrs));
                         py::object result;
                         try {
                             result = call(func, a[0], a[1]);
                         } catch (...) {
                             block.exit_raising(pyx::to_pyerror(std::current_exception()));
                             return py::none();
                         }
                         block.exit_normally();
                         return result;
                     }),
            globals, own_qualname);
    }
    // A native function carries a signature of its own (*args, **kwargs). Without it,
    // inspect follows __wrapped__ to func's signature, as for any functools.wraps
    // wrapper; a native func brings its own __signature__ along in its __dict__.
    py::dict attributes = wrapper.attr("__dict__");
    if (attributes.contains("__signature__")) PyDict_DelItemString(attributes.ptr(), "__signature__");
    return py::module_::import("functools").attr("wraps")(func)(wrapper);
}

}  // namespace

void init(py::module_& module) {
    module.doc() = module_doc;
    py::object globals = module.attr("__dict__");

    // Tracing is decided once, here. A present but broken API (failing on import or in
    // get_tracer) turns it off as silently as a missing one.
    py::object trace = py::none();
    py::object tracer = py::none();
    bool available = false;
    try {
        py::object package = py::reinterpret_steal<py::object>(
            PyImport_ImportModuleLevel("opentelemetry", globals.ptr(), nullptr, py::make_tuple("trace").ptr(), 0));
        if (!package) throw pyx::PyError::fetch();
        trace = package.attr("trace");
        tracer = trace.attr("get_tracer")("vorn_sandbox");
        available = true;
    } catch (...) {
        pyx::PyError error = pyx::to_pyerror(std::current_exception());
        if (!error.is_exception()) throw error;
        trace = py::none();
        tracer = py::none();
        available = false;
    }
    module.attr("trace") = trace;
    module.attr("_tracer") = tracer;
    module.attr("_TRACING_AVAILABLE") = py::bool_(available);
    py::dict annotations;
    annotations["_tracer"] = pyx::typing("Any");
    module.attr("__annotations__") = annotations;

    py::object final_str = pyx::typing("Final")[builtin("str")];

    // Plain classes of `Final[str]` constants, members in declaration order.
    auto vocabulary = [&](const char* name, const char* doc,
                          std::initializer_list<std::pair<const char*, const char*>> members) {
        pyx::ClassBody body(module, name);
        body.doc(doc);
        for (const auto& [member, value] : members) body.field(member, final_str, py::str(value));
        module.attr(name) = body.create_plain();
    };
    vocabulary("SpanName", span_name_doc,
               {{"TEMPLATE_BUILD", "vorn_sandbox.template.build"},
                {"CREATE", "vorn_sandbox.sandbox.create"},
                {"EXECUTE_CODE", "vorn_sandbox.execute_code"},
                {"EXECUTE_COMMAND", "vorn_sandbox.execute_command"},
                {"UPLOAD", "vorn_sandbox.file.upload"},
                {"DOWNLOAD", "vorn_sandbox.file.download"},
                {"TERMINATE", "vorn_sandbox.sandbox.terminate"}});
    vocabulary("SpanAttr", span_attr_doc,
               {{"BACKEND", "vorn_sandbox.backend"},
                {"SANDBOX_ID", "vorn_sandbox.sandbox_id"},
                {"TEMPLATE_ID", "vorn_sandbox.template_id"},
                {"FILE_PATH", "vorn_sandbox.file_path"},
                {"STATUS", "vorn_sandbox.status"}});

    py::object any = pyx::typing("Any");
    py::object callable = pyx::typing("Callable");

    pyx::def_function(
        module,
        pyx::def("_apply_attrs",
                 {annotated(pyx::arg("span"), any),
                  annotated(pyx::arg("attrs"), py::reinterpret_borrow<py::object>(
                                                   reinterpret_cast<PyObject*>(&PyDict_Type))[py::make_tuple(builtin("str"), any)])},
                 [](Args& a) {
                     // An identity test: 0, "", False and empty containers are real values.
                     for (py::handle item : a[1].attr("items")()) {
                         py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
                         if (!pair[1].is_none()) a[0].attr("set_attribute")(pair[0], pair[1]);
                     }
                     return py::none();
                 })
            .returning(py::none())
            .with_doc("Write each attribute whose value is not None onto span."));

    py::object yield_type = make_yield_type(module);
    py::object generator = pyx::make_function(
        pyx::def_async("_start_span", {pyx::arg("name"), pyx::varkw("attrs")},
                       [yield_type](Args a) { return span_generator(yield_type, std::move(a)); })
            .with_doc("Open name as the current span with attrs set on it and yield the span, "
                      "or yield None when tracing is unavailable."),
        globals);
    module.attr("_start_span") = py::module_::import("contextlib").attr("contextmanager")(generator);

    pyx::def_function(
        module,
        pyx::def("traced", {annotated(pyx::arg("name"), builtin("str")), annotated(pyx::varkw("static_attrs"), any)},
                 [globals](Args& a) {
                     py::object name = a[0];
                     py::dict static_attrs = a[1];
                     return pyx::make_function(
                         pyx::def("decorator", {annotated(pyx::arg("func"), pyx::typing("Callable"))},
                                  [name, static_attrs, globals](Args& d) {
                                      // Decided once per decorated function, not per call.
                                      bool coroutine = truthy(coroutine_function_test()(d[0]));
                                      return make_wrapper(coroutine, name, static_attrs, d[0], globals);
                                  })
                             .returning(pyx::typing("Callable")),
                         globals, "traced.<locals>.decorator");
                 })
            .returning(callable)
            .with_doc("Decorator factory: run each call of the decorated function inside one span named "
                      "name that carries static_attrs.\n\nA coroutine function stays a coroutine function; "
                      "its span opens when the coroutine starts running and stays current until it "
                      "returns, raises or is cancelled."));

    pyx::def_function(
        module,
        pyx::def("set_current_span_attributes", {annotated(pyx::varkw("attrs"), any)},
                 [](Args& a) -> py::object {
                     if (!truthy(a.global("_TRACING_AVAILABLE"))) return py::none();
                     py::object span = a.global("trace").attr("get_current_span")();
                     if (span.is_none() || !truthy(span.attr("is_recording")())) return py::none();
                     a.global("_apply_attrs")(span, a[0]);
                     return py::none();
                 })
            .returning(py::none())
            .with_doc("Set attrs on the span that is current in the caller's context, when it records; "
                      "otherwise do nothing."));
}

}  // namespace vorn_sandbox::observability
