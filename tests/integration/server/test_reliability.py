"""A page process under load and under rude visitors: memory that returns to
a steady level over thousands of requests, and uploads cut off midway that
leave no file behind, whether the page runs as CGI or on the serving loop."""

from __future__ import annotations

import http.client
import socket
import time
from pathlib import Path

import pytest

import harness
from conftest import require_built


@pytest.fixture(scope="module")
def serve_page(build_dir: Path) -> Path:
    return require_built(build_dir / "bin" / "qserver_serve_page", "the program qserver_serve_page")


def rss_kib(pid: int) -> int:
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1])
    raise AssertionError(f"no VmRSS for {pid}")


def open_fds(pid: int) -> int:
    return len(list(Path(f"/proc/{pid}/fd").iterdir()))


def wait_until_empty(path: Path, seconds: float = 10) -> list[Path]:
    deadline = time.monotonic() + seconds
    while True:
        left = list(path.iterdir())
        if not left or time.monotonic() > deadline:
            return left
        time.sleep(0.05)


def test_memory_is_flat_over_ten_thousand_requests(lighttpd_factory, cgi_env, serve_page,
                                                   tmp_path):
    temp_dir = tmp_path / "page-tmp"
    temp_dir.mkdir()
    env = dict(cgi_env, TMPDIR=str(temp_dir))
    # Without a quarantine a sanitized build frees at once, so what the
    # process holds is what the page keeps, not what the checker delays.
    env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS", ""),
                                                 "quarantine_size_mb=0"]))
    server = lighttpd_factory(env=env, extra_conf=harness.fastcgi_conf(
        "/app", tmp_path / "app.sock", serve_page, env))
    upload, upload_headers = harness.multipart_file("file", "f.bin", bytes(range(256)) * 16)
    conn = http.client.HTTPConnection("127.0.0.1", server.port, timeout=30)

    def one(i: int) -> int:
        # Values, cookies and session variables, uploads with temporary
        # copies, and now and then a page that fails halfway.
        if i % 100 == 99:
            conn.request("GET", "/app/fail")
            want = 500
        elif i % 10 == 9:
            conn.request("POST", "/app/upload", body=upload, headers=upload_headers)
            want = 200
        else:
            conn.request("GET", f"/app/echo?n={i}&v={'x' * (i % 50)}",
                         headers={"Cookie": f"__QuillonSV_count={i}; c{i % 7}=v"})
            want = 200
        resp = conn.getresponse()
        body = resp.read()
        assert resp.status == want, (i, body, server.error_log_text())
        return int(harness.key_values(body)["pid"]) if want == 200 else 0

    pid = one(0)
    for i in range(1, 1000):
        one(i)
    warm = rss_kib(pid)
    warm_fds = open_fds(pid)
    for i in range(1000, 10000):
        got = one(i)
        assert got in (0, pid), "the page process was restarted"
    after = rss_kib(pid)
    # Finished connections are closed once the web server has closed its
    # end; a few may still wait, thousands would be a leak.
    after_fds = open_fds(pid)
    conn.close()
    assert after <= warm * 1.05, f"RSS grew from {warm} KiB to {after} KiB"
    assert after_fds <= warm_fds + 64, f"open descriptors grew from {warm_fds} to {after_fds}"
    assert wait_until_empty(temp_dir) == []


@pytest.mark.parametrize("mode", ["cgi", "fastcgi"])
def test_upload_cut_off_midway_leaves_nothing(lighttpd_factory, cgi_env, serve_page, tmp_path,
                                              mode):
    temp_dir = tmp_path / "page-tmp"
    temp_dir.mkdir()
    env = dict(cgi_env, TMPDIR=str(temp_dir))
    if mode == "cgi":
        # Streamed, so that the page is already reading when the visitor goes.
        server = lighttpd_factory(env=env, stream_request_body=2)
        server.link_cgi("page", serve_page)
        path = "/cgi-bin/page/upload"
    else:
        server = lighttpd_factory(env=env, stream_request_body=2,
                                  extra_conf=harness.fastcgi_conf(
                                      "/app", tmp_path / "app.sock", serve_page, env))
        path = "/app/upload"
    body, headers = harness.multipart_file("file", "big.bin", b"\xAB" * 400_000)
    head = (f"POST {path} HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: {len(body)}\r\n"
            f"Content-Type: {headers['Content-Type']}\r\n\r\n").encode()
    for cut in (0, 1_000, 200_000):
        with socket.create_connection(("127.0.0.1", server.port), timeout=10) as visitor:
            visitor.sendall(head + body[:cut])
            time.sleep(0.3)
        assert wait_until_empty(temp_dir) == [], (mode, cut)
    # The page still answers whole uploads afterwards, and cleans up after them.
    small, small_headers = harness.multipart_file("file", "s.bin", b"abc")
    resp = server.request("POST", path, body=small, headers=small_headers)
    assert resp.status == 200, server.error_log_text()
    assert harness.key_values(resp.body)["size"] == "3"
    assert wait_until_empty(temp_dir) == []
