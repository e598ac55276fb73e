"""Real-server harness for the integration tests.

Starts lighttpd with a private configuration on 127.0.0.1 and a port picked at
run time, runs CGI programs directly when a test needs their exact output bytes,
and sends HTTP requests whose response bytes come back untouched.

Nothing here depends on pytest; conftest.py wraps it into fixtures.
"""

from __future__ import annotations

import dataclasses
import http.client
import os
import signal
import socket
import subprocess
import time
from pathlib import Path
from typing import Iterable, Mapping

LIGHTTPD = "/usr/sbin/lighttpd"
# Python CGIs run under the system interpreter: the python3 found on PATH may
# be a version-manager shim that the CGI environment cannot resolve.
PYTHON = "/usr/bin/python3"

START_TIMEOUT_S = 10.0
STOP_TIMEOUT_S = 5.0
REQUEST_TIMEOUT_S = 30.0
BIND_ATTEMPTS = 5


class HarnessError(RuntimeError):
    """The harness could not set up or reach the server."""


def free_port() -> int:
    """Returns a loopback port that was free a moment ago.

    Another process may take it before the caller binds it; LighttpdServer
    retries with a new port when that happens.
    """
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def sanitizer_env(environ: Mapping[str, str] | None = None) -> dict[str, str]:
    """The sanitizer variables of `environ` (default: this process).

    A CGI program that loads sanitized component libraries into an
    uninstrumented interpreter needs the ASan runtime preloaded, exactly as the
    test process itself had it.
    """
    environ = os.environ if environ is None else environ
    keys = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")
    return {k: environ[k] for k in keys if k in environ}


def _quote_conf(value: str) -> str:
    """Quotes `value` as a lighttpd configuration string.

    lighttpd's parser knows one escape, \\" for a quote; any other backslash is
    literal. A trailing backslash would swallow the closing quote, and a control
    character would end up in the configuration verbatim, so both are refused.
    """
    if value.endswith("\\") or any(ord(c) < 0x20 for c in value):
        raise ValueError(f"value cannot be written to a lighttpd configuration: {value!r}")
    return '"' + value.replace('"', '\\"') + '"'


@dataclasses.dataclass
class Response:
    """One HTTP response as it came off the socket."""

    raw: bytes
    status_line: bytes
    headers: list[tuple[bytes, bytes]]
    body: bytes

    @property
    def status(self) -> int:
        parts = self.status_line.split(b" ", 2)
        return int(parts[1]) if len(parts) > 1 and parts[1].isdigit() else 0

    def header(self, name: str) -> bytes | None:
        """The first header called `name` (case-insensitive), or None."""
        wanted = name.lower().encode("latin-1")
        for key, value in self.headers:
            if key.lower() == wanted:
                return value
        return None

    def header_values(self, name: str) -> list[bytes]:
        wanted = name.lower().encode("latin-1")
        return [value for key, value in self.headers if key.lower() == wanted]


def parse_response(raw: bytes) -> Response:
    """Splits raw response bytes at the first blank line.

    The body is left exactly as sent (no de-chunking); a response without a
    blank line yields an empty body and keeps its bytes in `raw`.
    """
    head, sep, body = raw.partition(b"\r\n\r\n")
    if not sep:
        return Response(raw=raw, status_line=raw.split(b"\r\n", 1)[0], headers=[], body=b"")
    lines = head.split(b"\r\n")
    headers = []
    for line in lines[1:]:
        key, _, value = line.partition(b":")
        headers.append((key, value.strip(b" \t")))
    return Response(raw=raw, status_line=lines[0], headers=headers, body=body)


def recv_all(sock: socket.socket) -> bytes:
    """Everything `sock` receives until the peer closes its side."""
    chunks = []
    while True:
        chunk = sock.recv(65536)
        if not chunk:
            return b"".join(chunks)
        chunks.append(chunk)


def run_cgi(
    program: str | os.PathLike | Iterable[str | os.PathLike],
    env: Mapping[str, str],
    stdin: bytes = b"",
    timeout: float = REQUEST_TIMEOUT_S,
) -> subprocess.CompletedProcess:
    """Runs a CGI program directly, without a web server.

    The child gets `env` and nothing else, like a CGI child of a web server,
    reads `stdin` (which may be shorter than CONTENT_LENGTH claims: the pipe
    closes after it) and its standard output comes back byte for byte in
    `.stdout`. Use this when the exact bytes a program writes matter, since a
    web server rewrites the CGI header block into its own response.
    """
    argv = [os.fspath(program)] if isinstance(program, (str, os.PathLike)) else [
        os.fspath(p) for p in program]
    return subprocess.run(argv, input=stdin, env=dict(env), capture_output=True,
                          timeout=timeout, check=False)


def process(pid: int) -> tuple[str, int, int] | None:
    """(state, ppid, pgrp) of a process from /proc; None once it is gone
    (it may go between any two reads)."""
    try:
        fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    except (OSError, IndexError):
        return None
    # After the command: state, ppid, pgrp.
    if len(fields) <= 2:
        return None
    return fields[0], int(fields[1]), int(fields[2])


def processes() -> dict[int, tuple[str, int, int]]:
    """pid -> (state, ppid, pgrp) of every process, from /proc."""
    found = {}
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit() and (info := process(int(entry.name))) is not None:
            found[int(entry.name)] = info
    return found


def _group_has_live_members(pgid: int) -> bool:
    """Whether a process of group `pgid` is alive (zombies do not count)."""
    return any(pgrp == pgid and state != "Z" for state, _, pgrp in processes().values())


class LighttpdServer:
    """A lighttpd serving a private document root and cgi-bin on 127.0.0.1.

    Layout under `root`: htdocs/ (document root), htdocs/cgi-bin/ (programs run
    through mod_cgi: files without extension and .cgi files are executed
    directly, .py files by the system python3), lighttpd.conf, error.log.

    `cgi_env` is the whole environment a CGI program gets beyond the CGI/1.1
    variables (lighttpd passes no PATH of its own). `stream_request_body` is
    lighttpd's server.stream-request-body (0: the body is buffered before the
    program starts). lighttpd runs as the current user; as root, CGIs run as
    root too.
    """

    def __init__(
        self,
        root: str | os.PathLike,
        cgi_env: Mapping[str, str],
        stream_request_body: int = 0,
        extra_conf: str = "",
    ) -> None:
        self.root = Path(root)
        self.docroot = self.root / "htdocs"
        self.cgi_bin = self.docroot / "cgi-bin"
        self.conf_path = self.root / "lighttpd.conf"
        self.error_log = self.root / "error.log"
        # lighttpd's own standard output and error, which its CGI children
        # inherit: a file, because a pipe nobody drains would block a program
        # that writes a long sanitizer report.
        self.output_log = self.root / "output.log"
        self.cgi_env = dict(cgi_env)
        self.stream_request_body = stream_request_body
        self.extra_conf = extra_conf
        self.port = 0
        self._proc: subprocess.Popen | None = None
        self.cgi_bin.mkdir(parents=True, exist_ok=True)

    # -- set-up -----------------------------------------------------------

    def add_cgi(self, name: str, content: str | bytes, mode: int = 0o755) -> Path:
        """Writes an executable program into cgi-bin and returns its path."""
        path = self.cgi_bin / name
        data = content.encode() if isinstance(content, str) else content
        path.write_bytes(data)
        path.chmod(mode)
        return path

    def link_cgi(self, name: str, target: str | os.PathLike) -> Path:
        """Places a symbolic link to an existing program into cgi-bin."""
        path = self.cgi_bin / name
        if path.is_symlink() or path.exists():
            path.unlink()
        path.symlink_to(Path(target).resolve())
        return path

    def _config(self) -> str:
        env_items = ",\n".join(
            f"  {_quote_conf(k)} => {_quote_conf(v)}" for k, v in sorted(self.cgi_env.items()))
        return f"""\
server.modules = ("mod_setenv", "mod_cgi")
server.document-root = {_quote_conf(str(self.docroot))}
server.bind = "127.0.0.1"
server.port = {self.port}
server.errorlog = {_quote_conf(str(self.error_log))}
server.stream-request-body = {int(self.stream_request_body)}
index-file.names = ("index.html")
mimetype.assign = (
  ".html" => "text/html",
  ".txt" => "text/plain",
  ".css" => "text/css",
  ".js" => "text/javascript",
  ".png" => "image/png",
  ".gif" => "image/gif",
  ".jpg" => "image/jpeg",
  "" => "application/octet-stream",
)
$HTTP["url"] =~ "^/cgi-bin/" {{
  cgi.assign = (".py" => {_quote_conf(PYTHON)}, ".cgi" => "", "" => "")
}}
setenv.add-environment = (
{env_items}
)
{self.extra_conf}
"""

    # -- life cycle -------------------------------------------------------

    def start(self) -> "LighttpdServer":
        """Starts the server and returns once its port accepts connections.

        A port taken between choosing and binding it is retried with a fresh
        one; any other start failure raises HarnessError with the error log.
        """
        if self._proc is not None:
            raise HarnessError("server already running")
        last_log = ""
        for _ in range(BIND_ATTEMPTS):
            self.port = free_port()
            self.conf_path.write_text(self._config())
            self.error_log.write_text("")
            # lighttpd hands its own LD_PRELOAD to CGI programs ahead of the
            # one its configuration sets, and the loader takes the first: the
            # server itself gets the programs' preload list.
            env = dict(os.environ)
            if "LD_PRELOAD" in self.cgi_env:
                env["LD_PRELOAD"] = self.cgi_env["LD_PRELOAD"]
            with open(self.output_log, "wb") as output:
                self._proc = subprocess.Popen(
                    [LIGHTTPD, "-D", "-f", str(self.conf_path)], env=env,
                    stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT,
                    start_new_session=True)
            if self._wait_ready():
                return self
            last_log = self._reap_failed_start()
            if "Address already in use" not in last_log:
                break
        raise HarnessError(f"lighttpd did not start on 127.0.0.1:{self.port}:\n{last_log}")

    def _wait_ready(self) -> bool:
        # A connection alone proves nothing: whoever took the port first
        # accepts it too. lighttpd logs "server started" once it holds its
        # socket.
        deadline = time.monotonic() + START_TIMEOUT_S
        while time.monotonic() < deadline:
            if self._proc.poll() is not None:
                return False
            if "server started" in self.error_log.read_text(errors="replace"):
                try:
                    with socket.create_connection(("127.0.0.1", self.port), timeout=0.5):
                        return True
                except OSError:
                    pass
            time.sleep(0.02)
        return False

    def _reap_failed_start(self) -> str:
        self.stop()
        return self.error_log_text()

    def stop(self) -> None:
        """Stops the server and every CGI program still running; safe to call twice."""
        proc, self._proc = self._proc, None
        if proc is None:
            return
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(timeout=STOP_TIMEOUT_S)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        # lighttpd ends its CGI children when terminated, but not when it had
        # to be killed; they share its process group, which catches them.
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            return
        # SIGKILL is delivered asynchronously; on a busy machine a child can
        # still be there a moment later. Wait (bounded) until the group is
        # gone, so that "stopped" means stopped.
        deadline = time.monotonic() + STOP_TIMEOUT_S
        while time.monotonic() < deadline:
            try:
                os.killpg(proc.pid, 0)
            except ProcessLookupError:
                return
            if not _group_has_live_members(proc.pid):
                return
            time.sleep(0.01)

    @property
    def running(self) -> bool:
        return self._proc is not None and self._proc.poll() is None

    def __enter__(self) -> "LighttpdServer":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    def error_log_text(self) -> str:
        """lighttpd's error log, then what lighttpd and its CGI programs wrote
        to standard error (a sanitizer report, a traceback)."""
        return "".join(path.read_text(errors="replace")
                       for path in (self.error_log, self.output_log) if path.exists())

    # -- requests ---------------------------------------------------------

    @property
    def base_url(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    def request(
        self,
        method: str,
        path: str,
        body: bytes | None = None,
        headers: Mapping[str, str] | None = None,
        timeout: float = REQUEST_TIMEOUT_S,
    ) -> Response:
        """Sends one well-formed request with http.client.

        The answer is read whole (http.client removes a chunked transfer
        coding); `raw` then holds the reassembled head and body.
        """
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            conn.request(method, path, body=body, headers=dict(headers or {}))
            resp = conn.getresponse()
            body_bytes = resp.read()
            status_line = f"HTTP/{resp.version // 10}.{resp.version % 10} {resp.status} {resp.reason}"
            headers_out = [(k.encode("latin-1"), v.encode("latin-1"))
                           for k, v in resp.getheaders()]
        finally:
            conn.close()
        head = status_line.encode("latin-1") + b"\r\n" + b"".join(
            k + b": " + v + b"\r\n" for k, v in headers_out) + b"\r\n"
        return Response(raw=head + body_bytes, status_line=status_line.encode("latin-1"),
                        headers=headers_out, body=body_bytes)

    def raw_request(
        self,
        data: bytes,
        shutdown_write: bool = False,
        timeout: float = REQUEST_TIMEOUT_S,
    ) -> bytes:
        """Writes `data` as is and returns every byte the server sends back.

        Reads until the server closes the connection, so the request should be
        HTTP/1.0 or carry "Connection: close". With `shutdown_write` the write
        side is closed after `data`, which is how to send a body shorter than
        its Content-Length. Note that lighttpd treats that half-close as the
        client going away and answers nothing; to see how a program copes with
        a short standard input, use run_cgi().
        """
        with socket.create_connection(("127.0.0.1", self.port), timeout=timeout) as sock:
            sock.sendall(data)
            if shutdown_write:
                sock.shutdown(socket.SHUT_WR)
            return recv_all(sock)

    def raw_response(self, data: bytes, shutdown_write: bool = False,
                     timeout: float = REQUEST_TIMEOUT_S) -> Response:
        """raw_request() parsed into status line, headers and body."""
        return parse_response(self.raw_request(data, shutdown_write, timeout))



def fastcgi_conf(prefix: str, socket: str | os.PathLike, program: str | os.PathLike,
                 env: Mapping[str, str]) -> str:
    """extra_conf for LighttpdServer: `prefix` served by one FastCGI process
    of `program`, which lighttpd starts with `env` as its whole environment
    (sanitizer variables and LD_LIBRARY_PATH included, when wanted)."""
    items = ",\n".join(f"      {_quote_conf(k)} => {_quote_conf(v)}"
                       for k, v in sorted(env.items()))
    return f"""\
server.modules += ("mod_fastcgi")
fastcgi.server = ({_quote_conf(prefix)} => ((
    "socket" => {_quote_conf(os.fspath(socket))},
    "bin-path" => {_quote_conf(os.fspath(program))},
    "max-procs" => 1,
    "check-local" => "disable",
    "bin-environment" => (
{items}
    )
)))
"""


def multipart_file(name: str, filename: str, data: bytes) -> tuple[bytes, dict[str, str]]:
    """A multipart/form-data body with one file part, and its headers."""
    boundary = "----quillon-harness-boundary"
    body = (f"--{boundary}\r\nContent-Disposition: form-data; name=\"{name}\"; "
            f"filename=\"{filename}\"\r\nContent-Type: application/octet-stream\r\n\r\n"
            ).encode() + data + f"\r\n--{boundary}--\r\n".encode()
    return body, {"Content-Type": f"multipart/form-data; boundary={boundary}"}


def key_values(body: bytes) -> dict[str, str]:
    """"key=value" lines (CR LF) of a text body; the first of a key wins."""
    out: dict[str, str] = {}
    for line in body.decode(errors="replace").split("\r\n"):
        key, _, value = line.partition("=")
        out.setdefault(key, value)
    return out
