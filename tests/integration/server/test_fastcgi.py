"""Pages on the serving loop (quillon/server/serve.h) under lighttpd's
mod_fastcgi: one long-lived process answers many requests, each as if it were
the first, and the same binary still works as a plain CGI program."""

from __future__ import annotations

import http.client
import os
import re
import signal
import socket
import struct
import subprocess
import threading
import time
from pathlib import Path

import pytest

import harness
from conftest import require_built


@pytest.fixture(scope="session")
def serve_page(build_dir: Path) -> Path:
    return require_built(build_dir / "bin" / "qserver_serve_page", "the program qserver_serve_page")


@pytest.fixture
def temp_dir(tmp_path: Path) -> Path:
    path = tmp_path / "page-tmp"
    path.mkdir()
    return path


@pytest.fixture
def fcgi(lighttpd_factory, cgi_env, serve_page, temp_dir, tmp_path):
    env = dict(cgi_env, TMPDIR=str(temp_dir))
    conf = harness.fastcgi_conf("/app", tmp_path / "app.sock", serve_page, env)
    return lighttpd_factory(env=env, extra_conf=conf)


# Lines every answer of the page may carry besides the request's values.
PAGE_KEYS = {"pid", "names", "session", "copy", "size", "kept", ""}


def values_of(got: dict[str, str]) -> dict[str, str]:
    return {k: v for k, v in got.items() if k not in PAGE_KEYS}


def test_one_process_answers_requests_independently(fcgi, temp_dir):
    # A sequence where every request would see the one before it if any
    # state survived: values, cookies, session variables, uploaded files.
    upload_body, upload_headers = harness.multipart_file("file", "a.bin", b"\x00\x01zz" * 5000)
    # (method, path, body, headers, expected lines, session count set back)
    steps = [
        ("GET", "/app/echo?a=1&b=2", None, {},
         {"names": "2", "a": "1", "b": "2", "session": ";seen="}, "1"),
        ("POST", "/app/echo?q=x", b"c=3", {"Content-Type": "application/x-www-form-urlencoded"},
         {"names": "2", "q": "x", "c": "3", "session": ";seen="}, "1"),
        ("GET", "/app/echo", None, {"Cookie": "__QuillonSV_count=41; seen=no"},
         {"names": "0", "session": "41;seen=no"}, "42"),
        ("POST", "/app/upload", upload_body, upload_headers, {"size": "20000"}, None),
        ("GET", "/app/echo", None, {}, {"names": "0", "session": ";seen="}, "1"),
    ]
    pids = set()
    copies = []
    for method, path, body, headers, expected, count in steps:
        resp = fcgi.request(method, path, body=body, headers=headers)
        assert resp.status == 200, fcgi.error_log_text()
        got = harness.key_values(resp.body)
        for key, value in expected.items():
            assert got.get(key) == value, (path, resp.body)
        # No value of an earlier request is seen.
        assert values_of(got) == values_of(expected), (path, resp.body)
        pids.add(got["pid"])
        if "copy" in got:
            copies.append(Path(got["copy"]))
        cookies = resp.header_values("Set-Cookie")
        if count is None:
            assert cookies == [], (path, cookies)
        else:
            # Only this request's own session variable and cookie go back.
            assert sorted(c.split(b";")[0] for c in cookies) == sorted(
                [b"__QuillonSV_count=" + count.encode(), b"seen=yes"]), (path, cookies)
    assert len(pids) == 1, "the requests were not answered by one FastCGI process"
    assert copies and copies[0].parent == temp_dir
    assert list(temp_dir.iterdir()) == []


def test_failing_page_answers_500_and_the_next_request_works(fcgi, temp_dir):
    first = fcgi.request("GET", "/app/echo?a=1")
    failed = fcgi.request("GET", "/app/fail")
    assert failed.status == 500, fcgi.error_log_text()
    assert failed.header("Content-Type") == b"text/plain"
    # Nothing of the half-made page goes out.
    assert failed.header("X-Half-Made") is None
    assert failed.header_values("Set-Cookie") == []
    assert b"pid=" not in failed.body
    assert "the page failed on purpose" in fcgi.error_log_text()
    after = fcgi.request("GET", "/app/echo?b=2")
    assert after.status == 200
    got = harness.key_values(after.body)
    assert got["pid"] == harness.key_values(first.body)["pid"]
    assert values_of(got) == {"b": "2"}
    assert list(temp_dir.iterdir()) == []


def test_sigterm_lets_the_request_in_progress_finish(fcgi, temp_dir):
    # How a web server stops its FastCGI processes: the page that is
    # running is answered and its files are deleted before the process ends.
    pid = int(harness.key_values(fcgi.request("GET", "/app/echo").body)["pid"])
    answers = []
    slow = threading.Thread(target=lambda: answers.append(fcgi.request("GET", "/app/slow?content=x")))
    slow.start()
    deadline = time.monotonic() + 10
    while not any(temp_dir.iterdir()) and time.monotonic() < deadline:
        time.sleep(0.01)
    assert any(temp_dir.iterdir()), "the slow page did not start"
    os.kill(pid, signal.SIGTERM)
    slow.join(30)
    assert answers and answers[0].status == 200, fcgi.error_log_text()
    assert harness.key_values(answers[0].body)["done"] == "1"
    assert list(temp_dir.iterdir()) == []
    # Ended means gone or a zombie; it may go between two looks.
    deadline = time.monotonic() + 10
    while (info := harness.process(pid)) is not None and info[0] != "Z":
        assert time.monotonic() < deadline, "the process did not end"
        time.sleep(0.01)


def test_many_requests_stay_correct(fcgi, temp_dir):
    pids = set()
    for i in range(200):
        got = harness.key_values(fcgi.request("GET", f"/app/echo?n={i}").body)
        assert got["n"] == str(i) and got["names"] == "1"
        pids.add(got["pid"])
    assert len(pids) == 1
    assert list(temp_dir.iterdir()) == []


def big_text(size: int) -> bytes:
    return bytes(10 if i % 61 == 60 else 97 + i % 25 for i in range(size))


def test_large_answers_arrive_whole(fcgi):
    # Around the sizes where the output leaves libfcgi's own records for
    # larger ones written at once, and across several of those.
    for size in (16383, 16384, 65527, 65528, 65529, 16 * 65528 + 8, 3_000_001):
        resp = fcgi.request("GET", f"/app/big?size={size}")
        assert resp.status == 200, fcgi.error_log_text()
        head, _, rest = resp.body.partition(b"\r\n")
        assert head.startswith(b"pid="), resp.body[:80]
        assert len(rest) == size + 2, size
        assert rest == big_text(size) + b"\r\n", size


def fastcgi_record(kind: int, request_id: int, content: bytes) -> bytes:
    return struct.pack(">BBHHBx", 1, kind, request_id, len(content), 0) + content


def fastcgi_params(params: dict[str, str]) -> bytes:
    out = b""
    for name, value in params.items():
        n, v = name.encode(), value.encode()
        # Lengths below 128 take one byte (this test sends no longer ones).
        out += bytes([len(n), len(v)]) + n + v
    return out


def test_large_answers_keep_the_protocol(serve_page, cgi_env, temp_dir, tmp_path):
    # Spoken to directly, as a web server would: every record of the answer
    # carries the request's own identifier (two bytes that differ), the
    # output ends with an empty record and the request with END_REQUEST,
    # and the content is every byte of the page, in order.
    path = str(tmp_path / "raw.sock")
    listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    listener.bind(path)
    listener.listen(4)
    env = dict(cgi_env, TMPDIR=str(temp_dir))
    with open(tmp_path / "raw.log", "wb") as log:
        process = subprocess.Popen([str(serve_page)], stdin=listener.fileno(), env=env,
                                   stdout=subprocess.DEVNULL, stderr=log)
    listener.close()
    try:
        for size, request_id in ((100, 0x1234), (200_003, 0xBEEF), (16 * 65528 + 8, 0x0102)):
            conn = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            conn.settimeout(harness.REQUEST_TIMEOUT_S)
            conn.connect(path)
            params = fastcgi_params({"REQUEST_METHOD": "GET", "GATEWAY_INTERFACE": "CGI/1.1",
                                     "PATH_INFO": "/big", "QUERY_STRING": f"size={size}"})
            # BEGIN_REQUEST (responder, connection closed after), the
            # parameters, their end, an empty standard input.
            conn.sendall(fastcgi_record(1, request_id, struct.pack(">HB5x", 1, 0))
                         + fastcgi_record(4, request_id, params) + fastcgi_record(4, request_id, b"")
                         + fastcgi_record(5, request_id, b""))
            received = harness.recv_all(conn)
            conn.close()
            stdout, records, at = b"", [], 0
            while at < len(received):
                version, kind, rid, length, padding = struct.unpack_from(">BBHHB", received, at)
                assert (version, rid) == (1, request_id), (size, at, version, rid)
                at += 8
                content = received[at:at + length]
                assert len(content) == length, (size, "record cut short")
                at += length + padding
                records.append((kind, length))
                if kind == 6:
                    stdout += content
            # Standard output, ended by its one empty record (an earlier one
            # would end the answer there), then END_REQUEST.
            assert records[-1][0] == 3 and records[-2] == (6, 0), (size, records[-4:])
            assert (6, 0) not in records[:-2], size
            assert {kind for kind, _ in records} <= {3, 6}, (size, records)
            # A large page goes out in records beyond libfcgi's 8 KiB ones.
            largest = max(length for kind, length in records if kind == 6)
            assert (largest > 8192) == (size >= 16384), (size, largest)
            head, _, body = stdout.partition(b"\r\n\r\n")
            assert b"Content-Type: text/plain" in head, head
            first, _, rest = body.partition(b"\r\n")
            assert first.startswith(b"pid="), first
            assert rest == big_text(size) + b"\r\n", size
    finally:
        process.terminate()
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(timeout=10)


@pytest.mark.parametrize("path, status, pattern", [
    ("/echo", b"", rb"^Content-Type: text/plain\r\n.*\r\n\r\npid=\d+\r\nnames=1\r\nx=1\r\n"),
    ("/fail", b"", rb"^Status: 500 Internal Server Error\r\nContent-Type: text/plain\r\n"),
])
def test_same_binary_runs_as_cgi(serve_page, cgi_env, temp_dir, path, status, pattern):
    env = dict(cgi_env, TMPDIR=str(temp_dir), REQUEST_METHOD="GET", QUERY_STRING="x=1",
               GATEWAY_INTERFACE="CGI/1.1", PATH_INFO=path)
    result = harness.run_cgi(serve_page, env)
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    assert re.search(pattern, result.stdout, re.S), result.stdout
    assert list(temp_dir.iterdir()) == []


def test_same_binary_under_mod_cgi(lighttpd, serve_page):
    lighttpd.link_cgi("page", serve_page)
    resp = lighttpd.request("GET", "/cgi-bin/page/echo?x=1")
    assert resp.status == 200, lighttpd.error_log_text()
    assert harness.key_values(resp.body)["x"] == "1"


def test_hello_example_over_fastcgi(lighttpd_factory, cgi_env, build_dir, tmp_path):
    hello = require_built(build_dir / "bin" / "qserver_hello_fcgi", "the example qserver_hello_fcgi")
    server = lighttpd_factory(extra_conf=harness.fastcgi_conf("/hello", tmp_path / "hello.sock",
                                                      hello, cgi_env))
    resp = server.request("GET", "/hello?name=%3CTaro%3E")
    assert resp.status == 200, server.error_log_text()
    assert resp.body == b"<html><body><p>Hello, &lt;Taro&gt;!</p></body></html>\r\n"
    resp = server.request("POST", "/hello", body=b"name=Taro&session=1")
    assert resp.body == b"QServerParams:greeting=Hello%2C+Taro&QServerResult=OK"


def form_body(size: int) -> bytes:
    """An URL-encoded body of exactly `size` bytes with one value "v"."""
    return b"v=" + b"x" * (size - 2) if size >= 2 else b"v"[:size]


@pytest.mark.parametrize("limit, size, status", [
    ("100", 100, 200),      # at the limit
    ("100", 101, 413),      # one byte over
    ("0", 0, 200),
    ("0", 1, 413),
    (None, 100_000, 200),   # unset: no limit
    ("lots", 100_000, 200),  # not a count: no limit
    ("-1", 100_000, 200),
])
def test_request_body_limit(serve_page, cgi_env, temp_dir, limit, size, status):
    env = dict(cgi_env, TMPDIR=str(temp_dir), REQUEST_METHOD="POST", GATEWAY_INTERFACE="CGI/1.1",
               PATH_INFO="/echo", CONTENT_TYPE="application/x-www-form-urlencoded",
               CONTENT_LENGTH=str(size))
    if limit is not None:
        env["QUILLON_MAX_REQUEST_BYTES"] = limit
    result = harness.run_cgi(serve_page, env, stdin=form_body(size))
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    if status == 413:
        assert result.stdout == (b"Status: 413 Request Entity Too Large\r\n"
                                 b"Content-Type: text/plain\r\nConnection: close\r\n\r\n")
        assert b"QUILLON_MAX_REQUEST_BYTES" in result.stderr
    else:
        got = harness.key_values(result.stdout.partition(b"\r\n\r\n")[2])
        assert got["names"] == ("1" if size else "0"), result.stdout
        if size >= 2:
            assert len(got["v"]) == size - 2


def test_request_body_limit_over_fastcgi(lighttpd_factory, cgi_env, serve_page, temp_dir,
                                         tmp_path):
    env = dict(cgi_env, TMPDIR=str(temp_dir), QUILLON_MAX_REQUEST_BYTES="1000")
    server = lighttpd_factory(env=env, extra_conf=harness.fastcgi_conf(
        "/app", tmp_path / "app.sock", serve_page, env))
    form = {"Content-Type": "application/x-www-form-urlencoded"}
    refused = server.request("POST", "/app/echo", body=form_body(1001), headers=form)
    assert refused.status == 413, server.error_log_text()
    assert b"pid=" not in refused.body
    accepted = server.request("POST", "/app/echo", body=form_body(1000), headers=form)
    assert accepted.status == 200, server.error_log_text()
    assert len(harness.key_values(accepted.body)["v"]) == 998


def test_fastcgi_keeps_the_visitors_connection(fcgi, lighttpd, serve_page):
    # A persistent application must not ask the web server to close the
    # connection after every answer; a CGI program's documented output
    # still does.
    def answers_on_one_connection(server, path):
        conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)
        try:
            kept = []
            for i in range(3):
                conn.request("GET", f"{path}?n={i}")
                resp = conn.getresponse()
                body = resp.read()
                assert resp.status == 200, server.error_log_text()
                assert harness.key_values(body)["n"] == str(i)
                kept.append(not resp.will_close)
            return kept
        finally:
            conn.close()

    assert answers_on_one_connection(fcgi, "/app/echo") == [True, True, True]
    lighttpd.link_cgi("page", serve_page)
    assert answers_on_one_connection(lighttpd, "/cgi-bin/page/echo") == [False, False, False]


# --- Libraries a page loads only when it uses them -------------------------------

def mapped(body: bytes) -> dict[str, str]:
    got = harness.key_values(body)
    return {"fcgi": got.get("fcgi"), "crypto": got.get("crypto")}


@pytest.mark.parametrize("key, expected", [
    (None, {"fcgi": "0", "crypto": "0"}),
    # A page that signs its session cookies needs libcrypto from its start.
    ("a-session-key", {"fcgi": "0", "crypto": "1"}),
])
def test_cgi_start_maps_only_the_libraries_it_uses(serve_page, cgi_env, temp_dir, key, expected):
    env = dict(cgi_env, TMPDIR=str(temp_dir), REQUEST_METHOD="GET", GATEWAY_INTERFACE="CGI/1.1",
               PATH_INFO="/libraries")
    if key is not None:
        env["QUILLON_SESSION_KEY"] = key
    result = harness.run_cgi(serve_page, env)
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    assert mapped(result.stdout.partition(b"\r\n\r\n")[2]) == expected, result.stdout


def test_fastcgi_start_maps_libfcgi_and_not_libcrypto(fcgi):
    resp = fcgi.request("GET", "/app/libraries")
    assert resp.status == 200, fcgi.error_log_text()
    assert mapped(resp.body) == {"fcgi": "1", "crypto": "0"}


def stand_in_library(directory: Path, soname: str) -> Path:
    """A shared library named `soname` in `directory` that has none of the
    real one's entry points (a broken or foreign installation)."""
    directory.mkdir(exist_ok=True)
    source = directory / "stand_in.c"
    source.write_text("int quillon_stand_in;\n")
    compiler = os.environ.get("QUILLON_CXX_COMPILER") or "c++"
    subprocess.run([compiler, "-x", "c", "-shared", "-fPIC", "-o", str(directory / soname),
                    str(source)], check=True, timeout=60)
    return directory


def test_fastcgi_start_without_a_usable_libfcgi_says_why(serve_page, cgi_env, tmp_path):
    # Started the way a web server starts a FastCGI application (a listening
    # socket on standard input), with a libfcgi that lacks its entries.
    libs = stand_in_library(tmp_path / "libs", "libfcgi.so.0")
    env = dict(cgi_env, LD_LIBRARY_PATH=f"{libs}:{cgi_env.get('LD_LIBRARY_PATH', '')}")
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as listener:
        listener.bind(str(tmp_path / "page.sock"))
        listener.listen(1)
        result = subprocess.run([str(serve_page)], stdin=listener.fileno(), env=env,
                                capture_output=True, timeout=30, check=False)
    assert result.returncode == 0
    assert result.stdout == b""
    assert b"quillon: started as FastCGI, but libfcgi.so.0 has no entry FCGX_Init" in result.stderr


def test_signing_page_without_a_usable_libcrypto_answers_500(serve_page, cgi_env, temp_dir,
                                                             tmp_path):
    libs = stand_in_library(tmp_path / "libs", "libcrypto.so.3")
    env = dict(cgi_env, TMPDIR=str(temp_dir), REQUEST_METHOD="GET", GATEWAY_INTERFACE="CGI/1.1",
               PATH_INFO="/echo", QUILLON_SESSION_KEY="a-session-key",
               LD_LIBRARY_PATH=f"{libs}:{cgi_env.get('LD_LIBRARY_PATH', '')}")
    result = harness.run_cgi(serve_page, env)
    assert result.stdout.startswith(b"Status: 500 Internal Server Error\r\n"), result.stdout
    # No unsigned cookie goes out in its place.
    assert b"Set-Cookie" not in result.stdout
    assert (b"session cookies cannot be signed: libcrypto.so.3 lacks HMAC or EVP_sha256"
            in result.stderr), result.stderr
