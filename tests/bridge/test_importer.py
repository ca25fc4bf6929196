"""The package is one shared object that serves every module lazily."""

import pathlib
import subprocess
import sys


def run(code: str) -> str:
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return result.stdout.strip()


def test_package_is_one_shared_object_with_a_real_path():
    import vorn_sandbox

    location = pathlib.Path(vorn_sandbox.__file__)
    assert location.name.startswith("__init__.") and location.suffix == ".so"
    files = sorted(p.name for p in location.parent.iterdir() if p.name != "__pycache__")
    assert [f for f in files if f.endswith(".so")] == [location.name]
    assert not [f for f in files if f.endswith(".py") and f != "primitive_runner.py"]


def test_modules_load_only_when_imported_and_are_listed():
    out = run(
        "import sys, pkgutil, vorn_sandbox\n"
        "print('vorn_sandbox.template' in sys.modules)\n"
        "import vorn_sandbox.template.base\n"
        "print('vorn_sandbox.template' in sys.modules)\n"
        "names = {m.name for m in pkgutil.walk_packages(vorn_sandbox.__path__, 'vorn_sandbox.')}\n"
        "print(sorted(n for n in names if n.startswith('vorn_sandbox.template')))\n"
    )
    assert out.splitlines() == [
        "False",
        "True",
        "['vorn_sandbox.template', 'vorn_sandbox.template.base', 'vorn_sandbox.template.bedrock', "
        "'vorn_sandbox.template.e2b', 'vorn_sandbox.template.models', 'vorn_sandbox.template.opensandbox']",
    ]


def test_reimport_and_reload_reuse_the_first_build():
    out = run(
        "import sys, importlib, vorn_sandbox.base as first\n"
        "importlib.reload(first)\n"
        "del sys.modules['vorn_sandbox.base']\n"
        "import vorn_sandbox.base as second\n"
        "print(first is second)\n"
    )
    assert out == "True"


FIRST_IMPORTS_AT_ONCE = r"""
import importlib, sys, threading
sys.setswitchinterval(1e-6)
names = ["vorn_sandbox", "vorn_sandbox.observability", "vorn_sandbox.utils", "vorn_sandbox.template.models",
         "vorn_sandbox.code_interpreter.base", "vorn_sandbox.primitives", "vorn_sandbox.providers",
         "vorn_sandbox.computer_use"]
barrier = threading.Barrier(len(names))
errors = []
def load(name):
    barrier.wait()
    try:
        importlib.import_module(name)
    except Exception as error:
        errors.append(repr(error))
threads = [threading.Thread(target=load, args=(name,)) for name in names]
for thread in threads:
    thread.start()
for thread in threads:
    thread.join()
print(errors)
"""


def test_first_imports_from_many_threads_at_once_find_every_module():
    # The root package and its submodules are first imported by eight threads
    # at once, in fresh interpreters (a finder, once installed, stays for the
    # process). While the root is still being executed the others must already
    # find its submodules. None of these submodules is one that the root imports
    # itself: a thread importing one of those holds its lock while it waits for
    # the root, which waits for that lock, and the import system reports a
    # deadlock, for a package of Python files just the same.
    from concurrent.futures import ThreadPoolExecutor

    def fresh_interpreter(_):
        result = subprocess.run([sys.executable, "-c", FIRST_IMPORTS_AT_ONCE], capture_output=True, text=True)
        return result.returncode, result.stdout.strip(), result.stderr[-500:]

    with ThreadPoolExecutor(4) as pool:
        outcomes = list(pool.map(fresh_interpreter, range(24)))
    failed = [outcome for outcome in outcomes if outcome[:2] != (0, "[]")]
    assert not failed, f"{len(failed)} of {len(outcomes)} runs failed, first: {failed[0]}"
