"""The built extension: one stable-ABI file exporting only its initialiser and
not linked against libpython, installed with its licence."""

import shutil
import subprocess

import pytest

import tarnel

SO = tarnel.__file__


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def test_stable_abi_file_name():
    assert SO.endswith(".abi3.so")


@pytest.mark.skipif(shutil.which("nm") is None, reason="binutils not installed")
def test_only_the_initialiser_is_exported():
    symbols = [line.split()[-1] for line in run("nm", "-D", "--defined-only", SO).splitlines()]
    assert symbols == ["PyInit_tarnel"]


@pytest.mark.skipif(shutil.which("readelf") is None, reason="binutils not installed")
def test_libpython_is_not_linked():
    needed = [line for line in run("readelf", "-d", SO).splitlines() if "NEEDED" in line]
    assert needed and not any("libpython" in line for line in needed)


@pytest.mark.skipif(shutil.which("nm") is None, reason="binutils not installed")
def test_only_limited_api_symbols_are_used():
    # Underscored CPython symbols are private, except these few that the
    # limited API's own macros (Py_DECREF, Py_None, Py_True) refer to.
    allowed = {"_Py_Dealloc", "_Py_DecRef", "_Py_IncRef", "_Py_NoneStruct", "_Py_TrueStruct", "_Py_FalseStruct"}
    undefined = [line.split()[-1] for line in run("nm", "-D", "--undefined-only", SO).splitlines()]
    private = [s for s in undefined if s.startswith("_Py") and s not in allowed]
    assert private == []


def test_license_is_installed():
    from importlib.metadata import distribution

    licenses = [f for f in distribution("tarnel").files if f.name == "LICENSE"]
    assert len(licenses) == 1
    assert licenses[0].read_text().startswith("MIT License\n\nCopyright (c) 2026 the tarnel developers\n")
