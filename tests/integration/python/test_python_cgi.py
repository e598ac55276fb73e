"""A Python CGI page built on the module `quillon` answers real requests under
lighttpd on 127.0.0.1: the page the README shows, unchanged."""

from __future__ import annotations

import pytest

import harness

# The README's page, with the interpreter line a web server needs.
HELLO_PAGE = """\
#!/usr/bin/python3
import html, quillon
srv = quillon.CreateObject("QServer.QServer")
quillon.LoadFromStream(srv)          # a live CGI run: reads the request
srv.WriteString("<p>Hello, " + html.escape(srv.GetStringData("name", 0)) + "</p>")
del srv                              # released: the response goes out
"""


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


# --- A page that fails ---------------------------------------------------------

HEAD_500 = (b"Status: 500 Internal Server Error\r\nContent-Type: text/plain\r\n"
            b"Connection: close\r\n\r\n")
HEAD_200 = b"Content-Type: text/html\r\nConnection: close\r\n\r\n"

# A classic page that raises at the end of `work` while its object is alive
# (the README's shape, without reaching `del srv`).
FAILING_PAGE = """\
#!/usr/bin/python3
import sys, quillon
srv = quillon.CreateObject("QServer.QServer")
quillon.LoadFromStream(srv)
{work}
"""


@pytest.mark.parametrize("work, expected", [
    # An uncaught exception while the object lives: 500, nothing it collected.
    ("srv.WriteString('half a page')\nraise RuntimeError('the page failed')", HEAD_500),
    ("srv.WriteBinary(b'\\x00\\x01')\nraise RuntimeError('the page failed')", HEAD_500),
    ("srv.SetStringData('x', 'y')\nsrv.Result = 'OK'\nraise RuntimeError('the page failed')",
     HEAD_500),
    ("def page(s):\n    s.WriteString('in a function')\n    raise KeyError('the page failed')\n"
     "page(srv)", HEAD_500),
    # The response went out before the failure: nothing is added after it.
    ("srv.WriteString('done')\ndel srv\nraise RuntimeError('the page failed')",
     HEAD_200 + b"done\r\n"),
    # Leaving by sys.exit is no failure.
    ("srv.WriteString('done')\nsys.exit(0)", HEAD_200 + b"done\r\n"),
], ids=["text", "binary", "session", "in-function", "after-release", "sys-exit"])
def test_page_ending_by_an_uncaught_exception_answers_500(page_env, tmp_path, work, expected):
    page = tmp_path / "page.py"
    page.write_text(FAILING_PAGE.format(work=work))
    env = dict(page_env, REQUEST_METHOD="GET", QUERY_STRING="", GATEWAY_INTERFACE="CGI/1.1")
    result = harness.run_cgi([harness.PYTHON, str(page)], env)
    assert result.stdout == expected, result.stderr.decode(errors="replace")
    if b"the page failed" in FAILING_PAGE.format(work=work).encode():
        # The traceback goes to standard error: the web server's error log.
        assert b"Traceback" in result.stderr and b"the page failed" in result.stderr


def test_failing_page_is_a_500_under_lighttpd(lighttpd_factory, page_env):
    page = FAILING_PAGE.format(work="srv.WriteString('half a page')\nraise RuntimeError('boom')")
    server = lighttpd_factory(env=page_env, cgi={"fail.py": page})
    response = server.request("GET", "/cgi-bin/fail.py")
    assert response.status == 500, server.error_log_text()
    assert response.body == b""
    assert "RuntimeError: boom" in server.error_log_text()
