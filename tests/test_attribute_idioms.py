"""super() and getattr/hasattr in native methods behave as their Python spelling does."""

import subprocess
import sys
import textwrap

import pytest

# Rebinds the module global that names the class to a subclass, then builds
# an instance: an __init__ that reaches its parent through the global would
# find itself again after the subclass and recurse until the C stack ends.
REBIND_SCRIPT = textwrap.dedent(
    """
    import importlib, sys
    module = importlib.import_module(sys.argv[1])
    original = getattr(module, sys.argv[2])

    class Sub(original):
        async def terminate(self, timeout=None): pass
        async def download_file(self, path, timeout=None): return None
        async def execute_code(self, *args, **kwargs): pass
        async def execute_command(self, *args, **kwargs): pass
        async def set_timeout(self, *args, **kwargs): pass
        @property
        def sandbox_id(self): return None

    Sub.__abstractmethods__ = frozenset()
    setattr(module, sys.argv[2], Sub)
    instance = Sub()
    print(type(instance).__name__, sys.argv[2] in [c.__name__ for c in type(instance).__mro__])
    """
)


@pytest.mark.parametrize(
    ("module", "name"),
    [
        ("vorn_sandbox.base", "BaseSandbox"),
        ("vorn_sandbox.code_interpreter.base", "CodeInterpreterSandbox"),
        ("vorn_sandbox.code_interpreter.e2b", "E2BSandbox"),
        ("vorn_sandbox.code_interpreter.opensandbox", "OpenSandbox"),
        ("vorn_sandbox.code_interpreter.bedrock", "BedrockAgentCoreSandbox"),
    ],
)
def test_init_survives_rebinding_the_class_global_to_a_subclass(module, name):
    done = subprocess.run(
        [sys.executable, "-c", REBIND_SCRIPT, module, name], capture_output=True, text=True, timeout=120
    )
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.split() == ["Sub", "True"]


def test_super_of_a_native_init_follows_the_instance_mro():
    # A mixin after the native classes in the instance's MRO is reached, as
    # with Python classes using super(); BaseSandbox passes it no keywords.
    from vorn_sandbox.code_interpreter.base import CodeInterpreterSandbox

    seen = []

    class Mixin:
        def __init__(self, **kwargs):
            seen.append(kwargs)
            super().__init__()

    class Sandbox(CodeInterpreterSandbox, Mixin):
        pass

    Sandbox.__abstractmethods__ = frozenset()
    Sandbox(language="python", marker=1)
    assert seen == [{}]


class LookupFailure(Exception):
    pass


class Raising:
    """Every attribute but the ones given raises LookupFailure."""

    def __init__(self, **present):
        self.__dict__.update(present)

    def __getattr__(self, name):
        raise LookupFailure(name)


class Missing:
    pass


def _e2b_sandbox_id(handle):
    from vorn_sandbox.code_interpreter.e2b import E2BSandbox

    sandbox = E2BSandbox()
    sandbox.sandbox = handle
    return sandbox.sandbox_id


def _opensandbox_sandbox_id(handle):
    from vorn_sandbox.code_interpreter.opensandbox import OpenSandbox

    sandbox = OpenSandbox()
    sandbox._sandbox = handle
    return sandbox.sandbox_id


def _template_execution_output(execution):
    from vorn_sandbox.template.opensandbox import OpenSandboxTemplateBuilder

    return OpenSandboxTemplateBuilder._execution_output(execution)


@pytest.mark.parametrize(
    ("read", "missing_result"),
    [
        (_e2b_sandbox_id, None),
        (_opensandbox_sandbox_id, None),
        (_template_execution_output, ("", "")),
    ],
)
def test_attribute_defaults_swallow_only_attribute_errors(read, missing_result):
    assert read(Missing()) == missing_result
    with pytest.raises(LookupFailure):
        read(Raising())


def test_optional_close_of_a_client_propagates_a_failing_lookup():
    # hasattr() that hides a failing property would skip the close silently.
    import asyncio

    from vorn_sandbox.code_interpreter.opensandbox import OpenSandbox

    class Handle:
        id = "sbx"

        async def kill(self):
            return None

        async def close(self):
            return None

    sandbox = OpenSandbox()
    sandbox._sandbox = Handle()
    sandbox._interpreter = Raising()
    with pytest.raises(LookupFailure):
        asyncio.run(sandbox.terminate())
