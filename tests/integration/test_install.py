"""The installed package: `cmake --install` into a temporary prefix, then a
project outside the tree finds it with find_package(quillon) and uses it."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

CONSUMER_SOURCE = Path(__file__).parent / "consumer"


def _tool_env():
    # The suite runs with the ASan runtime preloaded for Python's sake; the
    # compilers and the consumer are ordinary programs.
    env = dict(os.environ)
    for key in ("LD_PRELOAD", "ASAN_OPTIONS", "QUILLON_REGISTRY"):
        env.pop(key, None)
    return env


def _run(argv, **kwargs):
    result = subprocess.run([str(a) for a in argv], capture_output=True, timeout=600,
                            check=False, env=kwargs.pop("env", _tool_env()), **kwargs)
    if result.returncode != 0:
        pytest.fail(f"{' '.join(map(str, argv))} exited with {result.returncode}:\n"
                    f"{result.stdout.decode(errors='replace')[-4000:]}\n"
                    f"{result.stderr.decode(errors='replace')[-4000:]}", pytrace=False)
    return result


@pytest.fixture(scope="session")
def prefix(build_dir, tmp_path_factory):
    cmake = shutil.which("cmake")
    if cmake is None:
        pytest.fail("cmake is not on PATH", pytrace=False)
    prefix = tmp_path_factory.mktemp("prefix")
    _run([cmake, "--install", build_dir, "--prefix", prefix])
    return prefix


@pytest.fixture(scope="session")
def consumer(prefix, tmp_path_factory):
    build = tmp_path_factory.mktemp("consumer")
    args = ["cmake", "-S", CONSUMER_SOURCE, "-B", build, f"-DCMAKE_PREFIX_PATH={prefix}",
            "-DCMAKE_BUILD_TYPE=Debug"]
    if os.environ.get("QUILLON_CXX_COMPILER"):
        args.append(f"-DCMAKE_CXX_COMPILER={os.environ['QUILLON_CXX_COMPILER']}")
    if os.environ.get("QUILLON_SANITIZE") == "ON":
        # A sanitized runtime must be used by a program with the same runtime.
        args += ["-DCMAKE_CXX_FLAGS=-fsanitize=address,undefined",
                 "-DCMAKE_EXE_LINKER_FLAGS=-fsanitize=address,undefined"]
    _run(args)
    _run(["cmake", "--build", build])
    return build / "consumer"


def _installed(prefix, pattern):
    found = sorted(prefix.glob(pattern))
    assert found, f"nothing matches {pattern} under {prefix}"
    return found[0]


def test_install_lays_out_headers_library_and_package_files(prefix):
    assert (prefix / "include/quillon/component/runtime.h").is_file()
    _installed(prefix, "lib*/libquillon-runtime.so")
    config = _installed(prefix, "lib*/cmake/quillon/quillonConfig.cmake")
    assert (config.parent / "quillonConfigVersion.cmake").is_file()
    assert (config.parent / "quillonTargets.cmake").is_file()


def test_consumer_builds_and_runs_against_the_installed_runtime(consumer):
    result = _run([consumer])
    assert result.stdout == b"runtime ok\n"


def test_installed_server_library_registers_and_creates(qreg, server_library, prefix, consumer,
                                                        tmp_path):
    # The build tree's qreg and library only decide whether the test applies;
    # what runs is the installed copy.
    installed_qreg = _installed(prefix, "bin/qreg")
    library = _installed(prefix, "lib*/libqserver.so")
    env = dict(_tool_env(), QUILLON_REGISTRY=str(tmp_path / "registry"))
    _run([installed_qreg, "register", library], env=env)
    result = _run([consumer, "QServer.QServer"], env=env)
    assert result.stdout.startswith(b"created QServer.QServer {")
