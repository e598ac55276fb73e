"""A Python CGI page built on the module `quillon` answers real requests under
lighttpd on 127.0.0.1: the page the README shows, unchanged."""

from __future__ import annotations

import os
import subprocess
from pathlib import Path

import pytest

import harness
from conftest import require_built

# The README's page, with the interpreter line a web server needs.
HELLO_PAGE = """\
#!/usr/bin/python3
import html, quillon
srv = quillon.CreateObject("QServer.QServer")
quillon.LoadFromStream(srv)          # a live CGI run: reads the request
srv.WriteString("<p>Hello, " + html.escape(srv.GetStringData("name", 0)) + "</p>")
del srv                              # released: the response goes out
"""


def _cxx_runtime() -> str:
    out = subprocess.run(["g++", "-print-file-name=libstdc++.so.6"], capture_output=True,
                         text=True, check=True).stdout.strip()
    return str(Path(out).resolve())


@pytest.fixture
def page_env(cgi_env: dict[str, str], build_dir: Path, quillon_registry: Path) -> dict[str, str]:
    """cgi_env plus what a Python page needs: the module's directory and a
    fixed code page."""
    module = next((build_dir / "python").glob("quillon*.so"), build_dir / "python" / "quillon.so")
    require_built(module, "the Python module quillon")
    env = dict(cgi_env)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (str(module.parent), env.get("PYTHONPATH")) if p)
    env["QUILLON_CODEPAGE"] = "65001"
    # An ASan runtime preloaded into python3 also needs the C++ runtime
    # preloaded, or a C++ exception inside a component aborts the page.
    preload = env.get("LD_PRELOAD", "")
    if "libasan" in preload and "libstdc++" not in preload:
        env["LD_PRELOAD"] = preload + ":" + _cxx_runtime()
    return env


@pytest.mark.parametrize("query, greeting", [
    ("name=Taro", b"Taro"),
    ("name=%E5%A4%AA%E9%83%8E", "太郎".encode()),
    ("name=%3Cscript%3E", b"&lt;script&gt;"),
])
def test_get_request_is_answered_by_the_python_page(lighttpd_factory, page_env, query, greeting):
    server = lighttpd_factory(env=page_env, cgi={"hello.py": HELLO_PAGE})
    response = server.request("GET", "/cgi-bin/hello.py?" + query)
    assert response.status == 200, server.error_log_text()
    assert response.header("Content-Type") == b"text/html"
    assert response.body == b"<p>Hello, " + greeting + b"</p>\r\n"


def test_posted_form_is_read_by_the_python_page(lighttpd_factory, page_env):
    server = lighttpd_factory(env=page_env, cgi={"hello.py": HELLO_PAGE})
    response = server.request("POST", "/cgi-bin/hello.py?lang=en", body=b"name=Hanako",
                              headers={"Content-Type": "application/x-www-form-urlencoded"})
    assert response.status == 200, server.error_log_text()
    assert response.body == b"<p>Hello, Hanako</p>\r\n"


def test_page_output_bytes(page_env, tmp_path):
    # What the page writes before the web server rewrites the header block.
    page = tmp_path / "hello.py"
    page.write_text(HELLO_PAGE)
    env = dict(page_env, REQUEST_METHOD="GET", QUERY_STRING="name=Taro", GATEWAY_INTERFACE="CGI/1.1")
    result = harness.run_cgi([harness.PYTHON, str(page)], env)
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    assert result.stdout == (b"Content-Type: text/html\r\nConnection: close\r\n\r\n"
                             b"<p>Hello, Taro</p>\r\n")
