"""The str fast paths of the upload-path and language helpers give what the str methods give,
for plain str, str subclasses that override the methods, non-ASCII text and non-str values."""

from pathlib import PurePosixPath

import pytest

import vorn_sandbox.utils as utils


def reference_upload_path(filename, upload_dir, default_dir):
    base = default_dir if upload_dir is None else upload_dir
    if not base:
        return filename
    return "{}/{}".format(base.rstrip("/"), filename)


def reference_supports(language):
    normalized = language.lower()
    return (normalized if not normalized.startswith("python") else "python") in {"python", "py"}


class Shouting(str):
    def rstrip(self, chars=None):
        return "OVERRIDDEN"

    def lower(self):
        return "py"


@pytest.mark.parametrize(
    "filename, upload_dir, default_dir",
    [
        ("a.txt", None, "/files/"),
        ("tools/x.py", "/work///", "/files"),
        ("a.txt", "", "/files"),
        ("a.txt", None, None),
        ("ü.txt", "/dätä/", None),
        ("a.txt", "///", None),
        (Shouting("a.txt"), Shouting("/up/"), None),
        (PurePosixPath("p/q.txt"), "/up", None),
    ],
)
def test_build_upload_path_matches_the_str_methods(filename, upload_dir, default_dir):
    assert utils.build_upload_path(filename, upload_dir, default_dir) == reference_upload_path(
        filename, upload_dir, default_dir
    )


@pytest.mark.parametrize(
    "language", ["python", "PYTHON", "Python3.9", "py", "Py", "pypy", "javascript", "", "PYTHÖN", "ǅython", Shouting("JS")]
)
def test_supports_automatic_install_matches_the_str_methods(language):
    assert utils.supports_automatic_install(language) is reference_supports(language)


def test_a_path_without_rstrip_fails_as_the_method_call_does():
    with pytest.raises(AttributeError):
        utils.build_upload_path("a.txt", PurePosixPath("/up"), None)
