"""The monitor end to end: lighttpd runs qmonitor as a page's CGI program and
it forwards each request to the page program's debug object (C++ and
Python), which runs in a process of its own as under a debugger; and the
client control's offline exchange through a started monitor process that
answers from a script."""

from __future__ import annotations

import json
import os
import pwd
import shutil
import signal
import subprocess
import tempfile
import time
from pathlib import Path

import pytest

import harness
from conftest import require_built

M1001 = ("サーバ・アプリケーションの呼び出しに失敗しました。 返されたメッセージは"
         "以下のとおりです。\n\n")
M1002 = ("サーバ・アプリケーションからエラーが返されました。 サーバ・アプリケーションが"
         "強制終了させられたか、正常に稼動していない可能性があります。")
M1003 = ("\nサーバアプリケーションのデバッグ機能の使用をオンにしている場合、Visual Basicの"
         "開発環境でプログラムが実行されている必要があります。\nIISおよびPWSでは、"
         "\"自動的なパスワードの同期\"をオフにすることで回避できる場合があります。")


def error_page(message: str) -> bytes:
    return ("<HTML><HEAD><TITLE>エラー</TITLE></HEAD>\r\n"
            "<BODY bgcolor=white><FONT size=4 color=#800000>\r\n"
            "サーバ・アプリケーション実行エラー<BR><BR>\r\n"
            + message + "<BR>\r\n</FONT></BODY></HTML>").encode()


@pytest.fixture(scope="module")
def qmonitor(build_dir: Path) -> Path:
    return require_built(build_dir / "bin" / "qmonitor", "the monitor qmonitor")


@pytest.fixture(scope="module")
def serve_page(build_dir: Path) -> Path:
    return require_built(build_dir / "bin" / "qserver_serve_page", "the program qserver_serve_page")


PY_PAGE = """\
import os, quillon
def page(srv):
    srv.ContentType = "text/plain"
    srv.WriteString("pid=%d" % os.getpid())
    mode = srv.GetServerVariable("PATH_INFO")
    if mode == "/fail":
        raise RuntimeError("the page failed on purpose")
    if mode == "/die":
        os._exit(3)
    srv.WriteCRLF()
    srv.WriteString("names=%d" % srv.GetDataNameCount())
    for i in range(srv.GetDataNameCount()):
        name = srv.GetDataName(i)
        srv.WriteCRLF()
        srv.WriteString(name + "=" + srv.GetStringData(name, 0))
quillon.serve(page)
"""


class DebugRun:
    """lighttpd with qmonitor as the CGI program "page" of project Demo, and
    a page program started as a developer starts it under a debugger."""

    def __init__(self, lighttpd_factory, cgi_env, qmonitor, tmp_path: Path, ini: bool = True):
        self.runtime = tmp_path / "rt"
        self.runtime.mkdir(mode=0o700)
        self.ini = tmp_path / "Quillon.ini"
        env = dict(cgi_env, QUILLON_RUNTIME_DIR=str(self.runtime), QUILLON_INI=str(self.ini),
                   QUILLON_REGISTRY=str(tmp_path / "cgi-registry"))
        self.env = env
        self.server = lighttpd_factory(env=env)
        program = self.server.link_cgi("page", qmonitor)
        self.program = program
        if ini:
            # The command line lighttpd starts the program with, in another
            # letter case: the lookup compares upper-cased. The monitor and
            # the page run as the same user here, which the monitor trusts
            # only when it is named.
            me = pwd.getpwuid(os.geteuid()).pw_name
            self.ini.write_text("[Debug]\nNumProjects=1\nProject1=Demo\n"
                                f"Demo={str(program).lower()}\nTrustUsers={me}\n")
        self.page: subprocess.Popen | None = None

    def start_page(self, command: list[str], env: dict[str, str]) -> None:
        env = dict(env, QUILLON_DEBUG_PROJECT="Demo", QUILLON_RUNTIME_DIR=str(self.runtime))
        self.page = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 30
        while not (self.runtime / "Demo.QuillonDebug.sock").exists():
            assert self.page.poll() is None, self.page.stderr.read().decode(errors="replace")
            assert time.monotonic() < deadline, "the debug object was not published"
            time.sleep(0.02)

    def stop(self) -> None:
        if self.page and self.page.poll() is None:
            self.page.send_signal(signal.SIGKILL)
            self.page.wait(10)


@pytest.fixture
def debug_run(lighttpd_factory, cgi_env, qmonitor, tmp_path):
    runs = []

    def make(**kwargs) -> DebugRun:
        run = DebugRun(lighttpd_factory, cgi_env, qmonitor, tmp_path / f"run{len(runs)}", **kwargs)
        runs.append(run)
        return run

    (tmp_path / "run0").mkdir()
    yield make
    for run in runs:
        run.stop()


@pytest.mark.parametrize("kind", ["c++", "python"])
def test_browser_request_reaches_the_debugged_page(debug_run, kind, serve_page, tmp_path,
                                                   cgi_env, page_env):
    run = debug_run()
    if kind == "c++":
        run.start_page([str(serve_page)], dict(cgi_env))
    else:
        script = tmp_path / "page.py"
        script.write_text(PY_PAGE)
        run.start_page([harness.PYTHON, str(script)], page_env)
    pid = str(run.page.pid)

    got = run.server.request("GET", "/cgi-bin/page/echo?a=1&b=x+y")
    assert got.status == 200, run.server.error_log_text()
    assert got.header("Content-Type") == b"text/plain"
    values = harness.key_values(got.body)
    assert values["pid"] == pid  # answered by the debugged process, not the CGI child
    assert (values["names"], values["a"], values["b"]) == ("2", "1", "x y")

    got = run.server.request("POST", "/cgi-bin/page/echo?q=z", body=b"c=3&d=%E3%81%82",
                             headers={"Content-Type": "application/x-www-form-urlencoded"})
    values = harness.key_values(got.body)
    assert values["pid"] == pid
    assert (values["names"], values["q"], values["c"]) == ("3", "z", "3")
    assert values["d"] == "あ"

    # The page raises: its text comes back under the debug object's name,
    # and the debugged process serves the next request.
    got = run.server.request("GET", "/cgi-bin/page/fail")
    text = "the page failed on purpose" if kind == "c++" else "RuntimeError: the page failed on purpose"
    assert got.body == error_page("Demo.QuillonDebug : " + text), got.body
    assert harness.key_values(run.server.request("GET", "/cgi-bin/page/echo").body)["pid"] == pid

    # The debugged process dies in the middle of the call.
    started = time.monotonic()
    got = run.server.request("GET", "/cgi-bin/page/die")
    assert got.body == error_page(M1002), got.body
    assert time.monotonic() - started < 5
    run.page.wait(10)


def test_forwarder_calls_no_endpoint_of_its_own_user_unless_named(debug_run, serve_page,
                                                                    cgi_env):
    # Any other program the web server runs shares the monitor's user and
    # could publish first: without TrustUsers (or QUILLON_TRUST_USERS) the
    # page program of that user is not called.
    run = debug_run()
    run.ini.write_text(run.ini.read_text().replace("TrustUsers=", "Unused="))
    run.start_page([str(serve_page)], dict(cgi_env))
    got = run.server.request("GET", "/cgi-bin/page/echo?a=1")
    assert got.body == error_page(M1001 + "<BR>Access is denied.<BR>" + M1003), got.body


def test_error_page_escapes_what_the_visitor_sent(debug_run, tmp_path, page_env):
    run = debug_run()
    script = tmp_path / "page.py"
    script.write_text(PY_PAGE.replace('if mode == "/fail":',
                                      'if mode == "/int":\n'
                                      '        int(srv.GetStringData("n", 0))\n'
                                      '    if mode == "/fail":'))
    run.start_page([harness.PYTHON, str(script)], page_env)
    got = run.server.request("GET", "/cgi-bin/page/int?n=%3Cscript%3Ealert(%22x%22)%3C/script%3E")
    assert got.header("Content-Type") == b"text/html"
    assert b"<script>" not in got.body
    assert got.body == error_page(
        "Demo.QuillonDebug : ValueError: invalid literal for int() with base 10: "
        "'&lt;script&gt;alert(&quot;x&quot;)&lt;/script&gt;'"), got.body


def run_monitor_as_cgi(run: DebugRun, **variables: str) -> bytes:
    """The monitor started as the web server starts it, with `variables`."""
    env = dict(run.env, **variables)
    result = subprocess.run([str(run.program)], env=env, input=b"", capture_output=True,
                            timeout=60)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_forged_line_ends_in_path_info_forge_nothing(debug_run, tmp_path, page_env):
    # A PATH_INFO decoded from "%0D%0AREMOTE_ADDR=..." by the web server:
    # the page still sees the variables the web server set.
    run = debug_run()
    script = tmp_path / "page.py"
    script.write_text(
        "import quillon\n"
        "def page(srv):\n"
        "    srv.ContentType = 'text/plain'\n"
        "    srv.WriteString('|'.join(srv.GetServerVariable(n) for n in\n"
        "                             ('REMOTE_ADDR', 'REQUEST_METHOD', 'PATH_INFO')))\n"
        "quillon.serve(page)\n")
    run.start_page([harness.PYTHON, str(script)], page_env)
    out = run_monitor_as_cgi(run, REQUEST_METHOD="GET", REMOTE_ADDR="127.0.0.1",
                             PATH_INFO="/x\r\nREMOTE_ADDR=10.9.9.9\r\nREQUEST_METHOD=POST")
    assert out.split(b"\r\n\r\n", 1)[1] == \
        b"127.0.0.1|GET|/x  REMOTE_ADDR=10.9.9.9  REQUEST_METHOD=POST\r\n", out


def test_header_alone_claiming_a_gigabyte_is_refused(debug_run):
    run = debug_run()
    out = run_monitor_as_cgi(run, REQUEST_METHOD="POST", CONTENT_LENGTH="1000000000")
    assert out.startswith(b"Content-type: text/html\r\n\r\n")
    assert b"larger than a debug call can carry" in out, out


@pytest.mark.parametrize("ini", [True, False])
def test_no_debug_object_gives_message_1001(debug_run, ini):
    # With the project known but its program not running, and with no
    # "Quillon.ini" at all (ProgID ".QuillonDebug"), creation fails.
    run = debug_run(ini=ini)
    got = run.server.request("GET", "/cgi-bin/page/echo?a=1")
    assert got.status == 200
    assert got.header("Content-Type") == b"text/html"
    assert got.body == error_page(M1001 + "<BR>Invalid class string<BR>" + M1003), got.body


def test_init_registers_and_exits_without_a_window(qmonitor, cgi_env, tmp_path):
    registry = tmp_path / "registry"
    env = {k: v for k, v in cgi_env.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY")}
    env["QUILLON_REGISTRY"] = str(registry)
    result = subprocess.run([str(qmonitor), "/Init"], env=env, capture_output=True, timeout=60)
    assert result.returncode == 0, result.stderr
    text = registry.read_text()
    assert "[Quillon.QMonitor\\CLSID]" in text and "{D1E6C3F1-934D-11D2-A69F-00A0C93ED440}" in text
    assert f'@="{qmonitor.resolve()}"' in text or str(qmonitor.resolve()) in text


CLIENT = """\
import json, sys, quillon
plan = json.loads(sys.argv[1])
ctl = quillon.CreateObject("QClient.QClientCtrl.2")
quillon.LoadFromStream(ctl, {"OffLineDebug": True, "ServerName": "unused.invalid"})
for name, value in plan["values"]:
    ctl.SetStringData(name, value)
out = {}
try:
    out["result"] = ctl.ProcessSession()
    out["x"] = ctl.GetStringData("x", 0) if "x" in [ctl.GetDataName(i) for i in range(ctl.GetDataNameCount())] else None
except quillon.Error as e:
    out["error"] = e.hresult & 0xFFFFFFFF
print(json.dumps(out))
"""


@pytest.mark.parametrize("answer, expected", [
    ("QServerResult=done&x=1", {"result": "done", "x": "1"}),
    ("x=2", {"error": 0x800A2730}),
])
def test_offline_exchange_through_a_started_monitor(qmonitor, page_env, tmp_path, answer,
                                                    expected):
    env = dict(page_env, QT_QPA_PLATFORM="offscreen")
    subprocess.run([str(qmonitor), "/Init"], env=env, check=True, capture_output=True, timeout=60)
    script = tmp_path / "answer.txt"
    script.write_bytes(answer.encode())
    log = tmp_path / "monitor.log"
    env.update(QUILLON_MONITOR_SCRIPT=str(script), QUILLON_MONITOR_LOG=str(log))
    plan = {"values": [["a", "1 2"], ["b", "&="]]}
    result = subprocess.run([harness.PYTHON, "-c", CLIENT, json.dumps(plan)], env=env,
                            capture_output=True, timeout=120)
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    got = json.loads(result.stdout)
    assert {k: v for k, v in got.items() if v is not None} == expected
    lines = log.read_text().splitlines()
    # The request the developer saw: an empty environment line, then the
    # outgoing values encoded; then the response editor's three arguments.
    assert lines[0] == "EditRequestData RequestText=%0D%0Aa%3D1%2B2%26b%3D%2526%253D", lines
    assert lines[1:] == ["EditResponseData HeaderText=&Body=QServerResult%3D&BodyType=string"
                         "&Kind=%2ERES"], lines


def run_as(user: str, command: list[str], env: dict[str, str], stdin: bytes = b""):
    entry = pwd.getpwnam(user)
    return subprocess.run(["setpriv", f"--reuid={entry.pw_uid}", f"--regid={entry.pw_gid}",
                           "--clear-groups",
                           "env", "-i", *[f"{k}={v}" for k, v in env.items()], *command],
                          input=stdin, capture_output=True, timeout=60)


@pytest.mark.parametrize("allowed, answer", [
    ("nobody", "pid"),              # the web server's user is named: served
    ("www-data", "Access is denied."),  # someone else is named: refused
    ("", "Invalid class string"),   # nobody named: not reachable at all
])
def test_forwarding_cgi_as_the_web_servers_user(qmonitor, serve_page, cgi_env, tmp_path,
                                                request, allowed, answer):
    # The monitor's CGI child runs as another user than the developer: it
    # reaches the page program only when the developer names that user.
    if os.geteuid() != 0:
        pytest.skip("needs root to run the CGI side as another user")
    probe = run_as("nobody", ["/bin/test", "-x", str(qmonitor)], {})
    if probe.returncode != 0:
        pytest.skip("the build tree is not reachable by the user nobody")
    # pytest's own folders are the owner's alone; the CGI side's files live
    # where the other user can read them.
    shared = Path(tempfile.mkdtemp(prefix="quillon-cgi-"))
    shared.chmod(0o755)
    request.addfinalizer(lambda: shutil.rmtree(shared, ignore_errors=True))
    ini = shared / "Quillon.ini"
    ini.write_text(f"[Debug]\nNumProjects=1\nProject1=Demo\nDemo={qmonitor}\n")
    ini.chmod(0o644)
    runtime = tmp_path / "rt"
    runtime.mkdir(mode=0o700)
    page_env = dict(cgi_env, QUILLON_DEBUG_PROJECT="Demo", QUILLON_RUNTIME_DIR=str(runtime))
    if allowed:
        page_env["QUILLON_ALLOW_USERS"] = allowed
    page = subprocess.Popen([str(serve_page)], env=page_env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 30
        while not (runtime / "Demo.QuillonDebug.sock").exists():
            assert page.poll() is None and time.monotonic() < deadline
            time.sleep(0.02)
        env = {k: v for k, v in cgi_env.items() if k in ("LD_LIBRARY_PATH", "ASAN_OPTIONS",
                                                           "UBSAN_OPTIONS", "PATH")}
        env.update(QUILLON_INI=str(ini), QUILLON_REGISTRY=str(shared / "registry"),
                   REQUEST_METHOD="POST",
                   CONTENT_LENGTH="3", CONTENT_TYPE="application/x-www-form-urlencoded",
                   PATH_INFO="/echo")
        result = run_as("nobody", [str(qmonitor)], env, stdin=b"a=1")
        assert result.returncode == 0, result.stderr.decode(errors="replace")
        if answer == "pid":
            body = result.stdout.split(b"\r\n\r\n", 1)[1]
            values = harness.key_values(body)
            assert (values.get("pid"), values.get("a")) == (str(page.pid), "1"), result.stdout.decode()
        else:
            assert result.stdout == b"Content-type: text/html\r\n\r\n" + error_page(
                M1001 + "<BR>" + answer + "<BR>" + M1003), result.stdout
    finally:
        page.kill()
        page.wait(10)
