"""The production layout of docs/deploy.md on one machine: PostgreSQL, N
FastCGI page servers of the sample (each its own process group on its own
127.0.0.1 port, standing for a machine of its own) and nginx in front with
an upstream of all of them, plus one pinned front per server so that a test
can pick the server that answers.

Used by test_deploy.py and, as a program, by bench/scaleout.sh:

  layout.py BUILD_DIR   throughput through nginx with 1, 2 and 3 page
                        servers, then a page server killed under load

Nothing here needs pytest. Everything listens on 127.0.0.1 only.
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request
import uuid
from pathlib import Path

SAMPLE = Path(__file__).resolve().parents[3] / "sample"
PYTHON = "/usr/bin/python3"
NGINX = "/usr/sbin/nginx"
WRK = "/usr/bin/wrk"
PG_BIN = Path("/usr/lib/postgresql/15/bin")
START_TIMEOUT_S = 30.0
STOP_TIMEOUT_S = 10.0
REQUEST_TIMEOUT_S = 60.0
LIBRARIES = ("libqserver.so", "libqclient.so", "libquillon-engines.so")


class LayoutError(RuntimeError):
    """A part of the layout could not be started."""


def tool_env() -> dict[str, str]:
    """The environment of the programs we did not build (PostgreSQL, nginx,
    wrk): a sanitizer runtime preloaded for the toolkit's sake would hang or
    break them."""
    return {k: v for k, v in os.environ.items()
            if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")}


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def wait_until(condition, timeout: float, what: str, log: Path | None = None) -> None:
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            detail = f":\n{log.read_text(errors='replace')[-3000:]}" if log and log.exists() else ""
            raise LayoutError(f"{what} within {timeout:.0f} s{detail}")
        time.sleep(0.05)


def accepts(port: int) -> bool:
    with socket.socket() as probe:
        probe.settimeout(0.5)
        return probe.connect_ex(("127.0.0.1", port)) == 0


def stop_group(pgid: int, procs: list[subprocess.Popen], sig: int = signal.SIGTERM) -> None:
    try:
        os.killpg(pgid, sig)
    except ProcessLookupError:
        pass
    deadline = time.monotonic() + STOP_TIMEOUT_S
    for proc in procs:
        try:
            proc.wait(timeout=max(0.1, deadline - time.monotonic()))
        except subprocess.TimeoutExpired:
            pass
    try:
        os.killpg(pgid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    for proc in procs:
        if proc.poll() is None:
            proc.wait()


# --- PostgreSQL --------------------------------------------------------------------------


class Postgres:
    """The test run's cluster (QUILLON_TEST_PG_PORT), else a throw-away one."""

    def __init__(self, workdir: Path) -> None:
        self.workdir = workdir
        self.port = 0
        self.data: Path | None = None
        self._as = ["runuser", "-u", "postgres", "--"] if os.geteuid() == 0 else []

    def start(self) -> "Postgres":
        given = os.environ.get("QUILLON_TEST_PG_PORT")
        if given:
            self.port = int(given)
            return self
        if not (PG_BIN / "initdb").exists():
            raise LayoutError("PostgreSQL 15 is not installed and QUILLON_TEST_PG_PORT is unset")
        base = Path(tempfile.mkdtemp(prefix="quillon-deploy-pg-"))
        if self._as:
            shutil.chown(base, "postgres")
        self.data = base / "data"
        log = base / "server.log"
        subprocess.run([*self._as, str(PG_BIN / "initdb"), "-D", str(self.data), "-U", "postgres",
                        "-A", "trust", "-E", "UTF8", "--locale=C.UTF-8", "--no-sync"],
                       check=True, capture_output=True, timeout=120, env=tool_env())
        self.port = free_port()
        subprocess.run([*self._as, str(PG_BIN / "pg_ctl"), "-D", str(self.data), "-l", str(log),
                        "-w", "-o", f"-c listen_addresses=127.0.0.1 -p {self.port} -k {base} "
                        "-c fsync=off", "start"], check=True, capture_output=True, timeout=120,
                       env=tool_env())
        return self

    def create_database(self) -> str:
        """A new database; its ODBC connection string."""
        name = "deploy_" + uuid.uuid4().hex[:12]
        subprocess.run([str(PG_BIN / "psql"), "-h", "127.0.0.1", "-p", str(self.port), "-U",
                        "postgres", "-d", "postgres", "-q", "-c", f"CREATE DATABASE {name}"],
                       check=True, capture_output=True, timeout=60, env=tool_env())
        return ("Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=%d;Database=%s;Uid=postgres;"
                "BoolsAsChar=0;" % (self.port, name))

    def stop(self) -> None:
        if self.data is None:
            return
        subprocess.run([*self._as, str(PG_BIN / "pg_ctl"), "-D", str(self.data), "-m",
                        "immediate", "-w", "stop"], capture_output=True, timeout=60, check=False,
                       env=tool_env())
        shutil.rmtree(self.data.parent, ignore_errors=True)
        self.data = None


# --- Page servers ------------------------------------------------------------------------


class PageServer:
    """One page server: `workers` processes of the sample's site.py sharing
    one listening socket on 127.0.0.1, in a process group of their own --
    what the socket-activated systemd service of docs/deploy.md starts."""

    def __init__(self, name: str, env: dict[str, str], log: Path, workers: int = 1,
                 port: int = 0) -> None:
        self.name = name
        self.env = env
        self.log = log
        self.workers = workers
        self.port = port
        self.procs: list[subprocess.Popen] = []

    @property
    def address(self) -> str:
        return f"127.0.0.1:{self.port}"

    def start(self) -> "PageServer":
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(("127.0.0.1", self.port))
        sock.listen(128)
        self.port = sock.getsockname()[1]
        try:
            with open(self.log, "ab") as out:
                for _ in range(self.workers):
                    # One process group per server (a group can be joined only
                    # from within its session, hence no new session).
                    group = self.procs[0].pid if self.procs else 0
                    self.procs.append(subprocess.Popen(
                        [PYTHON, str(SAMPLE / "site.py")], env=self.env, cwd=str(SAMPLE),
                        stdin=sock.fileno(), stdout=out, stderr=subprocess.STDOUT,
                        process_group=group))
        finally:
            # Only the workers hold the socket: when they are gone, the port
            # refuses connections, as a machine that went down does.
            sock.close()
        return self

    def kill(self) -> None:
        """Gone at once, as a machine that lost its power."""
        if self.procs:
            stop_group(self.procs[0].pid, self.procs, signal.SIGKILL)
            self.procs = []

    def stop(self) -> None:
        if self.procs:
            stop_group(self.procs[0].pid, self.procs)
            self.procs = []


# --- nginx -------------------------------------------------------------------------------

NGINX_LOCATION = """\
    location /cgi-bin/ {{
      include /etc/nginx/fastcgi_params;
      fastcgi_param SCRIPT_FILENAME $document_root$fastcgi_script_name;
      fastcgi_pass {target};
      fastcgi_next_upstream error timeout invalid_header;
      fastcgi_connect_timeout 2s;
      fastcgi_read_timeout 60s;
      add_header X-Upstream $upstream_addr always;
    }}
    location = / {{
      return 302 /cgi-bin/list.py;
    }}"""


class Nginx:
    """nginx on 127.0.0.1: the front (an upstream of every page server) and
    a pinned front per page server."""

    def __init__(self, workdir: Path, servers: list[PageServer]) -> None:
        self.workdir = workdir
        self.servers = servers
        self.port = 0
        self.pinned: dict[str, int] = {}
        self.proc: subprocess.Popen | None = None

    def config(self) -> str:
        upstream = "\n".join(f"    server {s.address} max_fails=1 fail_timeout=2s;"
                             for s in self.servers)
        pinned = "\n".join(
            f"  server {{\n    listen 127.0.0.1:{self.pinned[s.name]};\n"
            f"    root {SAMPLE};\n{NGINX_LOCATION.format(target=s.address)}\n  }}"
            for s in self.servers)
        user = "user root;" if os.geteuid() == 0 else ""
        tmp = self.workdir / "tmp"
        return f"""\
daemon off;
master_process on;
worker_processes 1;
{user}
pid {self.workdir}/nginx.pid;
error_log {self.workdir}/error.log warn;
events {{ worker_connections 512; }}
http {{
  access_log {self.workdir}/access.log;
  client_body_temp_path {tmp}/body;
  fastcgi_temp_path {tmp}/fastcgi;
  proxy_temp_path {tmp}/proxy;
  uwsgi_temp_path {tmp}/uwsgi;
  scgi_temp_path {tmp}/scgi;
  upstream pages {{
{upstream}
  }}
  server {{
    listen 127.0.0.1:{self.port};
    root {SAMPLE};
{NGINX_LOCATION.format(target="pages")}
  }}
{pinned}
}}
"""

    def start(self) -> "Nginx":
        (self.workdir / "tmp").mkdir(parents=True, exist_ok=True)
        conf = self.workdir / "nginx.conf"
        log = self.workdir / "error.log"
        for _ in range(5):
            self.port = free_port()
            self.pinned = {s.name: free_port() for s in self.servers}
            conf.write_text(self.config())
            log.write_text("")
            self.proc = subprocess.Popen(
                [NGINX, "-c", str(conf), "-p", str(self.workdir), "-e", str(log)], env=tool_env(),
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT,
                start_new_session=True)
            ports = [self.port, *self.pinned.values()]
            deadline = time.monotonic() + START_TIMEOUT_S
            while self.proc.poll() is None and time.monotonic() < deadline:
                if all(accepts(p) for p in ports):
                    return self
                time.sleep(0.05)
            text = log.read_text(errors="replace")
            self.stop()
            if "Address already in use" not in text:
                raise LayoutError(f"nginx did not start:\n{text}")
        raise LayoutError("nginx found no free ports")

    def url(self, path: str, server: PageServer | None = None) -> str:
        port = self.port if server is None else self.pinned[server.name]
        return f"http://127.0.0.1:{port}/{path.lstrip('/')}"

    def stop(self) -> None:
        if self.proc is not None:
            stop_group(self.proc.pid, [self.proc])
            self.proc = None


# --- HTTP and wrk ------------------------------------------------------------------------


@dataclasses.dataclass
class Answer:
    status: int
    headers: dict[str, str]
    body: bytes
    cookies: list[str] = dataclasses.field(default_factory=list)  # Set-Cookie values

    @property
    def upstream(self) -> str:
        """The page server that answered (the last one nginx tried)."""
        return self.headers.get("x-upstream", "").split(",")[-1].strip()


class _NoRedirect(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args, **kwargs):
        return None


_OPENER = urllib.request.build_opener(urllib.request.ProxyHandler({}), _NoRedirect())


def fetch(url: str, data: bytes | None = None, headers: dict[str, str] | None = None,
          timeout: float = REQUEST_TIMEOUT_S) -> Answer:
    request = urllib.request.Request(url, data=data, headers=headers or {})
    try:
        with _OPENER.open(request, timeout=timeout) as response:
            return Answer(response.status, {k.lower(): v for k, v in response.headers.items()},
                          response.read(), response.headers.get_all("Set-Cookie") or [])
    except urllib.error.HTTPError as error:
        return Answer(error.code, {k.lower(): v for k, v in error.headers.items()}, error.read(),
                      error.headers.get_all("Set-Cookie") or [])


WRK_SCRIPT = """\
-- Counts answers by status and by the page server that gave them.
local threads = {}
function setup(thread) table.insert(threads, thread) end
function init(args) counts = {} end
function response(status, headers, body)
  local upstream = headers["X-Upstream"] or "-"
  upstream = string.gsub(upstream, ".*, ", "")
  local key = status .. " " .. upstream
  counts[key] = (counts[key] or 0) + 1
end
function done(summary, latency, requests)
  local total = {}
  for _, thread in ipairs(threads) do
    for key, n in pairs(thread:get("counts")) do total[key] = (total[key] or 0) + n end
  end
  for key, n in pairs(total) do io.write(string.format("count %s %d\\n", key, n)) end
  local e = summary.errors
  io.write(string.format("errors %d %d %d %d %d\\n", e.connect, e.read, e.write, e.timeout,
                         e.status))
  io.write(string.format("done %d %d\\n", summary.requests, summary.duration))
end
"""


@dataclasses.dataclass
class Load:
    requests: int
    seconds: float
    by_answer: dict[tuple[int, str], int]
    socket_errors: int
    output: str

    @property
    def per_second(self) -> float:
        return self.requests / self.seconds if self.seconds else 0.0

    @property
    def failed(self) -> int:
        """Requests without a 2xx/3xx answer, socket errors included."""
        bad = sum(n for (status, _), n in self.by_answer.items() if status >= 400)
        return bad + self.socket_errors

    def answered_by(self, upstream: str) -> int:
        return sum(n for (_, u), n in self.by_answer.items() if u == upstream)


def start_wrk(url: str, seconds: float, connections: int, workdir: Path,
              threads: int = 2) -> subprocess.Popen:
    script = workdir / "counts.lua"
    script.write_text(WRK_SCRIPT)
    return subprocess.Popen(
        [WRK, f"-t{threads}", f"-c{connections}", f"-d{seconds:g}s", "--timeout", "10s",
         "-s", str(script), url], env=tool_env(),
        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


def finish_wrk(proc: subprocess.Popen, seconds: float) -> Load:
    try:
        output, _ = proc.communicate(timeout=seconds + 30)
    except subprocess.TimeoutExpired:
        proc.kill()
        output, _ = proc.communicate()
        raise LayoutError(f"wrk did not finish:\n{output}")
    by_answer: dict[tuple[int, str], int] = {}
    for status, upstream, n in re.findall(r"^count (\d+) (\S+) (\d+)$", output, re.M):
        by_answer[(int(status), upstream)] = by_answer.get((int(status), upstream), 0) + int(n)
    errors = re.search(r"^errors (\d+) (\d+) (\d+) (\d+) (\d+)$", output, re.M)
    done = re.search(r"^done (\d+) (\d+)$", output, re.M)
    if not errors or not done:
        raise LayoutError(f"wrk gave no summary:\n{output}")
    # The status count is already among the answers; connect, read, write and
    # time-out errors are requests without one.
    socket_errors = sum(int(errors.group(i)) for i in range(1, 5))
    return Load(int(done.group(1)), int(done.group(2)) / 1e6, by_answer, socket_errors, output)


def run_wrk(url: str, seconds: float, connections: int, workdir: Path) -> Load:
    return finish_wrk(start_wrk(url, seconds, connections, workdir), seconds)


# --- The whole layout --------------------------------------------------------------------


class Layout:
    """PostgreSQL, `count` page servers sharing one session key, nginx."""

    def __init__(self, build: Path, workdir: Path, base_env: dict[str, str], count: int = 3,
                 workers: int = 1) -> None:
        self.build = build
        self.workdir = workdir
        self.base_env = base_env
        self.count = count
        self.workers = workers
        self.postgres = Postgres(workdir)
        self.servers: list[PageServer] = []
        self.nginx: Nginx | None = None
        self.env: dict[str, str] = {}
        self.session_key = uuid.uuid4().hex + uuid.uuid4().hex

    def page_env(self, registry: Path, database: str) -> dict[str, str]:
        env = {"PATH": "/usr/local/bin:/usr/bin:/bin", "PYTHONDONTWRITEBYTECODE": "1"}
        env.update(self.base_env)
        env.update({
            "QUILLON_REGISTRY": str(registry),
            "QUILLON_CODEPAGE": "65001",
            # The same key on every page server: a cookie signed by one is
            # read by all.
            "QUILLON_SESSION_KEY": self.session_key,
            "PYTHONPATH": os.pathsep.join((str(self.build / "python"), str(SAMPLE))),
            "SAMPLE_HOME": str(SAMPLE),
            "SAMPLE_DATABASE": database,
        })
        return env

    def start(self) -> "Layout":
        self.workdir.mkdir(parents=True, exist_ok=True)
        registry = self.workdir / "registry"
        reg_env = dict(os.environ, QUILLON_REGISTRY=str(registry))
        for library in LIBRARIES:
            subprocess.run([str(self.build / "bin" / "qreg"), "register",
                            str(self.build / "lib" / library)], env=reg_env, check=True,
                           capture_output=True, timeout=60)
        self.postgres.start()
        database = self.postgres.create_database()
        self.env = self.page_env(registry, database)
        result = subprocess.run([PYTHON, str(SAMPLE / "setup_db.py")], env=self.env,
                                capture_output=True, timeout=120, check=False)
        if result.returncode != 0:
            raise LayoutError(f"setup_db.py failed:\n{result.stdout.decode()}"
                              f"{result.stderr.decode()}")
        for i in range(self.count):
            self.servers.append(self.new_server(f"page{i + 1}"))
        self.nginx = Nginx(self.workdir / "nginx", self.servers).start()
        for server in self.servers:
            self.wait_serving(server)
        return self

    def new_server(self, name: str, port: int = 0, env: dict[str, str] | None = None
                   ) -> PageServer:
        return PageServer(name, self.env if env is None else env, self.workdir / f"{name}.log",
                          self.workers, port).start()

    def wait_serving(self, server: PageServer, timeout: float = START_TIMEOUT_S) -> None:
        """Until the server answers a page through its pinned front."""
        def answers() -> bool:
            try:
                return fetch(self.nginx.url("/cgi-bin/list.py", server), timeout=10).status == 200
            except OSError:
                return False
        wait_until(answers, timeout, f"{server.name} did not answer", server.log)

    def restart(self, server: PageServer) -> None:
        server.procs = []
        server.start()  # the same port: nginx knows it by address

    def stop(self) -> None:
        if self.nginx is not None:
            self.nginx.stop()
        for server in self.servers:
            server.stop()
        self.postgres.stop()


# --- The benchmark -----------------------------------------------------------------------


def bench(build: Path, seconds: float, connections: int, workers: int) -> int:
    workdir = Path(tempfile.mkdtemp(prefix="quillon-scaleout-"))
    layout = Layout(build, workdir, {}, count=3, workers=workers)
    try:
        layout.start()
        print(f"page servers: 3 x {workers} processes of sample/site.py; nginx; PostgreSQL "
              f"through ODBC; wrk -t2 -c{connections} -d{seconds:g}s /cgi-bin/list.py")
        for count in (1, 2, 3):
            front = Nginx(workdir / f"nginx-{count}", layout.servers[:count]).start()
            try:
                load = run_wrk(front.url("/cgi-bin/list.py"), seconds, connections, workdir)
            finally:
                front.stop()
            print(f"  {count} page server{'s' if count > 1 else ' '}: "
                  f"{load.per_second:8.1f} requests/s ({load.requests} requests, "
                  f"{load.failed} failed)")
        victim = layout.servers[1]
        proc = start_wrk(layout.nginx.url("/cgi-bin/list.py"), seconds, connections, workdir)
        time.sleep(seconds / 3)
        victim.kill()
        during = finish_wrk(proc, seconds)
        after = run_wrk(layout.nginx.url("/cgi-bin/list.py"), seconds, connections, workdir)
        layout.restart(victim)
        began = time.monotonic()
        while fetch(layout.nginx.url("/cgi-bin/list.py")).upstream != victim.address:
            if time.monotonic() - began > 30:
                print("  the restarted server took no request within 30 s")
                return 1
        print(f"  {victim.name} killed under load: {during.failed} of {during.requests} "
              f"requests failed ({during.per_second:.1f} requests/s); afterwards "
              f"{after.failed} of {after.requests} failed, {after.answered_by(victim.address)} "
              f"answered by it; restarted, it answered again after "
              f"{time.monotonic() - began:.1f} s")
        return 0
    finally:
        layout.stop()
        shutil.rmtree(workdir, ignore_errors=True)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build", type=Path)
    parser.add_argument("--seconds", type=float, default=5)
    parser.add_argument("--connections", type=int, default=16)
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args()
    return bench(args.build.resolve(), args.seconds, args.connections, args.workers)


if __name__ == "__main__":
    sys.exit(main())
