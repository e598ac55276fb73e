"""qreg as its users meet it: help, wrong starts that say what was expected,
and the settings it writes into the registry."""

from __future__ import annotations

import os
import subprocess

import pytest


def run(qreg, *args, registry=None, display=None):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    if display is not None:
        env["DISPLAY"] = display
    if registry is not None:
        env["QUILLON_REGISTRY"] = str(registry)
    return subprocess.run([str(qreg), *args], env=env, capture_output=True, text=True,
                          timeout=60, check=False)


@pytest.mark.parametrize("display", [None, ":99"], ids=["no-display", "unreachable-display"])
@pytest.mark.parametrize("flag", ["--help", "-h", "help"])
def test_help_prints_the_usage_and_succeeds(qreg, tmp_path, flag, display):
    result = run(qreg, flag, registry=tmp_path / "registry", display=display)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("usage: qreg register <library.so>\n")
    for command in ("unregister", "query", "export", "set", "unset"):
        assert f"\n       qreg {command} " in result.stdout or f"qreg {command}\n" in result.stdout
    assert result.stderr == ""
    assert not (tmp_path / "registry").exists()


@pytest.mark.parametrize("args, expected", [
    ((), "qreg: no command given; expected register, unregister, query, export, set, unset "
         "or --help\n"),
    (("frob",), 'qreg: unknown command "frob"; expected register'),
    (("register",), "qreg: register takes one component library (qreg register <library.so>), "
                    "but was given 0 arguments\n"),
    (("query", "a", "b"), "qreg: query takes one ProgID or {CLSID}"),
    (("export", "x"), "qreg: export takes no arguments (qreg export), but was given 1 argument\n"),
    (("set", "Key", "Name"), "qreg: set takes a key, a value name and a value"),
])
def test_a_wrong_start_says_what_was_expected(qreg, tmp_path, args, expected):
    result = run(qreg, *args, registry=tmp_path / "registry")
    assert result.returncode == 2
    assert result.stderr.startswith(expected), result.stderr
    assert "\nusage: qreg register <library.so>\n" in result.stderr
    assert result.stdout == ""


def test_set_and_unset_a_setting(qreg, tmp_path):
    registry = tmp_path / "registry"
    key = "Software\\Quillon\\QClient"
    assert run(qreg, "set", key, "LenientTLS", "1", registry=registry).returncode == 0
    assert '[Software\\Quillon\\QClient]\n"LenientTLS"="1"\n' in registry.read_text()
    assert run(qreg, "set", key, "@", "default", registry=registry).returncode == 0
    assert '[Software\\Quillon\\QClient]\n@="default"\n"LenientTLS"="1"\n' in registry.read_text()
    assert run(qreg, "unset", key, "LenientTLS", registry=registry).returncode == 0
    assert "LenientTLS" not in registry.read_text()
    again = run(qreg, "unset", key, "LenientTLS", registry=registry)
    assert again.returncode == 1
    assert "has no value LenientTLS" in again.stderr
    bad = run(qreg, "set", "Bad\\\\Path", "x", "1", registry=registry)
    assert bad.returncode == 1
    assert "not a valid key path" in bad.stderr
