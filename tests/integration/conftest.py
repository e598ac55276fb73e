"""Fixtures of the integration suite: a real lighttpd, CGI environments and a
private class registry.

Environment read here (set by the CTest registration in CMakeLists.txt):
  QUILLON_BUILD_DIR      the build tree (bin/, lib/) under test
  QUILLON_TARGET_FILES   comma-separated files the tree's targets build: a
                         test needing a file outside this list is skipped
                         (not written yet), a listed file that is missing
                         fails the test
  QUILLON_ALLOW_MISSING  when set, any missing file skips instead of failing
  QUILLON_CODEPAGE, LD_PRELOAD, ASAN_OPTIONS, ...  passed on to CGI programs.
"""

from __future__ import annotations

import os
import subprocess
from pathlib import Path
from typing import Callable, Mapping

import pytest

import harness

DEFAULT_PATH = "/usr/local/bin:/usr/bin:/bin"


def _tree_files() -> set[Path] | None:
    """Files the build tree's targets produce, or None when not told."""
    value = os.environ.get("QUILLON_TARGET_FILES")
    if value is None:
        return None
    return {Path(p).resolve() for p in value.split(",") if p}


def require_built(path: Path, what: str) -> Path:
    """Returns `path` when it exists.

    A missing file that no target of the tree produces (the program is not
    written yet) skips the test, as does any missing file while
    QUILLON_ALLOW_MISSING is set. Otherwise the test fails, so that a build
    that lost an artefact can never pass by skipping.
    """
    if path.exists():
        return path
    reason = f"{what} is not built: {path} does not exist"
    tree_files = _tree_files()
    if tree_files is not None and path.resolve() not in tree_files:
        pytest.skip(f"{reason}; no target of this tree builds it yet")
    if os.environ.get("QUILLON_ALLOW_MISSING"):
        pytest.skip(reason)
    pytest.fail(reason + " (set QUILLON_ALLOW_MISSING=1 to skip instead)", pytrace=False)


@pytest.fixture(scope="session")
def build_dir() -> Path:
    """The build tree under test, from QUILLON_BUILD_DIR."""
    value = os.environ.get("QUILLON_BUILD_DIR")
    if not value:
        pytest.fail("QUILLON_BUILD_DIR is not set; run the suite through ctest "
                    "or point it at a build tree", pytrace=False)
    return Path(value).resolve()


@pytest.fixture(scope="session")
def built(build_dir: Path) -> Callable[[str, str], Path]:
    """built(relative_path, what): the artefact of the build tree, see require_built."""
    return lambda relative, what: require_built(build_dir / relative, what)


@pytest.fixture(scope="session")
def qreg(built) -> Path:
    return built("bin/qreg", "the registration program qreg")


@pytest.fixture(scope="session")
def server_library(built) -> Path:
    return built("lib/libqserver.so", "the server library")


@pytest.fixture(scope="session")
def client_library(built) -> Path:
    return built("lib/libqclient.so", "the client library")


@pytest.fixture(scope="session")
def engines_library(built) -> Path:
    return built("lib/libquillon-engines.so", "the database engines library")


@pytest.fixture
def quillon_registry(tmp_path: Path, qreg: Path, server_library: Path,
                     client_library: Path, engines_library: Path) -> Path:
    """A private registry file with the server and client libraries and the
    database engines registered.

    Programs see it through QUILLON_REGISTRY (cgi_env sets that when this
    fixture is in use); the system-wide registry is never touched.
    """
    registry = tmp_path / "registry" / "registry"
    env = dict(os.environ, QUILLON_REGISTRY=str(registry))
    for library in (server_library, client_library, engines_library):
        result = subprocess.run([str(qreg), "register", str(library)], env=env,
                                capture_output=True, timeout=60, check=False)
        if result.returncode != 0:
            pytest.fail(f"qreg register {library} exited with {result.returncode}:\n"
                        f"{result.stdout.decode(errors='replace')}"
                        f"{result.stderr.decode(errors='replace')}", pytrace=False)
    return registry


def _search_path(*parts: str | None) -> str:
    return os.pathsep.join(p for p in parts if p)


@pytest.fixture
def cgi_env(request: pytest.FixtureRequest) -> dict[str, str]:
    """The environment a CGI program gets besides the CGI/1.1 variables.

    A plain dict: tests add or change entries before starting a server. It
    carries PATH, the build tree's libraries and Python module (when a build
    tree is given), QUILLON_CODEPAGE when set, the sanitizer variables of this
    process, and QUILLON_REGISTRY when the test also uses quillon_registry.
    """
    env = {"PATH": os.environ.get("PATH") or DEFAULT_PATH, "PYTHONDONTWRITEBYTECODE": "1"}
    env.update(harness.sanitizer_env())
    if "QUILLON_CODEPAGE" in os.environ:
        env["QUILLON_CODEPAGE"] = os.environ["QUILLON_CODEPAGE"]
    build = os.environ.get("QUILLON_BUILD_DIR")
    if build:
        build_path = Path(build).resolve()
        env["LD_LIBRARY_PATH"] = _search_path(str(build_path / "lib"),
                                              os.environ.get("LD_LIBRARY_PATH"))
        env["PYTHONPATH"] = _search_path(str(build_path / "python"),
                                         os.environ.get("PYTHONPATH"))
    if "quillon_registry" in request.fixturenames:
        env["QUILLON_REGISTRY"] = str(request.getfixturevalue("quillon_registry"))
    return env


StartServer = Callable[..., harness.LighttpdServer]


@pytest.fixture
def lighttpd_factory(tmp_path_factory: pytest.TempPathFactory,
                     cgi_env: dict[str, str]) -> StartServer:
    """Starts lighttpd servers; every one is stopped when the test ends.

    Call it as start(env=None, stream_request_body=0, extra_conf="", cgi={})
    where `env` replaces the cgi_env fixture's environment and `cgi` maps
    program names to contents written into cgi-bin before the start.
    """
    servers: list[harness.LighttpdServer] = []

    def start(env: Mapping[str, str] | None = None,
              stream_request_body: int = 0, extra_conf: str = "",
              cgi: Mapping[str, str | bytes] | None = None) -> harness.LighttpdServer:
        server = harness.LighttpdServer(
            tmp_path_factory.mktemp("lighttpd"),
            cgi_env if env is None else env,
            stream_request_body=stream_request_body, extra_conf=extra_conf)
        for name, content in (cgi or {}).items():
            server.add_cgi(name, content)
        servers.append(server)
        return server.start()

    yield start
    for server in servers:
        server.stop()


@pytest.fixture
def lighttpd(lighttpd_factory: StartServer) -> harness.LighttpdServer:
    """A running lighttpd with the default cgi_env and an empty cgi-bin.

    Programs added to cgi-bin after the start are served at once.
    """
    return lighttpd_factory()


def _cxx_runtime() -> str:
    out = subprocess.run(["g++", "-print-file-name=libstdc++.so.6"], capture_output=True,
                         text=True, check=True, timeout=30).stdout.strip()
    return str(Path(out).resolve())


@pytest.fixture
def page_env(cgi_env: dict[str, str], build_dir: Path, quillon_registry: Path) -> dict[str, str]:
    """cgi_env plus what a Python program using the module needs: the
    module's directory and a fixed code page (65001; tests may change it)."""
    module = next((build_dir / "python").glob("quillon*.so"), build_dir / "python" / "quillon.so")
    require_built(module, "the Python module quillon")
    env = dict(cgi_env)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (str(module.parent), env.get("PYTHONPATH")) if p)
    env["QUILLON_CODEPAGE"] = "65001"
    # An ASan runtime preloaded into python3 also needs the C++ runtime
    # preloaded, or a C++ exception inside a component aborts the program.
    preload = env.get("LD_PRELOAD", "")
    if "libasan" in preload and "libstdc++" not in preload:
        env["LD_PRELOAD"] = preload + ":" + _cxx_runtime()
    return env
