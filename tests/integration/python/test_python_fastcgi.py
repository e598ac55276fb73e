"""quillon.serve(page) under lighttpd's mod_fastcgi: one Python process
answers many requests through the automation class, each on a fresh object,
and the same script still answers one request as CGI."""

from __future__ import annotations

from pathlib import Path

import pytest

import harness

PAGE = """\
#!/usr/bin/python3
import os, quillon

kept = []

def page(srv):
    mode = srv.GetServerVariable("PATH_INFO")
    srv.ContentType = "text/plain"
    out = ["pid=%d" % os.getpid()]
    if mode == "/echo":
        out.append("names=%d" % srv.GetDataNameCount())
        for i in range(srv.GetDataNameCount()):
            name = srv.GetDataName(i)
            out.append("%s=%s" % (name, srv.GetStringData(name, 0)))
        count = srv.SessionVariable("count")
        srv.SessionVariable["count"] = str(int(count) + 1) if count else "1"
        out.append("session=%s;seen=%s" % (count, srv.GetCookie("seen")))
        srv.SetCookie("seen", "yes")
    elif mode == "/upload":
        copy = srv.CreateTempCopy("")
        srv.GetFileData("file", 0, copy)
        out.append("copy=" + copy)
        out.append("size=%d" % os.path.getsize(copy))
    elif mode == "/keep":
        # A page that holds on to its object: the loop still answers now.
        kept.append(srv)
        out.append("kept=%d" % len(kept))
    elif mode == "/fail":
        srv.AddHeader("X-Half-Made: 1")
        srv.SetCookie("half", "made")
        raise ValueError("the page failed on purpose")
    srv.WriteString("\\r\\n".join(out))

quillon.serve(page)
"""


PAGE_KEYS = {"pid", "names", "session", "copy", "size", "kept", ""}


def values_of(got: dict[str, str]) -> dict[str, str]:
    return {k: v for k, v in got.items() if k not in PAGE_KEYS}


@pytest.fixture
def page_path(tmp_path: Path) -> Path:
    path = tmp_path / "page.py"
    path.write_text(PAGE)
    path.chmod(0o755)
    return path


@pytest.fixture
def temp_dir(tmp_path: Path) -> Path:
    path = tmp_path / "page-tmp"
    path.mkdir()
    return path


@pytest.fixture
def fcgi(lighttpd_factory, page_env, page_path, temp_dir, tmp_path):
    env = dict(page_env, TMPDIR=str(temp_dir))
    conf = harness.fastcgi_conf("/py", tmp_path / "py.sock", page_path, env)
    return lighttpd_factory(env=env, extra_conf=conf)


def test_python_page_answers_requests_independently(fcgi, temp_dir):
    upload_body, upload_headers = harness.multipart_file("file", "a.bin", b"\x00zz" * 3000)
    steps = [
        ("GET", "/py/echo?a=1", None, {}, {"names": "1", "a": "1", "session": ";seen="}),
        ("GET", "/py/echo", None, {"Cookie": "__QuillonSV_count=7; seen=no"},
         {"names": "0", "session": "7;seen=no"}),
        ("POST", "/py/upload", upload_body, upload_headers, {"size": "9000"}),
        ("POST", "/py/echo", b"b=2", {"Content-Type": "application/x-www-form-urlencoded"},
         {"names": "1", "b": "2", "session": ";seen="}),
        ("GET", "/py/keep", None, {}, {"kept": "1"}),
        ("GET", "/py/keep", None, {}, {"kept": "2"}),
        ("GET", "/py/echo", None, {}, {"names": "0", "session": ";seen="}),
    ]
    pids = set()
    for method, path, body, headers, expected in steps:
        resp = fcgi.request(method, path, body=body, headers=headers)
        assert resp.status == 200, fcgi.error_log_text()
        got = harness.key_values(resp.body)
        for key, value in expected.items():
            assert got.get(key) == value, (path, resp.body)
        # No value of an earlier request is seen.
        assert values_of(got) == values_of(expected), (path, resp.body)
        pids.add(got["pid"])
    assert len(pids) == 1, "the requests were not answered by one FastCGI process"
    assert list(temp_dir.iterdir()) == []


def test_python_page_error_answers_500_and_the_loop_goes_on(fcgi, temp_dir):
    first = fcgi.request("GET", "/py/echo")
    failed = fcgi.request("GET", "/py/fail")
    assert failed.status == 500, fcgi.error_log_text()
    assert failed.header("X-Half-Made") is None
    assert failed.header_values("Set-Cookie") == []
    assert "the page failed on purpose" in fcgi.error_log_text()
    after = fcgi.request("GET", "/py/echo?c=3")
    assert after.status == 200, fcgi.error_log_text()
    got = harness.key_values(after.body)
    assert got["pid"] == harness.key_values(first.body)["pid"]
    assert values_of(got) == {"c": "3"}


def test_python_page_runs_once_as_cgi(page_env, page_path, temp_dir):
    env = dict(page_env, TMPDIR=str(temp_dir), REQUEST_METHOD="GET", QUERY_STRING="x=1",
               GATEWAY_INTERFACE="CGI/1.1", PATH_INFO="/echo")
    result = harness.run_cgi([harness.PYTHON, str(page_path)], env)
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    head, _, body = result.stdout.partition(b"\r\n\r\n")
    assert head.startswith(b"Content-Type: text/plain\r\n"), result.stdout
    assert body.split(b"\r\n")[1:3] == [b"names=1", b"x=1"], result.stdout
