"""QServer under a real lighttpd: compiled CGI programs that use the library
answer real requests, and their bytes are compared exactly.

qserver_test_cgi uses the C++ door; qserver_dispatch_cgi creates
"QServer.QServer" through a private registry and calls it through IDispatch.
The path after the program name picks what a program does (see their
sources in cgi/).
"""

from __future__ import annotations

import os
import socket
import subprocess
import time
from pathlib import Path

import pytest

import harness
from conftest import require_built

HEAD_PLAIN = b"Content-Type: text/plain\r\nConnection: close\r\n\r\n"
HEAD_500 = (b"Status: 500 Internal Server Error\r\nContent-Type: text/plain\r\n"
            b"Connection: close\r\n\r\n")
BINARY_FILE = b"GIF89a\x00\x00\x01\x02\r\n--\xff\x00" + bytes(range(256)) + b"\x00\x00"


@pytest.fixture(scope="session")
def test_cgi(build_dir: Path) -> Path:
    return require_built(build_dir / "bin" / "qserver_test_cgi", "the QServer test CGI")


@pytest.fixture(scope="session")
def dispatch_cgi(build_dir: Path) -> Path:
    return require_built(build_dir / "bin" / "qserver_dispatch_cgi", "the QServer dispatch CGI")


@pytest.fixture
def server(lighttpd, test_cgi):
    lighttpd.link_cgi("q", test_cgi)
    return lighttpd


def cgi_run(program, cgi_env, path_info, stdin=b"", **variables):
    env = dict(cgi_env, PATH_INFO=path_info, REQUEST_METHOD="POST" if stdin else "GET",
               **variables)
    result = harness.run_cgi(program, env, stdin=stdin)
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    return result.stdout


def curl(*args: str) -> bytes:
    # curl is no program of ours: it gets no sanitizer runtime preloaded.
    env = {k: v for k, v in os.environ.items() if k not in harness.sanitizer_env()}
    result = subprocess.run(["curl", "-sS", "--noproxy", "*", "--max-time", "60", *args],
                            capture_output=True, env=env, timeout=90, check=True)
    return result.stdout


# --- Requests ----------------------------------------------------------------

def test_get_with_query_string(server, test_cgi, cgi_env):
    resp = server.request("GET", "/cgi-bin/q/echo?a=1&b=x%20y&a=%E5%90%8D")
    assert resp.status == 200
    assert resp.header("Content-Type") == b"text/plain"
    assert resp.body == "a=1\r\na=名\r\nb=x y\r\n".encode()
    # The program's own bytes, header block included.
    assert cgi_run(test_cgi, cgi_env, "/echo", QUERY_STRING="a=1&b=x%20y") == (
        HEAD_PLAIN + b"a=1\r\nb=x y\r\n")


def test_urlencoded_post_follows_the_query_string(server):
    resp = server.request("POST", "/cgi-bin/q/echo?id=7", body=b"name=Taro&x=%00z&id=8",
                          headers={"Content-Type": "application/x-www-form-urlencoded"})
    assert resp.body == b"id=7\r\nid=8\r\nname=Taro\r\nx=\r\n"


def test_multipart_upload_with_zero_bytes(server, tmp_path):
    upload = tmp_path / "pic.gif"
    upload.write_bytes(BINARY_FILE)
    url = f"{server.base_url}/cgi-bin/q"
    info = curl("-F", "title=My picture", "-F", f"file=@{upload};type=image/gif",
                f"{url}/upload-info?x=1")
    assert info == (b"x|||1\r\n"
                    b"title|||10\r\n"
                    b"file|pic.gif|image/gif|" + str(len(BINARY_FILE)).encode() + b"\r\n")
    headers = tmp_path / "headers"
    body = curl("-D", str(headers), "-F", "title=t", "-F", f"file=@{upload};type=image/gif",
                f"{url}/upload-file")
    assert body == BINARY_FILE
    head = headers.read_bytes()
    assert b"\r\nX-File-Name: pic.gif\r\n" in head
    assert b"\r\nContent-Type: image/gif\r\n" in head


def test_large_upload_is_read_whole(server, tmp_path):
    data = os.urandom(3 * 1024 * 1024) + b"\r\n--"
    upload = tmp_path / "big.bin"
    upload.write_bytes(data)
    body = curl("-F", f"file=@{upload};type=application/x-big",
                f"{server.base_url}/cgi-bin/q/upload-file")
    assert body == data


def test_body_shorter_than_its_content_length(test_cgi, cgi_env):
    out = cgi_run(test_cgi, cgi_env, "/echo", stdin=b"a=1&b=2", CONTENT_LENGTH="1000",
                  QUERY_STRING="q=0")
    assert out == HEAD_PLAIN + b"q=0\r\na=1\r\nb=2\r\n"
    # A multipart body cut short keeps the parts that arrived; the cut part
    # runs to the end of what arrived, less the four trailer bytes a
    # boundary would have had in front of it (here: all of it, never less
    # than nothing).
    body = (b"--XX\r\nContent-Disposition: form-data; name=\"a\"\r\n\r\n1\r\n"
            b"--XX\r\nContent-Disposition: form-data; name=\"b\"\r\n\r\n22")
    out = cgi_run(test_cgi, cgi_env, "/echo", stdin=body, CONTENT_LENGTH="5000",
                  CONTENT_TYPE="multipart/form-data; boundary=XX")
    assert out == HEAD_PLAIN + b"a=1\r\nb=\r\n"


def test_garbage_content_length_reads_no_body(test_cgi, cgi_env):
    # Without a body and without values the page writes nothing: the answer
    # is the session text.
    for length in ("-5", "abc", ""):
        out = cgi_run(test_cgi, cgi_env, "/echo", stdin=b"a=1", CONTENT_LENGTH=length)
        assert out == HEAD_PLAIN + b"QServerParams:QServerResult=", length
    out = cgi_run(test_cgi, cgi_env, "/echo", stdin=b"a=1",
                  CONTENT_LENGTH="99999999999999999999999999")
    assert out == HEAD_PLAIN + b"a=1\r\n"


# --- Responses ---------------------------------------------------------------

def test_binary_and_file_bodies(server, tmp_path):
    resp = server.request("GET", "/cgi-bin/q/binary")
    assert resp.header("Content-Type") == b"application/octet-stream"
    assert resp.body == bytes(range(256))
    served = tmp_path / "served.bin"
    served.write_bytes(BINARY_FILE)
    resp = server.request("GET", f"/cgi-bin/q/file?path={served}")
    assert resp.body == BINARY_FILE
    resp = server.request("GET", "/cgi-bin/q/file?path=/nonexistent/x")
    assert (resp.status, resp.body) == (500, b"error 10002\r\n")


def test_session_text_answers_a_client(server, test_cgi, cgi_env):
    # A client control posts its pairs without a content type.
    resp = server.request("POST", "/cgi-bin/q/client", body=b"n=1+2&b=%00%FF")
    assert resp.body == b"QServerParams:n=1+2&b=%00%FF&QServerResult=OK+2"
    assert cgi_run(test_cgi, cgi_env, "/client", QUERY_STRING="") == (
        b"Content-Type: text/html\r\nConnection: close\r\n\r\nQServerParams:QServerResult=OK+0")


def test_cookies_and_session_variables_round_trip(server):
    first = server.request("GET", "/cgi-bin/q/session")
    assert first.body == b"visits=1\r\nplain=v 1;other=\r\n"
    assert first.header_values("Set-Cookie") == [b"plain=v+1;  path=/",
                                                 b"__QuillonSV_count=1;  path=/"]
    second = server.request("GET", "/cgi-bin/q/session",
                            headers={"Cookie": "__QuillonSV_count=1; other=x%20y; plain=old"})
    assert second.body == b"visits=2\r\nplain=v 2;other=x y\r\n"
    assert second.header_values("Set-Cookie")[-1] == b"__QuillonSV_count=2;  path=/"


@pytest.mark.parametrize("program", ["q", "d"])
def test_visitor_session_cookies_cannot_break_the_page_or_the_header(
        lighttpd_factory, quillon_registry, test_cgi, dispatch_cgi, program):
    server = lighttpd_factory()
    server.link_cgi("q", test_cgi)
    server.link_cgi("d", dispatch_cgi)
    # A count that is no number starts afresh; a cookie name that would
    # come back as attributes is not echoed.
    resp = server.request("GET", f"/cgi-bin/{program}/session", headers={
        "Cookie": "__QuillonSV_count=abc; __QuillonSV_a;Secure;HttpOnly;Max-Age=9"})
    assert resp.status == 200
    assert resp.body.startswith(b"visits=1\r\n")
    cookies = resp.header_values("Set-Cookie")
    assert cookies[-1] == b"__QuillonSV_count=1;  path=/"
    assert not any(b"Secure" in c or b"Max-Age" in c for c in cookies)


# --- Through the registry and IDispatch ---------------------------------------

def test_dispatch_cgi_created_through_the_registry(lighttpd_factory, quillon_registry,
                                                   cgi_env, dispatch_cgi):
    server = lighttpd_factory()
    server.link_cgi("d", dispatch_cgi)
    resp = server.request("POST", "/cgi-bin/d/echo?a=%41", body=b"b=2+3")
    assert (resp.status, resp.body) == (200, b"a=A\r\nb=2 3\r\n")
    first = server.request("GET", "/cgi-bin/d/session")
    assert (first.body, first.header("Set-Cookie")) == (b"visits=1\r\n",
                                                        b"__QuillonSV_count=1;  path=/")
    second = server.request("GET", "/cgi-bin/d/session",
                            headers={"Cookie": "__QuillonSV_count=41"})
    assert second.body == b"visits=42\r\n"


# --- A body too large for memory ------------------------------------------------

def sanitized(env) -> bool:
    return "asan" in env.get("LD_PRELOAD", "") or "ASAN_OPTIONS" in env


@pytest.mark.parametrize("program_fixture,expected", [
    ("test_cgi", b"request too large for memory\r\n"),
    ("dispatch_cgi", b"start failed: 8007000E\r\n"),
])
def test_body_too_large_for_memory_fails_the_start(request, cgi_env, program_fixture, expected,
                                                    quillon_registry):
    if sanitized(cgi_env):
        pytest.skip("an address-space limit cannot be combined with AddressSanitizer")
    program = request.getfixturevalue(program_fixture)
    env = dict(cgi_env, PATH_INFO="/echo", REQUEST_METHOD="POST",
               CONTENT_LENGTH="1000000000000")
    with open("/dev/zero", "rb") as endless:
        result = subprocess.run(["/bin/sh", "-c", 'ulimit -v 300000 && exec "$0"', str(program)],
                                stdin=endless, env=env, capture_output=True, timeout=120)
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    # No 200 with the session text ahead of the page's error: the failed
    # start answered 500, and the page's text is its whole body.
    assert result.stdout == HEAD_500 + expected


# --- Clients that go away ------------------------------------------------------------

def test_clients_aborting_mid_response_leave_no_temp_files(lighttpd_factory, cgi_env, test_cgi,
                                                           tmp_path):
    # lighttpd streams the answer as it comes; when the client goes it
    # closes the program's pipe and sends it SIGTERM. The program must still
    # delete its temporary copy.
    tmpdir = tmp_path / "cgi-tmp"
    tmpdir.mkdir()
    server = lighttpd_factory(env=dict(cgi_env, TMPDIR=str(tmpdir)),
                              extra_conf="server.stream-response-body = 2")
    server.link_cgi("q", test_cgi)
    boundary = "AbortBoundary"
    body = (f"--{boundary}\r\nContent-Disposition: form-data; name=\"file\"; "
            f"filename=\"big.bin\"\r\nContent-Type: application/octet-stream\r\n\r\n").encode() + \
        os.urandom(4 << 20) + f"\r\n--{boundary}--\r\n".encode()
    head = (f"POST /cgi-bin/q/upload-file HTTP/1.1\r\nHost: 127.0.0.1\r\n"
            f"Content-Type: multipart/form-data; boundary={boundary}\r\n"
            f"Content-Length: {len(body)}\r\nConnection: close\r\n\r\n").encode()
    for _ in range(5):
        with socket.create_connection(("127.0.0.1", server.port), timeout=30) as sock:
            sock.sendall(head + body)
            assert sock.recv(4096).startswith(b"HTTP/1.1 200")
    deadline = time.monotonic() + 30
    while any(tmpdir.iterdir()) and time.monotonic() < deadline:
        time.sleep(0.2)
    assert list(tmpdir.iterdir()) == []


# --- A page that fails -------------------------------------------------------------

def test_exception_escaping_main_answers_500_and_leaves_no_temp_files(lighttpd_factory, cgi_env,
                                                                      test_cgi, tmp_path):
    # The page had written text and made a temporary copy when its exception
    # left main: nothing of the half-made page goes out, the answer is a
    # 500, and the copy is deleted although no destructor ran.
    tmpdir = tmp_path / "cgi-tmp"
    tmpdir.mkdir()
    server = lighttpd_factory(env=dict(cgi_env, TMPDIR=str(tmpdir)))
    server.link_cgi("q", test_cgi)
    response = server.request("GET", "/cgi-bin/q/throw")
    assert response.status == 500, server.error_log_text()
    assert b"half a page" not in response.body
    assert "the page failed" in server.error_log_text()
    assert list(tmpdir.iterdir()) == []


def test_exception_escaping_main_writes_the_bare_500(test_cgi, cgi_env, tmp_path):
    env = dict(cgi_env, TMPDIR=str(tmp_path), PATH_INFO="/throw", REQUEST_METHOD="GET")
    result = harness.run_cgi(test_cgi, env)
    assert result.returncode != 0  # the program still ends by std::terminate
    assert result.stdout == HEAD_500
