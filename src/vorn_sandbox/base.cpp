// vorn_sandbox.base: BaseSandbox, the abstract root of every sandbox backend.
#include "pyx/aio.hpp"
#include "pyx/classes.hpp"
#include "pyx/object.hpp"
#include "vorn_sandbox/modules.hpp"

namespace py = pybind11;
using pyx::Args;
using pyx::arg;
using pyx::kwonly;
using pyx::Task;

namespace vorn_sandbox::base {
namespace {

py::object init_instance(Args& a) {
    // Extra keyword arguments of a backend end here: the next initialiser gets none.
    py::module_::import("builtins").attr("super")(a.global("BaseSandbox"), a[0]).attr("__init__")();
    return py::none();
}

py::object is_transient_create_error(Args& a) {
    int verdict = PyObject_IsInstance(a[1].ptr(), py::make_tuple(py::handle(PyExc_TimeoutError),
                                                                 py::handle(PyExc_ConnectionError)).ptr());
    if (verdict < 0) throw pyx::PyError::fetch();
    return py::bool_(verdict == 1);
}

// asyncio keeps only weak references to tasks: a teardown that outlives the
// wait would be collectable mid-run and leak the sandbox. The module-level set
// holds each teardown task until it is done; its exception is retrieved there
// so that it is not reported as never retrieved.
py::object keep_until_done(Args& a, py::object task) {
    py::set pending = a.global("_pending_rollbacks");
    pending.add(task);
    py::object discard = pending.attr("discard");
    task.attr("add_done_callback")(py::cpp_function([discard](py::object done) {
        discard(done);
        if (!pyx::truthy(done.attr("cancelled")())) done.attr("exception")();
    }));
    return task;
}

Task<py::object> shielded_rollback(Args a) {
    // Everything that is an Exception or a cancellation ends here; the caller
    // goes on to raise its own failure.
    try {
        py::object teardown = keep_until_done(a, pyx::aio::ensure_future(a[0]));
        co_await pyx::aio::wait_for(pyx::aio::shield(teardown), a[1]);
    } catch (...) {
        pyx::PyError error = pyx::to_pyerror(std::current_exception());
        if (!error.is_exception() && !pyx::aio::is_cancellation(error)) throw error;
    }
    co_return py::none();
}

}  // namespace

void init(py::module_& module) {
    module.attr("__doc__") = py::str("BaseSandbox: the abstract root of every sandbox backend.");
    for (const char* name : {"asyncio", "contextlib", "abc", "collections.abc", "typing"}) py::module_::import(name);
    py::object manager = py::module_::import("kelmo_core.logging").attr("LoggerManager");
    py::module_ constants = py::module_::import("vorn_sandbox.constants");
    py::object kill_timeout = constants.attr("DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS");
    py::object download_timeout = constants.attr("DEFAULT_DOWNLOAD_TIMEOUT");
    module.attr("logger") = manager().attr("get_logger")(module.attr("__name__"));
    module.attr("_pending_rollbacks") = py::set();

    pyx::ClassBody body(module, "BaseSandbox");
    body.doc("Abstract root of every sandbox backend: transient-failure test, shielded rollback, "
             "teardown and file download.")
        .method(pyx::def("__init__", {arg("self"), pyx::varkw()}, init_instance))
        .classmethod(pyx::def("_is_transient_create_error", {arg("cls"), arg("exc")}, is_transient_create_error)
                         .with_doc("Whether one failure raised while creating a sandbox is worth another attempt."))
        .staticmethod(pyx::def_async("_shielded_rollback", {arg("teardown"), kwonly("timeout", kill_timeout)},
                                     shielded_rollback)
                          .with_doc("Runs a rollback teardown shielded from cancellation, waiting at most "
                                    "`timeout` seconds; never raises."))
        .method(pyx::def_async("terminate", {arg("self"), kwonly("timeout", kill_timeout)}, pyx::not_implemented_async)
                    .abstract()
                    .with_doc("Tears the sandbox down; `timeout` caps the whole teardown, in seconds."))
        .method(pyx::def_async("download_file", {arg("self"), arg("file_path"), kwonly("timeout", download_timeout)},
                               pyx::not_implemented_async)
                    .abstract()
                    .with_doc("Returns the file's bytes, or None when the download fails or times out."));
    module.attr("BaseSandbox") = body.create_abc();
}

}  // namespace vorn_sandbox::base
