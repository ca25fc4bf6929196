"""Classes and closures built with the package's native functions are collected like Python ones."""

import asyncio
import gc
import weakref

import pytest

from vorn_sandbox.observability import traced


def collected(make):
    ref = make()
    gc.collect()
    return ref() is None


@pytest.mark.parametrize("asynchronous", [False, True])
def test_traced_method_calling_super_is_collected(asynchronous):
    def make():
        class Base:
            def run(self):
                return 1

            async def arun(self):
                return 1

        class Child(Base):
            # super() gives the method a __class__ cell: Child -> wrapper -> run -> cell -> Child
            @traced("probe.run")
            def run(self):
                return super().run() + 1

            @traced("probe.arun")
            async def arun(self):
                return await super().arun() + 1

        assert (asyncio.run(Child().arun()) if asynchronous else Child().run()) == 2
        return weakref.ref(Child)

    assert collected(make)


def test_traced_closure_over_an_object_that_holds_the_wrapper_is_collected():
    def make():
        class Holder:
            pass

        holder = Holder()

        def report():
            return holder

        holder.report = traced("probe.report", backend=holder)(report)  # holder -> wrapper -> attrs/func -> holder
        assert holder.report() is holder
        return weakref.ref(holder)

    assert collected(make)
