"""The installed tree on its own: `cmake --install` into a staging directory
(DESTDIR), then a page compiled with `pkg-config --cflags --libs quillon`,
run as a CGI program, the Python module, every component library and the
development server, all from the staged files. The dynamic loader's own
record (LD_DEBUG) proves that nothing is loaded from the build tree."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

PAGE_SOURCE = r"""
#include <memory>
#include <string>

#include "quillon/server/qserver.h"

int main() {
  std::unique_ptr<quillon::server::QServer> server = quillon::server::QServer::StartCgi();
  std::string name = server->GetSubIndexCount("name") > 0 ? server->GetStringData("name", 0)
                                                          : std::string("nobody");
  server->WriteString("staged page for " + name);
}
"""

# ProgIDs of every component library: a library left out of the install,
# or installed but not registrable, makes its classes "not registered".
PROGIDS = [
    "QServer.QServer",
    "QServer.QHtmlDoc",
    "QClient.QClientCtrl.2",
    "DAO.DBEngine.36",
    "ADODB.Connection",
    "QuillonGrid.Sheet",
]


def _tool_env() -> dict[str, str]:
    # Compilers, cmake and pkg-config are ordinary programs: no preload.
    env = dict(os.environ)
    for key in ("LD_PRELOAD", "ASAN_OPTIONS", "QUILLON_REGISTRY", "PYTHONPATH",
                "LD_LIBRARY_PATH", "PKG_CONFIG_PATH"):
        env.pop(key, None)
    return env


def _run(argv, env, **kwargs) -> subprocess.CompletedProcess:
    result = subprocess.run([str(a) for a in argv], capture_output=True, timeout=300,
                            check=False, env=env, **kwargs)
    if result.returncode != 0:
        pytest.fail(f"{' '.join(map(str, argv))} exited with {result.returncode}:\n"
                    f"{result.stdout.decode(errors='replace')[-3000:]}\n"
                    f"{result.stderr.decode(errors='replace')[-3000:]}", pytrace=False)
    return result


class Stage:
    """The staged tree: DESTDIR plus the prefix the build was configured with."""

    def __init__(self, destdir: Path) -> None:
        self.destdir = destdir
        found = sorted(destdir.rglob("pkgconfig/quillon.pc"))
        assert found, f"no quillon.pc under {destdir}"
        self.pkgconfig_dir = found[0].parent
        self.libdir = self.pkgconfig_dir.parent
        self.bindir = next(destdir.rglob("bin/qreg")).parent
        modules = sorted(destdir.rglob("quillon*.so"))
        modules = [m for m in modules if "dist-packages" in m.parts or "site-packages" in m.parts]
        assert modules, f"no Python module under {destdir}"
        self.python_dir = modules[0].parent

    def run_env(self, registry: Path, base: dict[str, str]) -> dict[str, str]:
        env = dict(base)
        env["QUILLON_REGISTRY"] = str(registry)
        env["LD_LIBRARY_PATH"] = str(self.libdir)
        env["PYTHONPATH"] = str(self.python_dir)
        env["QUILLON_CODEPAGE"] = "65001"
        return env


@pytest.fixture(scope="module")
def stage(build_dir: Path, tmp_path_factory) -> Stage:
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.fail("cmake is not on PATH", pytrace=False)
    destdir = tmp_path_factory.mktemp("stage")
    _run([cmake, "--install", build_dir], env=dict(_tool_env(), DESTDIR=str(destdir)))
    return Stage(destdir)


@pytest.fixture(scope="module")
def staged_registry(stage: Stage, tmp_path_factory) -> Path:
    """Every staged component library registered by the staged qreg."""
    registry = tmp_path_factory.mktemp("registry") / "registry"
    env = dict(_tool_env(), QUILLON_REGISTRY=str(registry))
    env.update({k: os.environ[k] for k in ("LD_PRELOAD", "ASAN_OPTIONS") if k in os.environ})
    for name in ("libqserver.so.3", "libqclient.so.3", "libquillon-engines.so.3",
                 "libquillon-grid.so.3"):
        library = stage.libdir / name
        assert library.exists(), f"{name} is not installed"
        _run([stage.bindir / "qreg", "register", library], env=env)
    return registry


def _quillon_objects_loaded(stderr: bytes) -> list[str]:
    """Files of ours the dynamic loader initialised (LD_DEBUG=libs)."""
    paths = re.findall(rb"calling init: (\S+)", stderr)
    return sorted({p.decode() for p in paths
                   if re.search(rb"lib(quillon|qserver|qclient)[^/]*\.so|/quillon[^/]*\.so", p)})


def _assert_all_staged(loaded: list[str], stage: Stage, build_dir: Path) -> None:
    assert loaded, "no library of the toolkit was loaded"
    for path in loaded:
        resolved = Path(path).resolve()
        assert stage.destdir in resolved.parents, f"{path} is not a staged file"
        assert build_dir not in resolved.parents, f"{path} comes from the build tree"


def _sanitizer_env() -> dict[str, str]:
    env = {k: os.environ[k] for k in ("LD_PRELOAD", "ASAN_OPTIONS") if k in os.environ}
    preload = env.get("LD_PRELOAD", "")
    if "libasan" in preload and "libstdc++" not in preload:
        # A C++ exception thrown inside a component needs the C++ runtime
        # ahead of python3's own allocator hooks.
        libstdcxx = subprocess.run(["g++", "-print-file-name=libstdc++.so.6"],
                                   capture_output=True, text=True, check=True).stdout.strip()
        env["LD_PRELOAD"] = preload + ":" + str(Path(libstdcxx).resolve())
    return env


def test_every_component_class_is_created_from_the_staged_files(stage, staged_registry,
                                                                build_dir):
    script = ("import quillon, sys\n"
              "for progid in sys.argv[1:]:\n"
              "    quillon.CreateObject(progid)\n"
              "    print('created', progid)\n"
              "print('module', quillon.__file__)\n")
    env = stage.run_env(staged_registry, dict(_tool_env(), **_sanitizer_env(), LD_DEBUG="libs"))
    result = _run([sys.executable, "-c", script, *PROGIDS], env=env)
    out = result.stdout.decode()
    # (A QServer made outside a request writes an empty response when it
    # goes: the lines are found, not split.)
    assert re.findall(r"created (\S+)", out) == PROGIDS, out
    module = Path(re.search(r"module (\S+)", out).group(1))
    assert stage.python_dir == module.parent
    _assert_all_staged(_quillon_objects_loaded(result.stderr), stage, build_dir)


def test_page_built_with_pkg_config_runs_as_cgi(stage, staged_registry, build_dir, tmp_path):
    source = tmp_path / "page.cc"
    source.write_text(PAGE_SOURCE)
    env = dict(_tool_env(), PKG_CONFIG_PATH=str(stage.pkgconfig_dir),
               PKG_CONFIG_SYSROOT_DIR=str(stage.destdir))
    flags = _run(["pkg-config", "--cflags", "--libs", "quillon"], env=env).stdout.decode().split()
    assert not any(str(build_dir) in f for f in flags), flags
    compiler = os.environ.get("QUILLON_CXX_COMPILER") or "c++"
    extra = []
    if os.environ.get("QUILLON_SANITIZE") == "ON":
        # A sanitized toolkit is used by a program built the same way.
        extra = ["-fsanitize=address,undefined"]
    program = tmp_path / "page"
    _run([compiler, *extra, source, "-o", program, *flags], env=env)

    cgi = {"GATEWAY_INTERFACE": "CGI/1.1", "REQUEST_METHOD": "GET", "QUERY_STRING": "name=Hana",
           "SERVER_PROTOCOL": "HTTP/1.1", "SCRIPT_NAME": "/cgi-bin/page", "PATH": "/usr/bin:/bin",
           "ASAN_OPTIONS": "detect_leaks=0", "LD_DEBUG": "libs"}
    result = _run([program], env=stage.run_env(staged_registry, cgi))
    head, _, body = result.stdout.partition(b"\r\n\r\n")
    assert b"Content-Type: text/html" in head, result.stdout
    assert body == b"staged page for Hana\r\n", result.stdout
    _assert_all_staged(_quillon_objects_loaded(result.stderr), stage, build_dir)


def test_staged_development_server_serves_a_one_file_site(stage, build_dir, tmp_path):
    site = tmp_path / "site"
    (site / "cgi-bin").mkdir(parents=True)
    (site / "cgi-bin" / "hello.py").write_text(
        "import quillon\n"
        "def page(srv):\n"
        "    srv.WriteString('hello from ' + quillon.__file__)\n"
        "quillon.serve(page)\n")
    # No registry, no module path: the staged server brings both.
    env = dict(_tool_env(), **_sanitizer_env())
    result = _run([sys.executable, stage.bindir / "quillon-serve", "--port", "0", "--check",
                   "/cgi-bin/hello.py", site], env=env)
    out = result.stdout.decode()
    assert re.search(r"check: \S+/cgi-bin/hello\.py answered 200", out), out
    # Its private registry holds the staged libraries, none of the build's.
    assert str(build_dir) not in out, out


def test_staged_files_name_no_build_tree_path(stage, build_dir):
    # Run paths, the package files and the server's script: a path into the
    # build tree would work here and break on a user's machine.
    for path in stage.destdir.rglob("*"):
        if path.is_symlink() or not path.is_file():
            continue
        head = path.read_bytes()[:4]
        if head == b"\x7fELF":
            dynamic = subprocess.run(["readelf", "-d", str(path)], capture_output=True,
                                     text=True, check=True).stdout
            for line in dynamic.splitlines():
                if "RPATH" in line or "RUNPATH" in line:
                    assert str(build_dir) not in line, f"{path}: {line}"
        elif path.suffix in (".cmake", ".pc") or path.name == "quillon-serve":
            assert str(build_dir) not in path.read_text(), f"{path} names the build tree"
