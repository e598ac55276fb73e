"""Fixtures of the script host's tests.

Environment (set by the CTest registration in CMakeLists.txt):
  PYTHONPATH               the directory holding the built module `quillon`
  QUILLON_PYTHON_FIXTURE   the fixture component library
  QUILLON_RUNTIME_LIBRARY  the runtime library (its live string and array counts)
  QUILLON_BUILD_DIR        the build tree (lib/libqserver.so)
  QUILLON_ALLOW_MISSING    set while the server library is not part of the tree:
                           its tests are skipped instead of failed

Every test runs against a private class registry and ends with a leak check:
no object of the fixture library alive, and as many automation strings and
arrays alive as before it.
"""

from __future__ import annotations

import atexit
import ctypes
import gc
import os
import shutil
import tempfile
from pathlib import Path

import pytest


def _required(name: str) -> str:
    value = os.environ.get(name)
    if not value:
        raise pytest.UsageError(f"{name} is not set: run the suites through ctest "
                                "(see tests/python/CMakeLists.txt)")
    return value


# The registry must be private before the runtime reads it for the first time.
_REGISTRY_DIR = tempfile.mkdtemp(prefix="quillon-python-")
atexit.register(shutil.rmtree, _REGISTRY_DIR, True)
os.environ["QUILLON_REGISTRY"] = str(Path(_REGISTRY_DIR) / "registry")

FIXTURE = ctypes.CDLL(_required("QUILLON_PYTHON_FIXTURE"))
FIXTURE.QuillonFixtureLiveObjects.restype = ctypes.c_long
FIXTURE.DllRegisterServer.restype = ctypes.c_int32

_RUNTIME = ctypes.CDLL(_required("QUILLON_RUNTIME_LIBRARY"))
# quillon::com::LiveStringCount() and LiveArrayCount(): C++ names, mangled.
_live_strings = _RUNTIME["_ZN7quillon3com15LiveStringCountEv"]
_live_strings.restype = ctypes.c_long
_live_arrays = _RUNTIME["_ZN7quillon3com14LiveArrayCountEv"]
_live_arrays.restype = ctypes.c_long

_hr = FIXTURE.DllRegisterServer() & 0xFFFFFFFF
if _hr != 0:
    raise RuntimeError(f"registering the fixture library failed: 0x{_hr:08X}")

import quillon  # noqa: E402  (after the registry is chosen)

FIXTURE_PROGID = "QuillonFixture.Echo"
FIXTURE_CLSID = "{6E0D3A51-2B7C-4E58-9F1A-3C5D7B9E0A11}"


def live_objects() -> int:
    """Objects of the fixture library alive now (echoes, children,
    collections, enumerators, class objects)."""
    return FIXTURE.QuillonFixtureLiveObjects()


def live_strings() -> int:
    return _live_strings()


def live_arrays() -> int:
    return _live_arrays()


@pytest.fixture(autouse=True)
def no_leaks():
    """Fails a test that leaves objects, strings or arrays alive."""
    gc.collect()
    assert live_objects() == 0, "an earlier test left fixture objects alive"
    strings, arrays = live_strings(), live_arrays()
    yield
    gc.collect()
    assert live_objects() == 0, "fixture objects outlived the test"
    assert live_strings() == strings, "automation strings leaked"
    assert live_arrays() == arrays, "automation arrays leaked"


@pytest.fixture
def echo():
    """A fresh fixture object, released when the test ends."""
    obj = quillon.CreateObject(FIXTURE_PROGID)
    yield obj
    obj._release()


def _allow_missing() -> bool:
    return bool(os.environ.get("QUILLON_ALLOW_MISSING"))


@pytest.fixture(scope="session")
def qserver_library() -> Path:
    """libqserver.so of the build tree, registered in the private registry.

    Skipped while the server library is not part of the tree (CMake then sets
    QUILLON_ALLOW_MISSING); once it is, a missing file fails the tests.
    """
    path = Path(_required("QUILLON_BUILD_DIR")) / "lib" / "libqserver.so"
    if not path.exists():
        reason = f"the server library is not built: {path} does not exist"
        if _allow_missing():
            pytest.skip(reason)
        pytest.fail(reason, pytrace=False)
    library = ctypes.CDLL(str(path))
    library.DllRegisterServer.restype = ctypes.c_int32
    hr = library.DllRegisterServer() & 0xFFFFFFFF
    assert hr == 0, f"DllRegisterServer of {path} failed: 0x{hr:08X}"
    return path


@pytest.fixture(scope="session")
def grid_library() -> ctypes.CDLL:
    """The stand-in grid component of the build tree, registered in the
    private registry (skipped like the server library while not built)."""
    path = Path(_required("QUILLON_BUILD_DIR")) / "lib" / "libquillon-grid.so"
    if not path.exists():
        reason = f"the grid library is not built: {path} does not exist"
        if _allow_missing():
            pytest.skip(reason)
        pytest.fail(reason, pytrace=False)
    library = ctypes.CDLL(str(path))
    library.DllRegisterServer.restype = ctypes.c_int32
    library.DllCanUnloadNow.restype = ctypes.c_int32
    hr = library.DllRegisterServer() & 0xFFFFFFFF
    assert hr == 0, f"DllRegisterServer of {path} failed: 0x{hr:08X}"
    return library


@pytest.fixture
def qserver_alive(qserver_library):
    """Whether any object of the server library is alive (DllCanUnloadNow)."""
    library = ctypes.CDLL(str(qserver_library))
    library.DllCanUnloadNow.restype = ctypes.c_int32

    def alive() -> bool:
        return library.DllCanUnloadNow() != 0

    return alive


@pytest.fixture
def srv(qserver_alive):
    """A QServer object in offline-debug mode (started from a property bag)."""
    obj = quillon.CreateObject("QServer.QServer")
    quillon.LoadFromPropertyBag(obj)
    yield obj
    obj._release()
    assert not qserver_alive(), "a server object outlived its last reference"
