"""quillon-serve, the development server: a site directory served by a
private lighttpd, pages as CGI or FastCGI, output on the terminal, and a stop
that leaves nothing behind."""

from __future__ import annotations

import os
import re
import signal
import socket
import subprocess
import sys
import time
import urllib.error
import urllib.request
from pathlib import Path

import pytest

import harness
from conftest import require_built

START_TIMEOUT_S = 60.0  # a sanitized build registers its libraries slowly
STOP_TIMEOUT_S = 15.0
REQUEST_TIMEOUT_S = 60.0

HELLO_PAGE = """\
import html, quillon
srv = quillon.CreateObject("QServer.QServer")
quillon.LoadFromStream(srv)
srv.WriteString("<p>Hello, " + html.escape(srv.GetStringData("name", 0)) + "</p>")
del srv
"""

PID_PAGE = """\
import os, quillon
def page(srv):
    srv.WriteString("pid %d" % os.getpid())
quillon.serve(page)
"""

ENV_PAGE = """\
import json, os, quillon
def page(srv):
    names = ("QUILLON_REGISTRY", "QUILLON_CODEPAGE", "QUILLON_MESSAGES",
             "QUILLON_LOG_TEMPLATE_WARNINGS", "QUILLON_SESSION_KEY", "SITE_SETTING")
    srv.WriteString(json.dumps({n: os.environ.get(n) for n in names}))
quillon.serve(page)
"""


# --- The server under test ---------------------------------------------------------------


def _alive(pid: int) -> bool:
    state = harness.process(pid)
    return state is not None and state[0] != "Z"


def _command(pid: int) -> str:
    try:
        return Path(f"/proc/{pid}/cmdline").read_bytes().replace(b"\0", b" ").decode(
            errors="replace")
    except OSError:
        return ""


class DevServer:
    """One quillon-serve process, its output in a file (a pipe nobody reads
    would block it)."""

    def __init__(self, program: Path, args: list[str], env: dict[str, str], log: Path) -> None:
        self.log = log
        with open(log, "wb") as out:
            self.proc = subprocess.Popen([sys.executable, str(program), *args], env=env,
                                         stdin=subprocess.DEVNULL, stdout=out,
                                         stderr=subprocess.STDOUT, start_new_session=True)
        self.url = ""
        self.pid = 0

    def output(self) -> str:
        return self.log.read_text(errors="replace")

    def wait_for(self, pattern: str, timeout: float = START_TIMEOUT_S) -> re.Match:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            found = re.search(pattern, self.output())
            if found:
                return found
            if self.proc.poll() is not None:
                found = re.search(pattern, self.output())
                if found:
                    return found
                pytest.fail(f"quillon-serve ended ({self.proc.returncode}) before printing "
                            f"{pattern!r}:\n{self.output()}", pytrace=False)
            time.sleep(0.05)
        pytest.fail(f"quillon-serve did not print {pattern!r} within {timeout:.0f} s:\n"
                    f"{self.output()}", pytrace=False)

    def wait_started(self) -> "DevServer":
        found = self.wait_for(r"serving .* at (http://127\.0\.0\.1:\d+/) \(pid (\d+);")
        self.url, self.pid = found.group(1), int(found.group(2))
        # The page listing follows that line and the registry line ends it:
        # a test that reads the listing must not read it half written.
        self.wait_for(r"(?m)^quillon-serve: registry ")
        return self

    def get(self, path: str, timeout: float = REQUEST_TIMEOUT_S) -> tuple[int, bytes]:
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        try:
            with opener.open(self.url + path.lstrip("/"), timeout=timeout) as response:
                return response.status, response.read()
        except urllib.error.HTTPError as error:
            return error.code, error.read()

    def descendants(self) -> list[int]:
        tree: dict[int, list[int]] = {}
        for pid, (_, ppid, _) in harness.processes().items():
            tree.setdefault(ppid, []).append(pid)
        found, queue = [], [self.proc.pid]
        while queue:
            for child in tree.get(queue.pop(), []):
                found.append(child)
                queue.append(child)
        return found

    def stop(self, sig: int = signal.SIGTERM) -> int:
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            return self.proc.wait(timeout=STOP_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            self.kill()
            pytest.fail(f"quillon-serve did not stop within {STOP_TIMEOUT_S:.0f} s after "
                        f"{signal.Signals(sig).name}:\n{self.output()}", pytrace=False)

    def kill(self) -> None:
        # The test's own clean-up: whatever is left of the server's tree.
        for pid in [self.proc.pid, *self.descendants()]:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        if self.proc.poll() is None:
            self.proc.wait(timeout=STOP_TIMEOUT_S)


@pytest.fixture(scope="session")
def quillon_serve(build_dir: Path) -> Path:
    return require_built(build_dir / "bin" / "quillon-serve", "the development server")


@pytest.fixture
def serve_env(page_env: dict[str, str]) -> dict[str, str]:
    """What a developer's shell gives quillon-serve: no registry and no
    module path (the server brings both), only the sanitizer settings a
    sanitized build needs and a PATH."""
    env = {k: v for k, v in page_env.items()
           if k not in ("QUILLON_REGISTRY", "PYTHONPATH", "LD_LIBRARY_PATH")}
    env["PATH"] = os.environ.get("PATH", "/usr/bin:/bin")
    return env


@pytest.fixture
def start(quillon_serve: Path, serve_env: dict[str, str], tmp_path: Path):
    servers: list[DevServer] = []

    def start_server(site: Path, *args: str, env: dict[str, str] | None = None,
                     wait: bool = True) -> DevServer:
        log = tmp_path / f"serve-{len(servers)}.log"
        server = DevServer(quillon_serve, [*args, str(site)], serve_env if env is None else env,
                           log)
        servers.append(server)
        return server.wait_started() if wait else server

    yield start_server
    for server in servers:
        if server.proc.poll() is None:
            server.kill()


def make_site(root: Path, pages: dict[str, str | bytes | Path],
              files: dict[str, str] | None = None) -> Path:
    site = root / "site"
    (site / "cgi-bin").mkdir(parents=True, exist_ok=True)
    for name, content in pages.items():
        path = site / "cgi-bin" / name
        if isinstance(content, Path):
            # A link, as a built program finds its libraries from where it
            # was built.
            path.symlink_to(content)
        else:
            path.write_bytes(content.encode() if isinstance(content, str) else content)
    for name, content in (files or {}).items():
        path = site / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(content)
    return site


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


# --- Serving a site ----------------------------------------------------------------------


def test_one_file_python_site_needs_no_set_up(start, tmp_path):
    site = make_site(tmp_path, {"hello.py": HELLO_PAGE})
    server = start(site, "--port", "0")
    status, body = server.get("cgi-bin/hello.py?name=%3CTaro%3E")
    assert (status, body) == (200, b"<p>Hello, &lt;Taro&gt;</p>\r\n"), server.output()
    assert f"CGI     {server.url}cgi-bin/hello.py" in server.output()


def test_each_kind_of_file_is_served_its_way(start, built, tmp_path):
    hello = built("bin/qserver_hello", "the example page")
    site = make_site(
        tmp_path,
        {"hello.py": HELLO_PAGE, "hello": hello},
        {"index.html": "<h1>home</h1>", "style.css": "p {}", ".secret": "key",
         "cgi-bin/.hidden.py": HELLO_PAGE})
    server = start(site, "--port", "0")
    cases = [
        # path, status, body (None: any)
        ("", 200, b"<h1>home</h1>"),
        ("style.css", 200, b"p {}"),
        ("cgi-bin/hello.py?name=a", 200, b"<p>Hello, a</p>\r\n"),
        ("cgi-bin/hello?name=b", 200, b"<html><body><p>Hello, b!</p></body></html>\r\n"),
        (".secret", 403, None),
        ("cgi-bin/.hidden.py", 403, None),
        ("missing.html", 404, None),
    ]
    for path, status, body in cases:
        got_status, got_body = server.get(path)
        assert got_status == status, (path, got_body[:500], server.output())
        if body is not None:
            assert got_body == body, (path, server.output())


def test_index_option_sends_the_root_to_a_page(start, tmp_path):
    site = make_site(tmp_path, {"hello.py": HELLO_PAGE})
    server = start(site, "--port", "0", "--index", "/cgi-bin/hello.py?name=root")
    assert server.get("") == (200, b"<p>Hello, root</p>\r\n")


def test_pages_get_the_development_environment(start, serve_env, tmp_path):
    site = make_site(tmp_path, {"env.py": ENV_PAGE})
    env = dict(serve_env, QUILLON_SESSION_KEY="k" * 32)
    server = start(site, "--port", "0", "-e", "SITE_SETTING=a=b", env=env)
    status, body = server.get("cgi-bin/env.py")
    assert status == 200, server.output()
    import json
    seen = json.loads(body)
    registry = Path(seen.pop("QUILLON_REGISTRY"))
    assert seen == {"QUILLON_CODEPAGE": "65001", "QUILLON_MESSAGES": "en",
                    "QUILLON_LOG_TEMPLATE_WARNINGS": "1", "QUILLON_SESSION_KEY": "k" * 32,
                    "SITE_SETTING": "a=b"}
    # A private registry, made for this run and gone with it.
    assert f"registry {registry}" in server.output()
    assert registry.is_file()
    assert server.stop() == 0
    assert not registry.exists()


def test_a_given_registry_is_used_as_it_is(start, serve_env, quillon_registry, tmp_path):
    site = make_site(tmp_path, {"env.py": ENV_PAGE})
    for args, env in ((["--registry", str(quillon_registry)], serve_env),
                      ([], dict(serve_env, QUILLON_REGISTRY=str(quillon_registry)))):
        before = quillon_registry.read_bytes()
        server = start(site, "--port", "0", *args, env=env)
        status, body = server.get("cgi-bin/env.py")
        assert status == 200, server.output()
        assert f'"QUILLON_REGISTRY": "{quillon_registry}"' in body.decode()
        server.stop()
        assert quillon_registry.read_bytes() == before


def test_page_errors_reach_the_terminal(start, tmp_path):
    failing_cgi = "raise RuntimeError('cgi page broke: 4711')\n"
    failing_fastcgi = ("import quillon\n"
                       "def page(srv):\n"
                       "    raise RuntimeError('fastcgi page broke: 4712')\n"
                       "quillon.serve(page)\n")
    site = make_site(tmp_path, {"cgi.py": failing_cgi, "fcgi.py": failing_fastcgi})
    server = start(site, "--port", "0", "--fastcgi")
    assert server.get("cgi-bin/cgi.py")[0] == 500
    assert server.get("cgi-bin/fcgi.py")[0] == 500
    server.wait_for(r"RuntimeError: cgi page broke: 4711")
    server.wait_for(r"\[cgi-bin/fcgi\.py\] .*RuntimeError: fastcgi page broke: 4712")


def test_template_repairs_are_shown_with_the_template_name(start, tmp_path):
    page = ("import quillon\n"
            "def page(srv):\n"
            "    doc = quillon.CreateObject('QServer.QHtmlDoc')\n"
            "    doc.Load('../nested.htm')\n"
            "    doc.WriteTo(srv)\n"
            "quillon.serve(page)\n")
    site = make_site(tmp_path, {"nested.py": page},
                     {"nested.htm": "<HTML><BODY><DIV>a<DIV>b</DIV></DIV></BODY></HTML>"})
    server = start(site, "--port", "0")
    assert server.get("cgi-bin/nested.py")[0] == 200
    server.wait_for(r"(?m)^\S*nested\.htm: .*DIV")


# --- FastCGI ---------------------------------------------------------------------------


def _pid_of(server: DevServer, path: str) -> int:
    status, body = server.get(path)
    assert status == 200, (body[:500], server.output())
    return int(body.split()[1])


def test_fastcgi_serves_only_pages_that_run_the_serving_loop(start, built, tmp_path):
    site = make_site(tmp_path, {
        "loop.py": PID_PAGE,
        "plain.py": "import os\nprint('Content-Type: text/plain\\n\\npid %d' % os.getpid())\n",
        "hello_fcgi": built("bin/qserver_hello_fcgi", "the FastCGI example page"),
        "hello": built("bin/qserver_hello", "the example page"),
    })
    server = start(site, "--port", "0", "--fastcgi")
    listing = {m.group(2): m.group(1)
               for m in re.finditer(r"(CGI|FastCGI) +http://\S+/cgi-bin/(\S+)", server.output())}
    assert listing == {"loop.py": "FastCGI", "plain.py": "CGI", "hello_fcgi": "FastCGI",
                       "hello": "CGI"}, server.output()
    # One process answers every request of a FastCGI page, a new one each
    # request of a CGI page.
    assert _pid_of(server, "cgi-bin/loop.py") == _pid_of(server, "cgi-bin/loop.py")
    assert _pid_of(server, "cgi-bin/plain.py") != _pid_of(server, "cgi-bin/plain.py")
    status, body = server.get("cgi-bin/hello_fcgi?name=c")
    assert (status, body) == (200, b"<html><body><p>Hello, c!</p></body></html>\r\n")
    assert any("hello_fcgi" in _command(pid) for pid in server.descendants())


def test_fastcgi_page_starts_again_when_its_file_changes(start, tmp_path):
    site = make_site(tmp_path, {"loop.py": PID_PAGE}, {"shared.py": "VALUE = 1\n"})
    server = start(site, "--port", "0", "--fastcgi")
    first = _pid_of(server, "cgi-bin/loop.py")
    for changed in (site / "cgi-bin" / "loop.py", site / "shared.py"):
        changed.write_text(changed.read_text() + "\n# edited\n")
        server.wait_for(r"cgi-bin/loop\.py changed: started again", timeout=10)
        second = _pid_of(server, "cgi-bin/loop.py")
        assert second != first, server.output()
        assert not _alive(first)
        first = second
        # The next change is a new message.
        server.log.write_text("")


def test_fastcgi_page_that_ends_at_once_answers_fast_and_returns_when_fixed(start, tmp_path):
    broken = "import quillon\nraise SystemExit('not yet: 99')\nquillon.serve(None)\n"
    site = make_site(tmp_path, {"loop.py": broken})
    server = start(site, "--port", "0", "--fastcgi")
    server.wait_for(r"cgi-bin/loop\.py ended at once 3 times", timeout=30)
    began = time.monotonic()
    status, _ = server.get("cgi-bin/loop.py", timeout=20)
    assert status >= 500 and time.monotonic() - began < 15, server.output()
    (site / "cgi-bin" / "loop.py").write_text(PID_PAGE)
    server.wait_for(r"cgi-bin/loop\.py changed: started again", timeout=10)
    # lighttpd waits a second before it tries a socket that failed again.
    deadline = time.monotonic() + 20
    while True:
        status, body = server.get("cgi-bin/loop.py")
        if status == 200 or time.monotonic() > deadline:
            break
        time.sleep(0.3)
    assert status == 200 and body.startswith(b"pid "), server.output()


# --- Ports, stopping, the command line ---------------------------------------------------


def test_port_search_starts_at_the_given_port(start, tmp_path):
    site = make_site(tmp_path, {"hello.py": HELLO_PAGE})
    with socket.socket() as holder:
        holder.bind(("127.0.0.1", 0))
        holder.listen()
        taken = holder.getsockname()[1]
        server = start(site, "--port", str(taken))
        assert server.url != f"http://127.0.0.1:{taken}/"
        assert f"port {taken} is taken; using" in server.output()
        assert server.get("cgi-bin/hello.py?name=a")[0] == 200
    port = free_port()
    server = start(site, "--port", str(port))
    assert server.url == f"http://127.0.0.1:{port}/"


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGTERM, signal.SIGKILL],
                         ids=lambda s: signal.Signals(s).name)
def test_stopping_the_server_stops_everything_it_started(start, tmp_path, sig):
    slow = "import time\ntime.sleep(60)\n"
    site = make_site(tmp_path, {"loop.py": PID_PAGE, "slow.py": slow})
    server = start(site, "--port", "0", "--fastcgi")
    fastcgi_pid = _pid_of(server, "cgi-bin/loop.py")
    # A CGI page still running when the server stops.
    import threading

    def request_the_slow_page():
        try:
            server.get("cgi-bin/slow.py", timeout=30)
        except OSError:
            pass  # the server stops while the page runs: no answer

    threading.Thread(target=request_the_slow_page, daemon=True).start()
    deadline = time.monotonic() + 20
    while not any("slow.py" in _command(p) for p in server.descendants()):
        assert time.monotonic() < deadline, "the slow page never started"
        time.sleep(0.05)
    started = server.descendants()
    assert fastcgi_pid in started
    assert server.pid == server.proc.pid
    status = server.stop(sig)
    if sig != signal.SIGKILL:
        assert status == 0, server.output()
    deadline = time.monotonic() + STOP_TIMEOUT_S
    while any(_alive(p) for p in started) and time.monotonic() < deadline:
        time.sleep(0.05)
    left = {p: _command(p) for p in started if _alive(p)}
    assert not left, f"left running after {signal.Signals(sig).name}: {left}"
    port = int(server.url.rsplit(":", 1)[1].strip("/"))
    with socket.socket() as probe:
        assert probe.connect_ex(("127.0.0.1", port)) != 0


def test_sample_server_stops_with_the_pid_it_was_started_as(serve_env, build_dir, tmp_path):
    # What `./run sample` runs (./run execs it, it execs quillon-serve): a
    # kill of that one pid must stop the web server and the pages too.
    serve_py = Path(__file__).resolve().parents[3] / "sample" / "serve.py"
    require_built(build_dir / "bin" / "sample_list", "the sample's C++ list page")
    env = dict(serve_env, SAMPLE_DATABASE=str(tmp_path / "contacts.db"))
    server = DevServer(serve_py, [str(build_dir), "--port", str(free_port()), "--state",
                                  str(tmp_path / "state")], env, tmp_path / "sample.log")
    try:
        server.wait_started()
        assert server.pid == server.proc.pid, "the server is not the process that was started"
        assert server.get("cgi-bin/list.py")[0] == 200, server.output()
        started = server.descendants()
        assert any("lighttpd" in _command(p) for p in started), started
        assert server.stop(signal.SIGTERM) == 0, server.output()
        deadline = time.monotonic() + STOP_TIMEOUT_S
        while any(_alive(p) for p in started) and time.monotonic() < deadline:
            time.sleep(0.05)
        assert not [p for p in started if _alive(p)], server.output()
    finally:
        if server.proc.poll() is None:
            server.kill()


@pytest.mark.parametrize("args, status, says", [
    (["--help"], 0, r"usage: quillon-serve .*DIR"),
    ([], 2, r"the following arguments are required: DIR"),
    (["{missing}"], 1, r"no such directory \(expected a site directory"),
    (["--port", "70000", "{site}"], 2, r"--port 70000: expected a port number"),
    (["--env", "NOEQUALS", "{site}"], 1, r"--env 'NOEQUALS': expected NAME=VALUE"),
], ids=["help", "no-directory", "missing-directory", "bad-port", "bad-env"])
def test_command_line_says_what_it_expected(quillon_serve, serve_env, tmp_path, args, status,
                                            says):
    site = make_site(tmp_path, {"hello.py": HELLO_PAGE})
    argv = [a.format(site=site, missing=tmp_path / "missing") for a in args]
    # No display of any kind: the help needs none.
    env = {k: v for k, v in serve_env.items()
           if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    result = subprocess.run([sys.executable, str(quillon_serve), *argv], env=env,
                            capture_output=True, text=True, timeout=60, check=False)
    out = result.stdout + result.stderr
    assert result.returncode == status, out
    assert re.search(says, out, re.S), out
