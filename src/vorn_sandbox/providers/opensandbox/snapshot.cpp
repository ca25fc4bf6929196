// vorn_sandbox.providers.opensandbox.snapshot: which snapshot a template name
// stands for. The server lists snapshots in pages and cannot filter by name,
// so a lookup scans the pages and keeps the exact-name matches, newest first.
#include "pyx/module.hpp"
#include "pyx/object.hpp"
#include "pyx/params.hpp"
#include "vorn_sandbox/modules.hpp"
#include "vorn_sandbox/provider_sdk.hpp"

namespace py = pybind11;
using namespace pyx::literals;

namespace vorn_sandbox::providers::opensandbox::snapshot {
namespace {

constexpr const char* module_doc =
    "OpenSandbox snapshot lookup, shared by every capability that resolves a snapshot name.\n"
    "\n"
    "Templates are referred to by a stable name (the template id), under which the template\n"
    "builder stores its snapshots; the server addresses snapshots by generated ids, names are\n"
    "not unique, and its listing has no name filter. A name is therefore resolved by scanning\n"
    "the listing page by page, keeping exact matches, newest first. Resolving at creation time\n"
    "means a rebuilt template is picked up by the next sandbox, and no stored reference goes\n"
    "stale. Both functions block: callers on an event loop run them in a worker thread.";

// A server that always reports another page would keep a scan (and the worker
// thread it runs in, which nothing can cancel) going for ever. Far more pages
// than any real server holds for one listing; past them the scan has failed.
constexpr long max_pages = 1000;

[[noreturn]] void raise_endless_listing(long pages) {
    pyx::raise(PyExc_RuntimeError,
               "the snapshot listing still reported a next page after " + std::to_string(pages) + " pages");
}

py::list matches_on_page(const py::object& listed, const py::object& name, py::list found) {
    py::object infos = pyx::getattr(listed, "snapshot_infos"_name);
    if (!pyx::truthy(infos)) return found;
    for (py::handle info : infos) {
        if (pyx::getattr(info, "name"_name).equal(name)) found.append(info);
    }
    return found;
}

struct ListSnapshotsNamed : pyx::Params {
    Arg manager = arg("manager");
    Arg name = arg("name");
    Arg ready_only = kwonly("ready_only");
    Arg page_size = kwonly("page_size", module_global("SNAPSHOT_LIST_PAGE_SIZE"));
};
py::object list_snapshots_named(ListSnapshotsNamed& a) {
    py::object states = py::none();
    if (pyx::truthy(a.ready_only)) states = py::list(py::make_tuple(a.global("SNAPSHOT_READY_STATE"_name)));
    py::list found;
    try {
        py::object snapshot_filter = a.global("SnapshotFilter"_name);
        long page_limit = a.global("_SNAPSHOT_LIST_MAX_PAGES"_name).cast<long>();
        for (long page = 1;; ++page) {
            if (page > page_limit) raise_endless_listing(page_limit);
            py::object query =
                pyx::call(snapshot_filter, "states"_kw = states, "page_size"_kw = a.page_size, "page"_kw = page);
            py::object listed = pyx::call_method(a.manager, "list_snapshots"_name, query);
            found = matches_on_page(listed, a.name, found);
            py::object pagination = pyx::getattr(listed, "pagination"_name);
            if (!pyx::truthy(pagination) || !pyx::truthy(pyx::getattr(pagination, "has_next_page"_name))) break;
        }
    } catch (...) {
        pyx::PyError error = pyx::to_pyerror(std::current_exception());
        if (!error.is_exception()) throw error;
        py::object message = py::str("OpenSandbox snapshot lookup failed for {!r}: {}").format(a.name, error.value());
        pyx::call_method(a.global("logger"_name), "warning"_name, message);
        return py::list();
    }
    // Stable: equal creation times keep the server's order.
    pyx::call_method(found, "sort"_name, "key"_kw = a.global("_by_creation_time"_name), "reverse"_kw = true);
    return found;
}

// A manager holds an HTTP transport of its own: closed as soon as the lookup
// is done, whichever way. Its close never hides the lookup's own outcome.
void close_quietly(const py::object& manager) {
    try {
        pyx::call_method(manager, "close"_name);
    } catch (...) {
        pyx::PyError error = pyx::to_pyerror(std::current_exception());
        if (!error.is_exception()) throw error;
    }
}

struct NewestReadySnapshotId : pyx::Params {
    Arg name = arg("name");
    Arg connection_config = kwonly("connection_config");
    Arg page_size = kwonly("page_size", module_global("SNAPSHOT_LIST_PAGE_SIZE"));
};
py::object newest_ready_snapshot_id(NewestReadySnapshotId& a) {
    py::object manager = pyx::call_method(a.global("SandboxManagerSync"_name), "create"_name,
                                          "connection_config"_kw = a.connection_config);
    py::object found;
    try {
        found = pyx::call(a.global("list_snapshots_named"_name), manager, a.name, "ready_only"_kw = true,
                          "page_size"_kw = a.page_size);
    } catch (...) {
        close_quietly(manager);
        throw;
    }
    close_quietly(manager);
    if (!pyx::truthy(found)) return py::none();
    return pyx::getattr(found[py::int_(0)], "id"_name);
}

void import_sdk(py::module_& module) {
    import_provider_sdk(
        "opensandbox is required for OpenSandbox snapshot lookup. "
        "Install it with: pip install 'vorn-sandbox[opensandbox]'",
        [&] {
            pyx::import_from(module, "opensandbox.config.connection_sync", {"ConnectionConfigSync"});
            pyx::import_from(module, "opensandbox.models.sandboxes", {"SnapshotFilter", "SnapshotInfo"});
            pyx::import_from(module, "opensandbox.sync.manager", {"SandboxManagerSync"});
        });
}

}  // namespace

void init(py::module_& module) {
    module.attr("__doc__") = py::str(module_doc);
    pyx::import_from(module, "kelmo_core.logging", {"LoggerManager"});
    import_sdk(module);
    module.attr("_by_creation_time") = py::module_::import("operator").attr("attrgetter")("created_at");
    pyx::bind_logger(module);
    module.attr("SNAPSHOT_READY_STATE") = py::str("Ready");
    module.attr("SNAPSHOT_FAILED_STATE") = py::str("Failed");
    module.attr("SNAPSHOT_LIST_PAGE_SIZE") = py::int_(100);
    module.attr("_SNAPSHOT_LIST_MAX_PAGES") = py::int_(max_pages);

    pyx::def_function(module, pyx::def("list_snapshots_named", list_snapshots_named)
                                  .with_doc("The snapshots named exactly `name`, newest first; Ready ones only "
                                            "when `ready_only`. A failed scan logs a warning and gives []."));
    pyx::def_function(module, pyx::def("newest_ready_snapshot_id", newest_ready_snapshot_id)
                                  .with_doc("The id of the newest Ready snapshot named `name`, or None."));
}

}  // namespace vorn_sandbox::providers::opensandbox::snapshot
