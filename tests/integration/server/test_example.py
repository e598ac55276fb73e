"""The example CGI program of examples/hello.cc under lighttpd."""

from pathlib import Path

import pytest

from conftest import require_built


@pytest.fixture
def hello(lighttpd, build_dir: Path):
    lighttpd.link_cgi("hello", require_built(build_dir / "bin" / "qserver_hello",
                                             "the example qserver_hello"))
    return lighttpd


def test_greets_the_name_from_the_query_string(hello):
    resp = hello.request("GET", "/cgi-bin/hello?name=%3CTaro%3E")
    assert resp.status == 200
    assert resp.header("Content-Type") == b"text/html"
    assert resp.body == b"<html><body><p>Hello, &lt;Taro&gt;!</p></body></html>\r\n"


def test_answers_a_client_with_the_session_text(hello):
    resp = hello.request("POST", "/cgi-bin/hello", body=b"name=Taro&session=1")
    assert resp.body == b"QServerParams:greeting=Hello%2C+Taro&QServerResult=OK"
