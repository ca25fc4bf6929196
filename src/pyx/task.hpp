// C++20 coroutines that Python awaits like its own.
//
// A `Task<T>` is lazy: nothing runs until its Python face (see `to_python`)
// receives its first `send`. Inside a task, `co_await` takes any Python
// awaitable and forwards what it yields to the event loop, as `yield from`
// does; `co_await` of another Task runs it to completion first. All frames of
// one Python coroutine are resumed from a single driver loop (a trampoline),
// so long chains of synchronous completions never deepen the C stack.
#pragma once

#include "pyx/error.hpp"

#include <array>
#include <coroutine>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace pyx {
namespace py = pybind11;

template <class T = py::object>
class Task;

namespace detail {

// Shared by every frame of one Python coroutine object.
struct Driver {
    std::coroutine_handle<> leaf;  // the frame to resume next; null once the root is done
    py::object pending;            // iterator of the Python awaitable the leaf waits on
    py::object yielded;            // value to hand to the event loop after a resume
    py::object sent;               // result delivered to the leaf's co_await
    py::object thrown;             // exception instance delivered to the leaf's co_await
};

// A Python reference held in a coroutine frame, made visible to the cycle collector.
struct GcRef {
    const void* object;
    int (*visit)(const void* object, visitproc visit, void* arg);
};

int visit_object(const void* object, visitproc visit, void* arg);

template <class A>
concept GcTraversable = requires(const A& a, visitproc v, void* p) {
    { pyx_traverse(a, v, p) } -> std::same_as<int>;
};

// Coroutine frames come and go on every call; recycling them by size class
// spares the allocator on the hot path. Only ever used with the GIL held.
void* allocate_frame(std::size_t size);
void free_frame(void* frame, std::size_t size) noexcept;

// A handful of references fit inline; more spill to the heap.
class GcRefs {
public:
    void push_back(GcRef ref) {
        if (size_ < inline_.size()) {
            inline_[size_++] = ref;
        } else {
            spill_.push_back(ref);
        }
    }
    template <class F>
    int for_each(F&& visit) const {
        for (std::size_t i = 0; i < size_; ++i) {
            if (int rc = visit(inline_[i])) return rc;
        }
        for (const GcRef& ref : spill_) {
            if (int rc = visit(ref)) return rc;
        }
        return 0;
    }

private:
    std::array<GcRef, 4> inline_{};
    std::size_t size_ = 0;
    std::vector<GcRef> spill_;
};

struct PromiseBase {
    Driver* driver = nullptr;
    std::coroutine_handle<> continuation;  // the awaiting frame, null at the root
    PromiseBase* parent = nullptr;         // promise of `continuation`
    PromiseBase* child = nullptr;          // the task this frame awaits, if any
    std::exception_ptr error;
    GcRefs gc_refs;

    static void* operator new(std::size_t size) { return allocate_frame(size); }
    static void operator delete(void* frame, std::size_t size) noexcept { free_frame(frame, size); }

    // The compiler hands a coroutine's parameters (its frame copies) to the
    // promise's constructor; keep the Python ones for tp_traverse.
    template <class... Params>
    explicit PromiseBase(Params&... params) {
        (record(params), ...);
    }
    PromiseBase() = default;

    template <class A>
    void record(A& a) {
        using Plain = std::remove_cvref_t<A>;
        if constexpr (std::is_base_of_v<py::object, Plain>) {
            gc_refs.push_back({static_cast<const py::object*>(&a), &visit_object});
        } else if constexpr (GcTraversable<Plain>) {
            gc_refs.push_back({&a, [](const void* o, visitproc v, void* p) {
                                   return pyx_traverse(*static_cast<const Plain*>(o), v, p);
                               }});
        }
    }

    int traverse(visitproc visit, void* arg) const;
};

// Suspends on a Python awaitable. The first step runs right in await_suspend,
// so an awaitable that completes at once never leaves the frame.
struct PythonAwaiter {
    py::object awaitable;
    Driver* driver = nullptr;

    bool await_ready() const noexcept { return false; }
    template <class P>
    bool await_suspend(std::coroutine_handle<P> handle) {
        driver = handle.promise().driver;
        return start(awaitable);
    }
    bool start(py::handle awaitable);
    py::object await_resume();
};

template <class T>
struct ValueSlot {
    std::optional<T> value;
    template <class U>
    void return_value(U&& v) {
        value.emplace(std::forward<U>(v));
    }
    T take() { return std::move(*value); }
};

template <>
struct ValueSlot<void> {
    void return_void() noexcept {}
    void take() noexcept {}
};

struct FinalAwaiter {
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> self, PromiseBase& promise) noexcept;
    template <class P>
    void await_suspend(std::coroutine_handle<P> self) noexcept {
        await_suspend(self, static_cast<PromiseBase&>(self.promise()));
    }
    void await_resume() const noexcept {}
};

}  // namespace detail

template <class T>
class [[nodiscard]] Task {
public:
    struct promise_type : detail::PromiseBase, detail::ValueSlot<T> {
        using detail::PromiseBase::PromiseBase;

        Task get_return_object() { return Task(std::coroutine_handle<promise_type>::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        detail::FinalAwaiter final_suspend() noexcept { return {}; }
        void unhandled_exception() noexcept { error = std::current_exception(); }

        template <class U>
        auto await_transform(Task<U>&& task) {
            return typename Task<U>::Awaiter{std::move(task)};
        }
        detail::PythonAwaiter await_transform(py::object awaitable) { return {std::move(awaitable)}; }
        // Awaiters of the bridge's own (see pyx/outcome.hpp) pass through as they are.
        template <class A>
        requires requires(A& awaiter) { awaiter.bridge_awaiter(); }
        A&& await_transform(A&& awaiter) { return std::forward<A>(awaiter); }
        detail::PythonAwaiter await_transform(py::handle awaitable) {
            return {py::reinterpret_borrow<py::object>(awaitable)};
        }
    };

    // Runs a child task inside the awaiting frame's driver.
    struct Awaiter {
        Task task;
        bool await_ready() const noexcept { return false; }
        template <class P>
        void await_suspend(std::coroutine_handle<P> parent) noexcept {
            auto& parent_promise = static_cast<detail::PromiseBase&>(parent.promise());
            auto& own = task.handle_.promise();
            own.driver = parent_promise.driver;
            own.continuation = parent;
            own.parent = &parent_promise;
            parent_promise.child = &own;
            own.driver->leaf = task.handle_;
        }
        T await_resume() {
            auto& own = task.handle_.promise();
            if (own.error) std::rethrow_exception(own.error);
            return own.take();
        }
    };

    Task() = default;
    Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
    Task& operator=(Task&& other) noexcept {
        if (this != &other) {
            reset();
            handle_ = std::exchange(other.handle_, {});
        }
        return *this;
    }
    ~Task() { reset(); }

    std::coroutine_handle<promise_type> release() noexcept { return std::exchange(handle_, {}); }

private:
    explicit Task(std::coroutine_handle<promise_type> handle) : handle_(handle) {}
    void reset() noexcept {
        if (handle_) {
            ErrorIndicatorGuard guard;
            std::exchange(handle_, {}).destroy();
        }
    }

    std::coroutine_handle<promise_type> handle_;
};

namespace detail {
using ResultTaker = py::object (*)(std::coroutine_handle<> root);

py::object wrap_root(std::coroutine_handle<> root, PromiseBase& promise, ResultTaker take, py::handle qualname);

template <class T>
py::object take_result(std::coroutine_handle<> root) {
    auto& promise = std::coroutine_handle<typename Task<T>::promise_type>::from_address(root.address()).promise();
    if constexpr (std::is_void_v<T>) {
        return py::none();
    } else if constexpr (std::is_base_of_v<py::handle, T>) {
        return py::reinterpret_borrow<py::object>(promise.take());
    } else {
        return py::cast(promise.take());
    }
}
}  // namespace detail

// The Python coroutine object that drives `task`. `qualname` names it in reprs.
template <class T>
py::object to_python(Task<T> task, py::handle qualname = {}) {
    auto handle = task.release();
    return detail::wrap_root(handle, handle.promise(), &detail::take_result<T>, qualname);
}

// The Python type of these coroutine objects, registered as a collections.abc.Coroutine.
py::handle coroutine_type();

}  // namespace pyx
