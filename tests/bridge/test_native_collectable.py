"""Everything a native function or coroutine holds is visible to the cycle collector."""

import asyncio
import weakref

from _cycles import collected, collected_after_loop


class Box:
    pass


def test_closure_of_a_native_function(testmod):
    def make():
        box = Box()
        box.function = testmod.make_closure(box)  # box -> function -> closure -> box
        assert box.function() is box
        return weakref.ref(box)

    assert collected(make)


def test_class_whose_native_method_refers_back_to_it(testmod):
    def make():
        namespace = {}
        made = testmod.class_in(namespace)  # class -> method -> globals -> class
        assert made().which() is made
        return weakref.ref(made)

    assert collected(make)


def test_module_globals_of_a_native_function(testmod):
    def make():
        module = types_module("probe")
        box = Box()
        module.box = box
        module.function = testmod.make_closure(None)
        # the function keeps testmod's globals; a module holding it is no cycle by
        # itself, but a class made in it is (class -> method -> module dict -> class)
        testmod.class_in(module.__dict__)
        return weakref.ref(box)

    assert collected(make)


def types_module(name):
    import types

    return types.ModuleType(name)


def test_coroutine_frame_of_a_parameter_struct(testmod):
    async def run():
        future = asyncio.get_running_loop().create_future()
        box = Box()
        coro = testmod.hold_named(box, future)
        box.coro = coro  # a cycle through the C++ frame
        coro.send(None)
        return weakref.ref(box)

    assert collected_after_loop(run)
