#!/usr/bin/python3
"""Serves the contact book with a private lighttpd on 127.0.0.1 (what
`./run sample` runs after building).

  serve.py BUILD_DIR [--check] [--port N]

Everything it makes lives in BUILD_DIR/sample-state: the class registry the
pages use, the SQLite database (unless SAMPLE_DATABASE names another one),
the lighttpd configuration and the logs. With --check it fetches the list
page once and exits: 0 when the page came back.
"""

from __future__ import annotations

import argparse
import os
import re
import signal
import socket
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

HERE = Path(__file__).resolve().parent
LIGHTTPD = "/usr/sbin/lighttpd"
PYTHON = "/usr/bin/python3"
LIBRARIES = ("libqserver.so", "libqclient.so", "libquillon-engines.so")


def port_is_free(port: int) -> bool:
    with socket.socket() as sock:
        try:
            sock.bind(("127.0.0.1", port))
        except OSError:
            return False
    return True


def free_port() -> int:
    with socket.socket() as sock:
        sock.bind(("127.0.0.1", 0))
        return sock.getsockname()[1]


def quote(value: str) -> str:
    if value.endswith("\\") or any(ord(c) < 0x20 for c in value):
        raise ValueError(f"cannot be written into a lighttpd configuration: {value!r}")
    return '"' + value.replace('"', '\\"') + '"'


def page_environment(build: Path, state: Path) -> dict[str, str]:
    """What every page gets from lighttpd (CGI children see nothing else)."""
    env = {
        "PATH": "/usr/local/bin:/usr/bin:/bin",
        "QUILLON_REGISTRY": str(state / "registry"),
        "QUILLON_CODEPAGE": "65001",
        "LD_LIBRARY_PATH": str(build / "lib"),
        "PYTHONPATH": os.pathsep.join((str(build / "python"), str(HERE))),
        "PYTHONDONTWRITEBYTECODE": "1",
        "SAMPLE_HOME": str(HERE),
        "SAMPLE_DATABASE": os.environ.get("SAMPLE_DATABASE") or str(state / "contacts.db"),
    }
    # A sanitized build's libraries need their runtime preloaded in the
    # pages as in this process.
    for name in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS"):
        if name in os.environ:
            env[name] = os.environ[name]
    return env


def register(build: Path, env: dict[str, str]) -> None:
    for library in LIBRARIES:
        subprocess.run([str(build / "bin" / "qreg"), "register", str(build / "lib" / library)],
                       env=dict(os.environ, **env), check=True, stdout=subprocess.DEVNULL)


def populate_cgi_bin(build: Path, cgi_bin: Path) -> None:
    cgi_bin.mkdir(parents=True, exist_ok=True)
    links = {page.name: page for page in (HERE / "cgi-bin").glob("*.py")}
    links["list.cgi"] = build / "bin" / "sample_list"
    for name, target in links.items():
        link = cgi_bin / name
        if link.is_symlink() or link.exists():
            link.unlink()
        link.symlink_to(target)


def configuration(state: Path, port: int, env: dict[str, str]) -> str:
    items = ",\n".join(f"  {quote(k)} => {quote(v)}" for k, v in sorted(env.items()))
    return f"""\
server.modules = ("mod_setenv", "mod_cgi", "mod_accesslog", "mod_redirect")
server.document-root = {quote(str(state / "htdocs"))}
server.bind = "127.0.0.1"
server.port = {port}
server.errorlog = {quote(str(state / "error.log"))}
accesslog.filename = {quote(str(state / "access.log"))}
url.redirect = ("^/$" => "/cgi-bin/list.py")
mimetype.assign = (".html" => "text/html", "" => "application/octet-stream")
$HTTP["url"] =~ "^/cgi-bin/" {{
  cgi.assign = (".py" => {quote(PYTHON)}, ".cgi" => "")
}}
setenv.add-environment = (
{items}
)
"""


def wait_ready(proc: subprocess.Popen, port: int, log: Path, seconds: float = 10) -> bool:
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            return False
        if log.exists() and "server started" in log.read_text(errors="replace"):
            return True
        time.sleep(0.05)
    return False


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("build", type=Path)
    parser.add_argument("--check", action="store_true",
                        help="fetch the list page once and exit")
    parser.add_argument("--port", type=int, default=int(os.environ.get("SAMPLE_PORT", "8080")))
    args = parser.parse_args()

    build = args.build.resolve()
    state = build / "sample-state"
    state.mkdir(parents=True, exist_ok=True)
    env = page_environment(build, state)
    register(build, env)
    # The database is made with the page environment, exactly as the pages
    # will open it.
    subprocess.run([PYTHON, str(HERE / "setup_db.py")], env=env, check=True)
    populate_cgi_bin(build, state / "htdocs" / "cgi-bin")

    port = args.port if port_is_free(args.port) else free_port()
    conf = state / "lighttpd.conf"
    conf.write_text(configuration(state, port, env))
    error_log = state / "error.log"
    error_log.write_text("")
    output_log = state / "output.log"
    with open(output_log, "wb") as output:
        proc = subprocess.Popen([LIGHTTPD, "-D", "-f", str(conf)], stdin=subprocess.DEVNULL,
                                stdout=output, stderr=subprocess.STDOUT, start_new_session=True)
    address = f"http://127.0.0.1:{port}/"
    try:
        if not wait_ready(proc, port, error_log):
            print(error_log.read_text(errors="replace") + output_log.read_text(errors="replace"),
                  file=sys.stderr)
            print("lighttpd did not start", file=sys.stderr)
            return 1
        if port != args.port:
            print(f"port {args.port} is taken; using {port}")
        print(f"The contact book is at {address}")
        print(f"  database: {env['SAMPLE_DATABASE']}")
        print(f"  logs:     {error_log} (server and page errors), {state / 'access.log'}")
        print(f"  client:   PYTHONPATH={build / 'python'} QUILLON_REGISTRY={env['QUILLON_REGISTRY']} "
              f"{PYTHON} {HERE / 'client.py'} --port {port}")
        if args.check:
            try:
                with urllib.request.urlopen(address + "cgi-bin/list.py", timeout=60) as response:
                    body = response.read().decode("utf-8", "replace")
            except OSError as error:  # HTTPError included: the page failed
                print(f"check: list page failed: {error}\n{error_log.read_text(errors='replace')}",
                      file=sys.stderr)
                return 1
            ok = re.search(r"\d+ contacts", body) is not None
            print("check:", "list page served" if ok else "unexpected list page:\n" + body)
            return 0 if ok else 1
        print("Press Ctrl-C to stop.")
        # Ctrl-C, a hang-up or a plain kill stop lighttpd too (through the
        # finally below).
        def stop(*_):
            print("\nstopping")
            sys.exit(0)
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            signal.signal(sig, stop)
        proc.wait()
        return 0
    finally:
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)
            try:
                proc.wait(timeout=5)
            except subprocess.TimeoutExpired:
                proc.kill()
        try:
            os.killpg(proc.pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


if __name__ == "__main__":
    sys.exit(main())
