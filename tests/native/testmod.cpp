// A test-only extension that exercises the bridge from the Python side.
// Never installed with the package.
#include "pyx/aio.hpp"
#include "pyx/async_for.hpp"
#include "pyx/classes.hpp"
#include "pyx/context.hpp"
#include "pyx/object.hpp"
#include "pyx/outcome.hpp"
#include "pyx/params.hpp"
#include "pyx/task.hpp"

namespace py = pybind11;
using namespace pyx::literals;
using pyx::Task;

namespace {

// Appends `text` to a Python list when destroyed: lets tests see C++ destructors run.
struct Sentinel {
    py::object log;
    std::string text;
    ~Sentinel() {
        pyx::ErrorIndicatorGuard guard;
        pyx::call_method(log, "append"_name, text);
    }
};

struct NoParams : pyx::Params {};

Task<int> one() {
    co_return 1;
}

Task<int> nested(int depth) {
    if (depth == 0) co_return 0;
    co_return 1 + co_await nested(depth - 1);
}

Task<py::object> append_later(py::object log, py::object text) {
    co_await pyx::aio::sleep(0);
    pyx::call_method(log, "append"_name, text);
    co_return py::none();
}

struct AddLater : pyx::Params {
    Arg a = arg("a");
    Arg b = arg("b");
};
Task<py::object> add_later(AddLater p) {
    co_await pyx::aio::sleep(0);
    co_return p.a + p.b;
}

struct FailLater : pyx::Params {
    Arg exception = arg("exception");
};
Task<py::object> fail_later(FailLater p) {
    co_await pyx::aio::sleep(0);
    throw pyx::PyError(p.exception);
}

struct AwaitIt : pyx::Params {
    Arg awaitable = arg("awaitable");
};
Task<py::object> await_it(AwaitIt p) {
    py::object result = co_await p.awaitable;
    co_return result;
}

struct CollectAsync : pyx::Params {
    Arg iterable = arg("iterable");
};
// `return [item async for item in iterable]`
Task<py::object> collect_async(CollectAsync p) {
    py::list items;
    pyx::AsyncFor loop(p.iterable);
    while (std::optional<py::object> item = co_await loop.next()) items.append(*item);
    co_return items;
}

struct WithManager : pyx::Params {
    Arg manager = arg("manager");
    Arg error = arg("error", py::none());
};
// `with manager as value: raise error` (when given); `value` when the block ends
// normally, None when `__exit__` suppressed the error.
py::object with_manager(WithManager& p) {
    pyx::WithBlock block(p.manager);
    if (p.error.is_none()) {
        py::object value = block.value();
        block.exit_normally();
        return value;
    }
    block.exit_raising(pyx::PyError(p.error));
    return py::none();
}

struct LogAndSeconds : pyx::Params {
    Arg log = arg("log");
    Arg seconds = arg("seconds");
};
// Sleeps; on cancellation runs a shielded clean-up that itself awaits, then re-raises.
Task<py::object> cleanup_on_cancel(LogAndSeconds p) {
    pyx::Outcome slept = co_await pyx::outcome_of([&] { return pyx::aio::sleep(p.seconds.cast<double>()); });
    if (slept) co_return py::str("finished");
    if (!pyx::aio::is_cancellation(slept.error())) slept.rethrow();
    co_await pyx::aio::shield(pyx::to_python(append_later(p.log, py::str("cleaned"))));
    slept.rethrow();
}

Task<py::object> guarded(LogAndSeconds p) {
    Sentinel sentinel{p.log, "destroyed"};
    co_await pyx::aio::sleep(p.seconds.cast<double>());
    co_return py::str("done");
}

struct Count : pyx::Params {
    Arg n = arg("n");
};
Task<py::object> count_sync(Count p) {
    long n = p.n.cast<long>(), total = 0;
    for (long i = 0; i < n; ++i) total += co_await one();
    co_return py::int_(total);
}

Task<py::object> depth(Count p) {
    co_return py::int_(co_await nested(p.n.cast<int>()));
}

struct ReadVar : pyx::Params {
    Arg var = arg("var");
};
Task<py::object> read_var(ReadVar p) {
    co_await pyx::aio::sleep(0);
    co_return pyx::call_method(p.var, "get"_name);
}

struct InThread : pyx::Params {
    Arg function = arg("function");
};
Task<py::object> in_thread(InThread p) {
    co_return co_await pyx::aio::to_thread(p.function);
}

// Holds its argument in the frame while suspended (for cycle-collection tests).
struct Hold : pyx::Params {
    Arg value = arg("value");
    Arg future = arg("future");
};
Task<py::object> hold(Hold p) {
    co_return co_await p.future;
}

struct IsCancellation : pyx::Params {
    Arg error = arg("error");
};
py::object is_cancellation(IsCancellation& p) {
    return py::bool_(pyx::aio::is_cancellation(pyx::PyError(p.error)));
}

struct SignatureProbe : pyx::Params {
    Arg a = arg("a");
    Arg b = arg("b", py::int_(2));
    Arg c = kwonly("c", py::none());
    Arg kwargs = varkw();
};
py::object signature_probe(SignatureProbe& p) {
    return py::make_tuple(p.a, p.b, p.c, p.kwargs);
}

void define_functions(py::module_& m) {
    pyx::def_function(m, pyx::def("trivial", [](NoParams) -> Task<py::object> { co_return py::none(); }));
    pyx::def_function(m, pyx::def("add_later", add_later));
    pyx::def_function(m, pyx::def("fail_later", fail_later));
    pyx::def_function(m, pyx::def("await_it", await_it));
    pyx::def_function(m, pyx::def("collect_async", collect_async));
    pyx::def_function(m, pyx::def("with_manager", with_manager));
    pyx::def_function(m, pyx::def("cleanup_on_cancel", cleanup_on_cancel));
    pyx::def_function(m, pyx::def("guarded", guarded));
    pyx::def_function(m, pyx::def("count_sync", count_sync));
    pyx::def_function(m, pyx::def("depth", depth));
    pyx::def_function(m, pyx::def("read_var", read_var));
    pyx::def_function(m, pyx::def("in_thread", in_thread));
    pyx::def_function(m, pyx::def("hold", hold));
    pyx::def_function(m, pyx::def("is_cancellation", is_cancellation));
    pyx::def_function(m, pyx::def("signature_probe", signature_probe));
}

struct SelfOnly : pyx::Params {
    Arg self = arg("self");
};
struct InitShape : pyx::Params {
    Arg self = arg("self");
    Arg kwargs = varkw();
};
struct Scaled : pyx::Params {
    Arg self = arg("self");
    Arg factor = arg("factor");
    Arg timeout = kwonly("timeout", py::float_(10.0));
};
Task<py::object> scaled(Scaled p) {
    co_await pyx::aio::sleep(0);
    co_return pyx::call_method(p.self, "area"_name) * p.factor;
}
struct ClsOnly : pyx::Params {
    Arg cls = arg("cls");
};

struct InitError : pyx::Params {
    Arg self = arg("self");
    Arg message = arg("message");
    Arg code = arg("code", py::int_(0));
};
py::object init_error(InitError& p) {
    pyx::call_method(py::handle(PyExc_RuntimeError), "__init__"_name, p.self, p.message);
    pyx::setattr(p.self, "code"_name, p.code);
    return py::none();
}

py::object check_point(SelfOnly& p) {
    if (pyx::getattr(p.self, "x"_name).cast<long>() < 0) pyx::raise(PyExc_ValueError, "x must not be negative");
    return p.self;
}

void define_classes(py::module_& m) {
    pyx::ClassBody shape(m, "Shape");
    shape.doc("A shape.")
        .method(pyx::def("__init__", [](InitShape&) { return py::none(); }))
        .method(pyx::abstract_method<SelfOnly>("area"))
        .method(pyx::def("scaled", scaled))
        .classmethod(pyx::def("kind", [](ClsOnly& p) { return pyx::getattr(p.cls, "__name__"_name); }))
        .staticmethod(pyx::def("unit", [](NoParams&) { return py::int_(1); }))
        .property("sides", pyx::def("sides", [](SelfOnly&) { return py::int_(0); }));
    m.attr("Shape") = shape.create_abc();

    py::module_ enum_module = py::module_::import("enum");
    m.attr("Color") =
        pyx::make_enum(enum_module.attr("StrEnum"), m, "Color", {{"RED", py::str("red")}, {"GREEN", py::str("green")}});

    pyx::ClassBody error(m, "ProbeError");
    error.method(pyx::def("__init__", init_error))
        .property("doubled", pyx::def("doubled", [](SelfOnly& p) -> py::object {
                      return pyx::getattr(p.self, "code"_name) * py::int_(2);
                  }));
    m.attr("ProbeError") = error.create_plain(py::make_tuple(py::handle(PyExc_RuntimeError)));

    pyx::ClassBody point(m, "Point");
    py::dict config;
    config["frozen"] = true;
    point.field("x", pyx::builtin("int"))
        .field("y", pyx::builtin("int"), py::int_(0))
        .attr("model_config", config)
        .attr("_check", pyx::call(pyx::call(pyx::pydantic("model_validator"), "mode"_kw = "after"),
                                  point.function(pyx::def("_check", check_point))));
    m.attr("Point") = point.create_model();
}

}  // namespace

void define_api_probes(py::module_& m);  // api_probes.cpp

PYBIND11_MODULE(_pyx_testmod, m) {
    define_functions(m);
    define_classes(m);
    define_api_probes(m);
}
