// vorn_sandbox.base: BaseSandbox, the abstract root of every sandbox backend.
#include "pyx/aio.hpp"
#include "pyx/annotations.hpp"
#include "pyx/classes.hpp"
#include "pyx/module.hpp"
#include "pyx/object.hpp"
#include "pyx/outcome.hpp"
#include "pyx/params.hpp"
#include "vorn_sandbox/modules.hpp"

namespace py = pybind11;
using namespace pyx::literals;
using pyx::Task;

namespace vorn_sandbox::base {
namespace {

namespace types = pyx::types;

struct InitInstance : pyx::Params {
    Arg self = arg("self");
    Arg kwargs = varkw().annotated(types::any());
};
py::object init_instance(InitInstance& a, const pyx::DefiningClass& defining) {
    // Extra keyword arguments of a backend end here: the next initialiser gets none.
    pyx::call_method(pyx::super(defining, a.self), "__init__"_name);
    return py::none();
}

struct IsTransientCreateError : pyx::Params {
    Arg cls = arg("cls");
    Arg exc = arg("exc").annotated(types::base_exception());
};
py::object is_transient_create_error(IsTransientCreateError& a) {
    return py::bool_(
        pyx::is_instance(a.exc, py::make_tuple(py::handle(PyExc_TimeoutError), py::handle(PyExc_ConnectionError))));
}

// The done-callback of a teardown task: forgets it, and retrieves its
// exception so that asyncio does not report it as never retrieved.
struct ForgetTeardown : pyx::Params {
    Arg done = arg("done");
};
struct PendingSet {
    py::object discard;  // the bound `discard` of the module's set of pending teardowns
};
py::object forget_teardown(ForgetTeardown& a, const PendingSet& pending) {
    pyx::call(pending.discard, a.done);
    if (!pyx::truthy(pyx::call_method(a.done, "cancelled"_name))) pyx::call_method(a.done, "exception"_name);
    return py::none();
}

// asyncio keeps only weak references to tasks: a teardown that outlives the
// wait would be collectable mid-run and leak the sandbox. The module-level set
// holds each teardown task until it is done.
py::object keep_until_done(const pyx::Params& a, py::object task) {
    py::set pending = a.global("_pending_rollbacks"_name);
    pending.add(task);
    py::object callback =
        pyx::make_function(pyx::def("forget_teardown", forget_teardown, PendingSet{pending.attr("discard")}),
                           a.globals(), "BaseSandbox._shielded_rollback.<locals>.forget_teardown");
    pyx::call_method(task, "add_done_callback"_name, callback);
    return task;
}

struct ShieldedRollback : pyx::Params {
    Arg teardown = arg("teardown")
                       .annotated(types::subscript(types::from("collections.abc", "Coroutine"),
                                                   {types::any(), types::any(), py::none()}));
    Arg timeout = kwonly("timeout", imported("vorn_sandbox.constants", "DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS"))
                      .annotated(types::float_());
};
Task<py::object> shielded_rollback(ShieldedRollback a) {
    // Everything that is an Exception or a cancellation ends here; the caller
    // goes on to raise its own failure.
    pyx::Outcome rolled_back = co_await pyx::outcome_of([&] {
        py::object teardown = keep_until_done(a, pyx::aio::ensure_future(a.teardown));
        return pyx::aio::wait_for(pyx::aio::shield(teardown), a.timeout);
    });
    if (!rolled_back && !rolled_back.error().is_exception() && !pyx::aio::is_cancellation(rolled_back.error())) {
        rolled_back.rethrow();
    }
    co_return py::none();
}

struct Terminate : pyx::Params {
    Arg self = arg("self");
    Arg timeout = kwonly("timeout", imported("vorn_sandbox.constants", "DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS"))
                      .annotated(types::float_());
};

struct DownloadFile : pyx::Params {
    Arg self = arg("self");
    Arg file_path = arg("file_path").annotated(types::str());
    Arg timeout =
        kwonly("timeout", imported("vorn_sandbox.constants", "DEFAULT_DOWNLOAD_TIMEOUT")).annotated(types::float_());
};

}  // namespace

void init(py::module_& module) {
    module.attr("__doc__") = py::str("BaseSandbox: the abstract root of every sandbox backend.");
    for (const char* name : {"asyncio", "contextlib", "abc", "collections.abc", "typing"}) py::module_::import(name);
    pyx::bind_logger(module);
    module.attr("_pending_rollbacks") = py::set();

    pyx::ClassBody body(module, "BaseSandbox");
    body.doc(
            "Abstract root of every sandbox backend: transient-failure test, shielded rollback, "
            "teardown and file download.")
        .method(pyx::def("__init__", init_instance, pyx::DefiningClass{body.class_cell()}).returning(types::none()))
        .classmethod(pyx::def("_is_transient_create_error", is_transient_create_error)
                         .returning(types::bool_())
                         .with_doc("Whether one failure raised while creating a sandbox is worth another attempt."))
        .staticmethod(pyx::def("_shielded_rollback", shielded_rollback)
                          .returning(types::none())
                          .with_doc("Runs a rollback teardown shielded from cancellation, waiting at most "
                                    "`timeout` seconds; never raises."))
        .method(pyx::abstract_coroutine<Terminate>("terminate")
                    .returning(types::none())
                    .with_doc("Tears the sandbox down; `timeout` caps the whole teardown, in seconds."))
        .method(pyx::abstract_coroutine<DownloadFile>("download_file")
                    .returning(pyx::optional(types::bytes()))
                    .with_doc("Returns the file's bytes, or None when the download fails or times out."));
    module.attr("BaseSandbox") = body.create_abc();
}

}  // namespace vorn_sandbox::base
