// Awaiting a provider's create so that a cancelled caller leaks nothing.
//
// Cancelling the request that creates a sandbox (or starts a session) does
// not undo it: the service may already have made the sandbox, and the client
// never learns its id, so nobody kills it and it is billed for its whole
// lifetime. The request therefore runs as a task of its own behind a shield.
// When the caller is cancelled meanwhile, the request is given at most the
// rollback cap to finish, whatever it made is torn down through the backend's
// own rollback, and the caller's cancellation is raised unchanged.
#pragma once

#include "pyx/aio.hpp"
#include "pyx/names.hpp"
#include "pyx/object.hpp"
#include "pyx/outcome.hpp"
#include "pyx/params.hpp"
#include "pyx/task.hpp"

namespace vorn_sandbox::code_interpreter {
namespace shielded_start_detail {

namespace py = pybind11;
using namespace pyx::literals;

struct Teardown {
    py::object owner;     // has `_shielded_rollback`
    py::object rollback;  // what was made -> the coroutine that tears it down
};

// The teardown of what was made, shielded and bounded as every rollback is.
inline py::object roll_back(const Teardown& teardown, py::handle made) {
    return pyx::call_method(teardown.owner, "_shielded_rollback"_name, pyx::call(teardown.rollback, made));
}

struct Finished : pyx::Params {
    Arg future = arg("future");
};
// Done-callback of a create that outlived the wait: what it made is torn down
// in the background once it is there. A failed create made nothing, and its
// exception is retrieved so that asyncio does not report it.
inline py::object roll_back_when_made(Finished& a, const Teardown& teardown) {
    if (pyx::truthy(pyx::call_method(a.future, "cancelled"_name))) return py::none();
    if (!pyx::call_method(a.future, "exception"_name).is_none()) return py::none();
    pyx::aio::ensure_future(roll_back(teardown, pyx::call_method(a.future, "result"_name)));
    return py::none();
}

}  // namespace shielded_start_detail

// `start` is the provider's create, not yet awaited; `rollback(made)` returns
// the coroutine that tears down what it made; `owner` (the backend class or
// instance) supplies `_shielded_rollback`; `globals` are the calling module's.
inline pyx::Task<pybind11::object> start_behind_shield(pybind11::object owner, pybind11::object start,
                                                        pybind11::object rollback, pybind11::object globals) {
    namespace py = pybind11;
    using namespace pyx::literals;
    namespace detail = shielded_start_detail;

    py::object creating = pyx::aio::ensure_future(start);
    pyx::Outcome created = co_await pyx::outcome_of([&] { return pyx::aio::shield(creating); });
    if (created) co_return created.value();
    // The create's own failure, or an interrupt, passes as it is.
    if (!pyx::aio::is_cancellation(created.error())) created.rethrow();

    // Further cancellations while the create finishes are swallowed: the first
    // one is raised at the end all the same.
    py::object loop = pyx::aio::get_running_loop();
    py::object cap = py::module_::import("vorn_sandbox.constants").attr("DEFAULT_SANDBOX_KILL_TIMEOUT_SECONDS");
    py::object deadline = pyx::call_method(loop, "time"_name) + cap;
    while (!pyx::truthy(pyx::call_method(creating, "done"_name))) {
        py::object remaining = deadline - pyx::call_method(loop, "time"_name);
        if (!(remaining > py::int_(0))) break;
        pyx::Outcome waited = co_await pyx::outcome_of([&] {
            return pyx::call_method(pyx::aio::asyncio(), "wait"_name, py::make_tuple(creating),
                                    "timeout"_kw = remaining);
        });
        if (!waited && !waited.error().is_exception() && !pyx::aio::is_cancellation(waited.error())) {
            waited.rethrow();
        }
    }

    detail::Teardown teardown{owner, rollback};
    if (!pyx::truthy(pyx::call_method(creating, "done"_name))) {
        pyx::call_method(creating, "add_done_callback"_name,
                         pyx::make_function(pyx::def("roll_back_when_made", detail::roll_back_when_made, teardown),
                                            globals, "start_behind_shield.<locals>.roll_back_when_made"));
    } else if (!pyx::truthy(pyx::call_method(creating, "cancelled"_name)) &&
               pyx::call_method(creating, "exception"_name).is_none()) {
        co_await detail::roll_back(teardown, pyx::call_method(creating, "result"_name));
    }
    created.rethrow();
}

}  // namespace vorn_sandbox::code_interpreter
