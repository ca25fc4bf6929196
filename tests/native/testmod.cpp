// A test-only extension that exercises the bridge from the Python side.
// Never installed with the package.
#include "pyx/aio.hpp"
#include "pyx/classes.hpp"
#include "pyx/method.hpp"
#include "pyx/params.hpp"
#include "pyx/task.hpp"

namespace py = pybind11;
using pyx::Args;
using pyx::arg;
using pyx::kwonly;
using pyx::Task;

namespace {

// Appends `text` to a Python list when destroyed: lets tests see C++ destructors run.
struct Sentinel {
    py::object log;
    std::string text;
    ~Sentinel() {
        pyx::ErrorIndicatorGuard guard;
        log.attr("append")(text);
    }
};

struct NoParams : pyx::Params {};

Task<int> one() { co_return 1; }

Task<int> nested(int depth) {
    if (depth == 0) co_return 0;
    co_return 1 + co_await nested(depth - 1);
}

Task<py::object> append_later(py::object log, py::object text) {
    co_await pyx::aio::sleep(0);
    log.attr("append")(text);
    co_return py::none();
}

void define_functions(py::module_& m) {
    pyx::def_function(m, pyx::def("trivial", [](NoParams) -> Task<py::object> { co_return py::none(); }));

    pyx::def_function(m, pyx::def_async("add_later", {arg("a"), arg("b")}, [](Args a) -> Task<py::object> {
        co_await pyx::aio::sleep(0);
        co_return a[0] + a[1];
    }));

    pyx::def_function(m, pyx::def_async("fail_later", {arg("exception")}, [](Args a) -> Task<py::object> {
        co_await pyx::aio::sleep(0);
        throw pyx::PyError(a[0]);
    }));

    pyx::def_function(m, pyx::def_async("await_it", {arg("awaitable")}, [](Args a) -> Task<py::object> {
        py::object result = co_await a[0];
        co_return result;
    }));

    // Sleeps; on cancellation runs a shielded clean-up that itself awaits, then re-raises.
    pyx::def_function(m, pyx::def_async("cleanup_on_cancel", {arg("log"), arg("seconds")}, [](Args a) -> Task<py::object> {
        std::exception_ptr failure;
        try {
            co_await pyx::aio::sleep(a[1].cast<double>());
            co_return py::str("finished");
        } catch (const pyx::PyError& error) {
            if (!pyx::aio::is_cancellation(error)) throw;
            failure = std::current_exception();
        }
        co_await pyx::aio::shield(pyx::to_python(append_later(a[0], py::str("cleaned"))));
        std::rethrow_exception(failure);
    }));

    pyx::def_function(m, pyx::def_async("guarded", {arg("log"), arg("seconds")}, [](Args a) -> Task<py::object> {
        Sentinel sentinel{a[0], "destroyed"};
        co_await pyx::aio::sleep(a[1].cast<double>());
        co_return py::str("done");
    }));

    pyx::def_function(m, pyx::def_async("count_sync", {arg("n")}, [](Args a) -> Task<py::object> {
        long n = a[0].cast<long>(), total = 0;
        for (long i = 0; i < n; ++i) total += co_await one();
        co_return py::int_(total);
    }));

    pyx::def_function(m, pyx::def_async("depth", {arg("n")}, [](Args a) -> Task<py::object> {
        co_return py::int_(co_await nested(a[0].cast<int>()));
    }));

    pyx::def_function(m, pyx::def_async("read_var", {arg("var")}, [](Args a) -> Task<py::object> {
        co_await pyx::aio::sleep(0);
        co_return a[0].attr("get")();
    }));

    pyx::def_function(m, pyx::def_async("in_thread", {arg("function")}, [](Args a) -> Task<py::object> {
        co_return co_await pyx::aio::to_thread(a[0]);
    }));

    // Holds its argument in the frame while suspended (for cycle-collection tests).
    pyx::def_function(m, pyx::def_async("hold", {arg("value"), arg("future")}, [](Args a) -> Task<py::object> {
        co_return co_await a[1];
    }));

    pyx::def_function(m, pyx::def("is_cancellation", {arg("error")}, [](Args& a) {
        return py::bool_(pyx::aio::is_cancellation(pyx::PyError(a[0])));
    }));

    pyx::def_function(m, pyx::def("signature_probe", {arg("a"), arg("b", py::int_(2)), kwonly("c", py::none()), pyx::varkw()},
                                  [](Args& a) { return py::make_tuple(a[0], a[1], a[2], a[3]); }));
}

void define_classes(py::module_& m) {
    pyx::ClassBody shape(m, "Shape");
    shape.doc("A shape.")
        .method(pyx::def("__init__", {arg("self"), pyx::varkw()}, [](Args&) { return py::none(); }))
        .method(pyx::def("area", {arg("self")}, [](Args&) -> py::object { throw py::error_already_set(); }).abstract())
        .method(pyx::def_async("scaled", {arg("self"), arg("factor"), kwonly("timeout", py::float_(10.0))},
                               [](Args a) -> Task<py::object> {
                                   co_await pyx::aio::sleep(0);
                                   co_return a[0].attr("area")() * a[1];
                               }))
        .classmethod(pyx::def("kind", {arg("cls")}, [](Args& a) { return a[0].attr("__name__"); }))
        .staticmethod(pyx::def("unit", {}, [](Args&) { return py::int_(1); }))
        .property("sides", pyx::def("", {arg("self")}, [](Args&) { return py::int_(0); }));
    m.attr("Shape") = shape.create_abc();

    py::module_ enum_module = py::module_::import("enum");
    m.attr("Color") = pyx::make_enum(enum_module.attr("StrEnum"), m, "Color",
                                     {{"RED", py::str("red")}, {"GREEN", py::str("green")}});

    pyx::ClassBody error(m, "ProbeError");
    error.method(pyx::def("__init__", {arg("self"), arg("message"), arg("code", py::int_(0))}, [](Args& a) {
             py::handle(PyExc_RuntimeError).attr("__init__")(a[0], a[1]);
             a[0].attr("code") = a[2];
             return py::none();
         }))
        .property("doubled", pyx::def("", {arg("self")}, [](Args& a) -> py::object { return py::object(a[0].attr("code")) * py::int_(2); }));
    m.attr("ProbeError") = error.create_plain(py::make_tuple(py::handle(PyExc_RuntimeError)));

    pyx::ClassBody point(m, "Point");
    py::dict config;
    config["frozen"] = true;
    point.field("x", py::module_::import("builtins").attr("int"))
        .field("y", py::module_::import("builtins").attr("int"), py::int_(0))
        .attr("model_config", config)
        .attr("_check", pyx::pydantic("model_validator")(py::arg("mode") = "after")(point.function(
                            pyx::def("_check", {arg("self")}, [](Args& a) -> py::object {
                                if (a[0].attr("x").cast<long>() < 0) pyx::raise(PyExc_ValueError, "x must not be negative");
                                return a[0];
                            }))));
    m.attr("Point") = point.create_model();
}

}  // namespace

void define_api_probes(py::module_& m);  // api_probes.cpp

PYBIND11_MODULE(_pyx_testmod, m) {
    define_functions(m);
    define_classes(m);
    define_api_probes(m);
}
