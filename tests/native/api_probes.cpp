// Probes of the typed body API: parameter structs, keyword calls, outcomes,
// `async with`, typed edges and closures the cycle collector must see.
#include "pyx/classes.hpp"
#include "pyx/context.hpp"
#include "pyx/edge.hpp"
#include "pyx/params.hpp"

namespace py = pybind11;
using namespace pyx::literals;
using pyx::Task;

namespace {

struct Named : pyx::Params {
    Arg a = arg("a");
    Arg b = arg("b", py::int_(2));
    Arg c = kwonly("c", py::none()).annotated(pyx::optional(pyx::builtin("int")));
    Arg rest = varkw("rest");
};
py::object named(Named& p) {
    return py::make_tuple(p.a, p.b, p.c, p.rest);
}

struct HoldNamed : pyx::Params {
    Arg value = arg("value");
    Arg future = arg("future");
};
Task<py::object> hold_named(HoldNamed p) {
    co_return co_await p.future;
}

// f(x, flag=True, name="n") and x.method(1, k=2)
struct KeywordCall : pyx::Params {
    Arg function = arg("function");
    Arg x = arg("x");
};
py::object keyword_call(KeywordCall& p) {
    py::object first = pyx::call(p.function, p.x, "flag"_kw = true, "name"_kw = std::string("n"));
    py::object second = pyx::call_method(p.x, "method"_name, 1, "k"_kw = 2);
    return py::make_tuple(first, second);
}

// Awaits `operation()`; on failure awaits `cleanup()` and re-raises the failure.
struct CleanupAfterFailure : pyx::Params {
    Arg operation = arg("operation");
    Arg cleanup = arg("cleanup");
};
Task<py::object> cleanup_after_failure(CleanupAfterFailure p) {
    pyx::Outcome outcome = co_await pyx::outcome_of([&] { return pyx::call(p.operation); });
    if (!outcome) {
        co_await pyx::call(p.cleanup);
        outcome.rethrow();
    }
    co_return outcome.value();
}

// async with manager as value: return await body(value)
struct AsyncWithProbe : pyx::Params {
    Arg manager = arg("manager");
    Arg body = arg("body");
};
Task<py::object> async_with_probe(AsyncWithProbe p) {
    py::object result = co_await pyx::async_with(p.manager, [&](py::object value) -> Task<py::object> {
        py::object inner = co_await pyx::call(p.body, value);
        co_return inner;
    });
    co_return result;
}

struct ReadEdge : pyx::Params {
    Arg source = arg("source");
};
py::object read_edge(ReadEdge& p) {
    auto text = pyx::read<std::string>(p.source, "text"_name);
    auto count = pyx::read<long long>(p.source, "count"_name);
    auto limit = pyx::read<std::optional<pyx::Seconds>>(p.source, "limit"_name);
    auto flag = pyx::read<bool>(p.source, "flag"_name);
    auto items = pyx::read<std::vector<std::string>>(p.source, "items"_name);
    auto note = pyx::read_item<std::string>(pyx::getattr(p.source, "extra"_name), "note");
    std::optional<double> limit_seconds;
    if (limit) limit_seconds = limit->count();
    items.push_back(note.value_or("none"));
    return pyx::call(pyx::builtin("dict"), "text"_kw = text + "!", "count"_kw = count + 1, "limit"_kw = limit_seconds,
                     "flag"_kw = !flag, "items"_kw = items);
}

// A function whose closure holds `value`.
struct Closing : pyx::Params {};
struct Held {
    py::object value;
};
py::object closing(Closing&, const Held& held) {
    return held.value;
}

struct MakeClosure : pyx::Params {
    Arg value = arg("value");
};
py::object make_closure(MakeClosure& p) {
    return pyx::make_function(pyx::def("closing", closing, Held{p.value}), p.globals(),
                              "make_closure.<locals>.closing");
}

// A class whose native method's globals are `namespace`, stored there as "Made":
// the class, its method and the namespace form a cycle.
struct Method : pyx::Params {
    Arg self = arg("self");
};
py::object made_method(Method& p) {
    return p.global("Made"_name);
}

struct ClassIn : pyx::Params {
    Arg namespace_ = arg("namespace");
};
py::object class_in(ClassIn& p) {
    py::object module = py::module_::import("types").attr("ModuleType")("probe_module");
    py::dict globals = p.namespace_;
    globals["__name__"] = py::str("probe_module");
    pyx::ClassBody body(module, "Made");
    body.attr("which", pyx::make_function(pyx::def("which", made_method), globals, "Made.which"));
    py::object made = body.create_plain();
    globals["Made"] = made;
    return made;
}

}  // namespace

void define_api_probes(py::module_& m) {
    pyx::def_function(m, pyx::def("named", named));
    pyx::def_function(m, pyx::def("hold_named", hold_named));
    pyx::def_function(m, pyx::def("keyword_call", keyword_call));
    pyx::def_function(m, pyx::def("cleanup_after_failure", cleanup_after_failure));
    pyx::def_function(m, pyx::def("async_with_probe", async_with_probe));
    pyx::def_function(m, pyx::def("read_edge", read_edge));
    pyx::def_function(m, pyx::def("make_closure", make_closure));
    pyx::def_function(m, pyx::def("class_in", class_in));
}
