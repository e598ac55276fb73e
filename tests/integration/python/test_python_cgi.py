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
