// vorn_sandbox.observability
//
// Optional tracing. Everything here reads `trace`, `_tracer`, `_TRACING_AVAILABLE`,
// `_start_span` and `_apply_attrs` from the module's globals at call time, as the
// equivalent Python code would, so callers and tests can patch them.
#include "vorn_sandbox/observability.hpp"
#include "pyx/classes.hpp"
#include "pyx/context.hpp"
#include "pyx/object.hpp"
#include "pyx/params.hpp"
#include "vorn_sandbox/modules.hpp"

#include <cstddef>
#include <exception>
#include <initializer_list>
#include <optional>
#include <string>
#include <utility>

namespace vorn_sandbox::observability {

namespace py = pybind11;
using namespace pyx::literals;
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

// Before 3.12, inspect.iscoroutinefunction knows only code flags, and native coroutine
// functions carry asyncio's mark instead, which asyncio's own test also accepts.
py::object coroutine_function_test() {
#if PY_VERSION_HEX >= 0x030C0000
    return py::module_::import("inspect").attr("iscoroutinefunction");
#else
    return py::module_::import("asyncio").attr("iscoroutinefunction");
#endif
}

// The module's own `_start_span` and `_apply_attrs`. A decorated call looks both
// up as globals, as Python would; while they are these very objects, it does
// their work in place, without a generator, contextlib or an argument dict. A
// replacement (a test's patch, say) is called as it stands.
struct Own {
    py::object start_span;
    py::object apply_attrs;
};

// `_apply_attrs(span, attrs)`, in place while it is the module's own; `attrs` is a
// dict of this module's making (a `**` parameter), which no one else holds.
void apply_attrs_to(const pyx::Params& a, const Own& own, py::handle span, py::handle attrs) {
    py::object apply_attrs = a.global("_apply_attrs"_name);
    if (!apply_attrs.is(own.apply_attrs)) {
        // A replacement gets a dict of its own, as a `**attrs` parameter would.
        pyx::call(apply_attrs, span, py::reinterpret_steal<py::dict>(PyDict_Copy(attrs.ptr())));
        return;
    }
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(attrs.ptr(), &position, &key, &value)) {
        // An identity test: 0, "", False and empty containers are real values. The
        // references are held across the call, which may run any Python code.
        if (value == Py_None) continue;
        py::object held_key = py::reinterpret_borrow<py::object>(key);
        py::object held_value = py::reinterpret_borrow<py::object>(value);
        pyx::call_method(span, "set_attribute"_name, held_key, held_value);
    }
}

// What `_start_span(name, **attrs)` does up to its `yield`: the span opened as the
// current one, with `attrs` written on it once it has started (out of a sampler's
// sight), or an empty block when tracing is off. False when the span's manager
// swallowed a failure of that write, which ends the generator without a yield.
bool enter_span(const pyx::Params& a, const Own& own, py::handle name, py::handle attrs, pyx::WithBlock& block) {
    if (!pyx::truthy(a.global("_TRACING_AVAILABLE"_name))) return true;
    block = pyx::WithBlock(pyx::call_method(a.global("_tracer"_name), "start_as_current_span"_name, name));
    try {
        apply_attrs_to(a, own, block.value(), attrs);
    } catch (...) {
        block.exit_raising(pyx::to_pyerror(std::current_exception()));
        return false;
    }
    return true;
}

// `with span: return await func(*args, **kwargs)`, `kwargs` a dict or None. The
// span lives in this frame's parameters, where the cycle collector sees it; the
// rest is borrowed from the calling frame, which outlives this one.
Task<py::object> await_in_span(pyx::WithBlock span, py::handle func, py::handle args, py::handle kwargs) {
    std::optional<pyx::PyError> failure;
    py::object result;
    try {
        py::object awaitable = pyx::apply(func, args, kwargs);
        result = co_await std::move(awaitable);
    } catch (...) {
        failure.emplace(pyx::to_pyerror(std::current_exception()));
    }
    if (failure) {
        span.exit_raising(*failure);
        co_return py::none();
    }
    span.exit_normally();
    co_return result;
}

// Awaiting an instance hands its `value` to whoever drives the coroutine, once,
// and resumes with nothing: the `yield value` of the span generator below.
struct YieldInit : pyx::Params {
    Arg self = arg("self");
    Arg value = arg("value");
};
py::object yield_init(YieldInit& a) {
    pyx::setattr(a.self, "value"_name, a.value);
    return py::none();
}

struct YieldAwait : pyx::Params {
    Arg self = arg("self");
};
py::object yield_await(YieldAwait& a) {
    return py::iter(py::make_tuple(pyx::getattr(a.self, "value"_name)));
}

py::object make_yield_type(py::module_& module) {
    pyx::ClassBody body(module, "_start_span.<locals>.Yield");
    body.method(pyx::def("__init__", yield_init)).method(pyx::def("__await__", yield_await));
    return body.create_plain();
}

// The generator behind `_start_span`. contextlib drives it with next/throw/close,
// which the native coroutine object implements with generator semantics.
// Decorated calls do not come through here unless `_start_span` is replaced.
struct StartSpan : pyx::Params {
    Arg name = arg("name");
    Arg attrs = varkw("attrs");
};
struct SpanGenerator {
    py::object yield_type;
    py::object apply_attrs;
};
Task<py::object> span_generator(StartSpan a, const SpanGenerator& closure) {
    pyx::WithBlock block;
    if (!enter_span(a, Own{py::none(), closure.apply_attrs}, a.name, a.attrs, block)) co_return py::none();
    py::tuple yielded = py::make_tuple(block.value());
    co_await await_in_span(std::move(block), closure.yield_type, yielded, py::none());
    co_return py::none();
}

// The wrapper that `traced(...)(func)` returns. Nothing is caught here beyond what the
// `with` statement does: every exception, cancellation included, leaves as it left func.
struct Wrapper : pyx::Params {
    Arg args = varargs();
    Arg kwargs = varkw();
};
struct Traced {
    py::object name;
    py::dict static_attrs;
    py::object func;
    Own own;
};

// `with _start_span(name, **static_attrs):`, entered.
pyx::WithBlock open_span(const Wrapper& a, const Traced& closure) {
    py::object start_span = a.global("_start_span"_name);
    if (!start_span.is(closure.own.start_span)) {
        return pyx::WithBlock(pyx::apply(start_span, py::make_tuple(closure.name), closure.static_attrs));
    }
    pyx::WithBlock block;
    if (!enter_span(a, closure.own, closure.name, closure.static_attrs, block)) {
        // What contextlib reports for a generator that ends before its yield.
        pyx::raise_from(pyx::make_exception(PyExc_RuntimeError, "generator didn't yield"), py::handle());
    }
    return block;
}

// The span opens at the coroutine's first step, inside the task that runs it,
// so it is current (through contextvars) across every suspension of func.
Task<py::object> async_wrapper(Wrapper a, const Traced& closure) {
    py::object result = co_await await_in_span(open_span(a, closure), closure.func, a.args, a.kwargs);
    co_return result;
}

py::object sync_wrapper(Wrapper& a, const Traced& closure) {
    pyx::WithBlock span = open_span(a, closure);
    py::object result;
    try {
        result = pyx::apply(closure.func, a.args, a.kwargs);
    } catch (...) {
        span.exit_raising(pyx::to_pyerror(std::current_exception()));
        return py::none();
    }
    span.exit_normally();
    return result;
}

py::object make_wrapper(bool coroutine, const Traced& traced, py::handle globals) {
    py::object qualname = pyx::getattr(traced.func, "__qualname__"_name, py::none());
    std::string own_qualname = py::isinstance<py::str>(qualname) ? qualname.cast<std::string>()
                                                                 : std::string("traced.<locals>.decorator.<locals>.") +
                                                                       (coroutine ? "async_wrapper" : "sync_wrapper");
    py::object wrapper =
        coroutine ? pyx::make_function(pyx::def("async_wrapper", async_wrapper, traced), globals, own_qualname)
                  : pyx::make_function(pyx::def("sync_wrapper", sync_wrapper, traced), globals, own_qualname);
    // A native function carries a signature of its own (*args, **kwargs). Without it,
    // inspect follows __wrapped__ to func's signature, as for any functools.wraps
    // wrapper; a native func brings its own __signature__ along in its __dict__.
    py::dict attributes = wrapper.attr("__dict__");
    if (attributes.contains("__signature__") && PyDict_DelItemString(attributes.ptr(), "__signature__") < 0) {
        throw pyx::PyError::fetch();
    }
    return py::module_::import("functools").attr("wraps")(traced.func)(wrapper);
}

struct Decorator : pyx::Params {
    Arg func = arg("func").annotated(pyx::typing("Callable"));
};
struct DecoratorClosure {
    py::object name;
    py::dict static_attrs;
    Own own;
};
py::object decorator(Decorator& a, const DecoratorClosure& closure) {
    // Decided once per decorated function, not per call.
    bool coroutine = pyx::truthy(coroutine_function_test()(a.func));
    return make_wrapper(coroutine, Traced{closure.name, closure.static_attrs, a.func, closure.own}, a.globals());
}

struct TracedParams : pyx::Params {
    Arg name = arg("name").annotated(pyx::builtin("str"));
    Arg static_attrs = varkw("static_attrs").annotated(pyx::typing("Any"));
};
py::object traced(TracedParams& a, const Own& own) {
    return pyx::make_function(pyx::def("decorator", decorator, DecoratorClosure{a.name, a.static_attrs, own})
                                  .returning(pyx::typing("Callable")),
                              a.globals(), "traced.<locals>.decorator");
}

struct ApplyAttrs : pyx::Params {
    Arg span = arg("span").annotated(pyx::typing("Any"));
    Arg attrs =
        arg("attrs").annotated(pyx::type_object(PyDict_Type)[py::make_tuple(pyx::builtin("str"), pyx::typing("Any"))]);
};
py::object apply_attrs(ApplyAttrs& a) {
    // An identity test: 0, "", False and empty containers are real values.
    for (py::handle item : pyx::call_method(a.attrs, "items"_name)) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        if (!pair[1].is_none()) pyx::call_method(a.span, "set_attribute"_name, pair[0], pair[1]);
    }
    return py::none();
}

struct SetCurrentSpanAttributes : pyx::Params {
    Arg attrs = varkw("attrs").annotated(pyx::typing("Any"));
};
// The span that attributes set now would go to, or None when none would be
// written: tracing is off or the current span does not record.
py::object recording_span(py::handle globals) {
    auto global = [&](py::handle name) {
        PyObject* found = PyDict_GetItemWithError(globals.ptr(), name.ptr());  // borrowed
        if (!found && !PyErr_Occurred()) PyErr_SetObject(PyExc_NameError, name.ptr());
        if (!found) throw pyx::PyError::fetch();
        return py::reinterpret_borrow<py::object>(found);
    };
    if (!pyx::truthy(global("_TRACING_AVAILABLE"_name.handle()))) return py::none();
    py::object span = pyx::call_method(global("trace"_name.handle()), "get_current_span"_name);
    if (span.is_none() || !pyx::truthy(pyx::call_method(span, "is_recording"_name))) return py::none();
    return span;
}

py::object set_current_span_attributes(SetCurrentSpanAttributes& a, const Own& own) {
    py::object span = recording_span(a.globals());
    if (span.is_none()) return py::none();
    apply_attrs_to(a, own, span, a.attrs);
    return py::none();
}

// The module's own set_current_span_attributes and the module's globals, kept
// for span_attributes_wanted for the life of the process (the module is built
// once per process and never torn down).
PyObject* own_setter = nullptr;
PyObject* own_globals = nullptr;

}  // namespace

bool span_attributes_wanted(py::handle set_attributes) {
    if (own_setter == nullptr || set_attributes.ptr() != own_setter) return true;
    return !recording_span(own_globals).is_none();
}

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

    py::object final_str = pyx::typing("Final")[pyx::builtin("str")];

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

    py::object apply_attrs_function =
        pyx::def_function(module, pyx::def("_apply_attrs", apply_attrs)
                                      .returning(py::none())
                                      .with_doc("Write each attribute whose value is not None onto span."));

    py::object generator = pyx::make_function(
        pyx::def("_start_span", span_generator, SpanGenerator{make_yield_type(module), apply_attrs_function})
            .with_doc("Open name as the current span with attrs set on it and yield the span, "
                      "or yield None when tracing is unavailable."),
        globals);
    py::object start_span = py::module_::import("contextlib").attr("contextmanager")(generator);
    module.attr("_start_span") = start_span;
    Own own{start_span, apply_attrs_function};

    pyx::def_function(
        module, pyx::def("traced", traced, own)
                    .returning(pyx::typing("Callable"))
                    .with_doc("Decorator factory: run each call of the decorated function inside one span named "
                              "name that carries static_attrs.\n\nA coroutine function stays a coroutine function; "
                              "its span opens when the coroutine starts running and stays current until it "
                              "returns, raises or is cancelled."));

    py::object setter =
        pyx::def_function(module, pyx::def("set_current_span_attributes", set_current_span_attributes, own)
                                      .returning(py::none())
                                      .with_doc("Set attrs on the span that is current in the caller's context, when "
                                                "it records; otherwise do nothing."));
    own_setter = setter.inc_ref().ptr();
    own_globals = globals.inc_ref().ptr();
}

}  // namespace vorn_sandbox::observability
