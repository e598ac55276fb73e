"""The harness on its own: a shell CGI behind the real server."""

import os
import socket
import subprocess
import time
from pathlib import Path

import pytest

import harness

FIXED_CGI = """#!/bin/sh
printf 'Status: 201 Made\\r\\nContent-Type: text/plain; charset=x-test\\r\\nX-Fixed: 1\\r\\n\\r\\n'
printf 'fixed body\\n\\001\\377'
"""

# Reports what the program was given: selected variables and its body length.
ECHO_CGI = """#!/bin/sh
printf 'Content-Type: text/plain\\r\\n\\r\\n'
printf 'PATH=%s\\n' "$PATH"
printf 'MARK=%s\\n' "$QUILLON_TEST_MARK"
printf 'METHOD=%s LENGTH=%s\\n' "$REQUEST_METHOD" "$CONTENT_LENGTH"
printf 'READ=%s\\n' "$(head -c "${CONTENT_LENGTH:-0}" | wc -c)"
"""


def test_fixed_response_comes_back_byte_for_byte(lighttpd):
    lighttpd.add_cgi("fixed", FIXED_CGI)
    resp = lighttpd.raw_response(b"GET /cgi-bin/fixed HTTP/1.0\r\nHost: t\r\n\r\n")
    # lighttpd keeps the CGI's status code but writes its own reason phrase.
    assert resp.status_line == b"HTTP/1.0 201 Created"
    assert resp.header("Content-Type") == b"text/plain; charset=x-test"
    assert resp.header("X-Fixed") == b"1"
    assert resp.header("Content-Length") == b"13"
    assert resp.body == b"fixed body\n\x01\xff"

    via_client = lighttpd.request("GET", "/cgi-bin/fixed")
    assert via_client.status == 201
    assert via_client.body == resp.body


def test_cgi_gets_the_environment_given_to_the_server(lighttpd_factory, cgi_env):
    # A quote inside a value checks the configuration escaping end to end.
    env = dict(cgi_env, PATH="/usr/bin:/bin", QUILLON_TEST_MARK='say "hi" \\ now')
    server = lighttpd_factory(env=env, cgi={"echo.cgi": ECHO_CGI})
    resp = server.request("POST", "/cgi-bin/echo.cgi", body=b"12345\x00789")
    assert resp.status == 200
    assert resp.body == (b"PATH=/usr/bin:/bin\n"
                         b'MARK=say "hi" \\ now\n'
                         b"METHOD=POST LENGTH=9\n"
                         b"READ=9\n")


def test_python_cgi_runs_under_the_system_interpreter(lighttpd):
    lighttpd.add_cgi("hello.py",
                     "import sys\n"
                     "sys.stdout.write('Content-Type: text/plain\\r\\n\\r\\n' + sys.executable)\n",
                     mode=0o644)
    resp = lighttpd.request("GET", "/cgi-bin/hello.py")
    assert (resp.status, resp.body) == (200, harness.PYTHON.encode())


def test_long_cgi_error_output_neither_blocks_nor_gets_lost(lighttpd):
    # As long as a sanitizer report: more than a pipe holds.
    lighttpd.add_cgi("noisy", "#!/bin/sh\n"
                     "head -c 200000 /dev/zero | tr '\\0' x >&2\n"
                     "echo REPORT-END >&2\n"
                     "printf 'Content-Type: text/plain\\r\\n\\r\\nok'\n")
    resp = lighttpd.request("GET", "/cgi-bin/noisy", timeout=10)
    assert (resp.status, resp.body) == (200, b"ok")
    assert "REPORT-END" in lighttpd.error_log_text()


def test_stop_leaves_no_process_and_frees_the_port(lighttpd_factory):
    # A program still waiting for the rest of its body when the test ends.
    server = lighttpd_factory(stream_request_body=2, cgi={"stuck": "#!/bin/sh\nread line\n"})
    marker = str(server.cgi_bin / "stuck")
    with socket.create_connection(("127.0.0.1", server.port), timeout=5) as sock:
        sock.sendall(b"POST /cgi-bin/stuck HTTP/1.0\r\nContent-Length: 10\r\n\r\nabc")
        deadline = time.monotonic() + 5
        while not _processes_mentioning(marker) and time.monotonic() < deadline:
            time.sleep(0.02)
        assert _processes_mentioning(marker), "the CGI program never started"
        port, proc = server.port, server._proc
        server.stop()
    assert proc.poll() is not None
    assert not server.running
    assert not _processes_mentioning(marker)
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", port), timeout=2).close()
    server.stop()  # a second stop is harmless


def test_port_taken_before_the_start_is_replaced(tmp_path, monkeypatch):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        ports = [taken.getsockname()[1]]
        real_free_port = harness.free_port
        monkeypatch.setattr(harness, "free_port",
                            lambda: ports.pop() if ports else real_free_port())
        with harness.LighttpdServer(tmp_path, {}) as server:
            assert server.running
            assert server.port != taken.getsockname()[1]


def test_run_cgi_feeds_a_short_body_and_returns_exact_output(cgi_env, tmp_path):
    program = tmp_path / "echo"
    program.write_text(ECHO_CGI)
    program.chmod(0o755)
    env = dict(cgi_env, REQUEST_METHOD="POST", CONTENT_LENGTH="100")
    result = harness.run_cgi(program, env, stdin=b"only seven")
    assert result.returncode == 0
    assert result.stdout.endswith(b"METHOD=POST LENGTH=100\nREAD=10\n")


@pytest.mark.parametrize("value", ["trailing\\", "line\nbreak"])
def test_unwritable_configuration_values_are_refused(tmp_path, value):
    server = harness.LighttpdServer(tmp_path, {"X": value})
    with pytest.raises(ValueError):
        server.start()
    assert not server.running


def test_start_failure_reports_the_error_log(tmp_path):
    server = harness.LighttpdServer(tmp_path, {}, extra_conf='server.modules += ("mod_nonexistent")')
    with pytest.raises(harness.HarnessError, match="mod_nonexistent"):
        server.start()
    assert not server.running
    assert not _processes_mentioning(str(server.conf_path))


def test_registry_fixture_registers_the_server_library(quillon_registry, qreg, server_library):
    env = dict(os.environ, QUILLON_REGISTRY=str(quillon_registry))
    query = subprocess.run([str(qreg), "query", "QServer.QServer"], env=env,
                           capture_output=True, check=False, timeout=30)
    assert query.returncode == 0, query.stderr
    assert str(server_library).encode() in query.stdout


def _processes_mentioning(word):
    found = []
    for proc in Path("/proc").iterdir():
        try:
            cmdline = (proc / "cmdline").read_bytes()
        except OSError:
            continue
        if proc.name.isdigit() and word.encode() in cmdline:
            found.append(proc.name)
    return found
