"""The client control against real peers on 127.0.0.1: QServer pages under
lighttpd (plain and TLS), and a real HTTP proxy (tinyproxy).

The client runs in a program of its own, as a client application would, and
reports what it saw as JSON.
"""

from __future__ import annotations

import json
import shutil
import socket
import subprocess
import time
from pathlib import Path

import pytest

import harness
from conftest import require_built

ERR_SERVER = 0x800A272F      # 10031: status 400 or above
ERR_NO_DATA = 0x800A2730     # 10032: no session text / no result
ERR_CONNECT = 0x800A2731     # 10033: the transport's failure

CLIENT = r"""
import json, sys, quillon
plan = json.loads(sys.argv[1])
c = quillon.CreateObject("QClient.QClientCtrl.2")
for name, value in plan.get("props", {}).items():
    setattr(c, name, value)
for name, value in plan.get("strings", []):
    c.SetStringData(name, value)
for name, value in plan.get("binary", []):
    c.SetBinaryData(name, bytes.fromhex(value))
for name, kind, database, table in plan.get("recordsets", []):
    c.SetRecordsetData(name, kind, database, table)
out = {}
try:
    if "download" in plan:
        got = c.Download(plan["download"], plan.get("local", ""))
        out["download"] = bytes(got).hex() if isinstance(got, (bytes, bytearray)) else None
    else:
        out["result"] = c.ProcessSession()
        names = [c.GetDataName(i) for i in range(c.GetDataNameCount())]
        out["names"] = names
        out["text"] = {n: c.GetStringData(n, 0) for n in names}
        out["bytes"] = {n: bytes(c.GetBinaryData(n, 0)).hex() for n in names}
except quillon.Error as e:
    out["hresult"] = e.hresult & 0xFFFFFFFF
    out["description"] = e.description
print(json.dumps(out))
"""

# Echoes every value it was sent, as bytes, and answers with a result.
ECHO_PAGE = """\
#!/usr/bin/python3
import quillon
srv = quillon.CreateObject("QServer.QServer")
quillon.LoadFromStream(srv)
for i in range(srv.GetDataNameCount()):
    name = srv.GetDataName(i)
    srv.SetBinaryData(name, srv.GetBinaryData(name, 0))
srv.Result = "echoed"
del srv
"""


def run_client(env: dict[str, str], plan: dict) -> dict:
    result = subprocess.run([harness.PYTHON, "-c", CLIENT, json.dumps(plan)], env=env,
                            capture_output=True, timeout=120, check=False)
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    return json.loads(result.stdout)


def port_no(port: int) -> int:
    """PortNo and ProxyPort are signed 16-bit properties: ports above 32767
    are given as their negative two's-complement value, as any script must."""
    return port - 65536 if port > 32767 else port


def at(server: harness.LighttpdServer, app: str, **props) -> dict:
    return {"ServerName": "127.0.0.1", "PortNo": port_no(server.port), "AppName": app, **props}


@pytest.fixture
def pages(lighttpd_factory, page_env, build_dir: Path):
    server = lighttpd_factory(env=page_env, cgi={"echo.py": ECHO_PAGE})
    server.link_cgi("hello", require_built(build_dir / "bin" / "qserver_hello",
                                           "the example qserver_hello"))
    (server.docroot / "files").mkdir()
    (server.docroot / "files" / "data.bin").write_bytes(bytes(range(256)) * 9)
    return server


def test_hello_answers_the_control(pages, page_env):
    out = run_client(page_env, {"props": at(pages, "/cgi-bin/hello"),
                                "strings": [["name", "Taro"], ["session", "1"]]})
    assert out["result"] == "OK"
    assert out["text"]["greeting"] == "Hello, Taro"


@pytest.mark.parametrize("codepage", ["65001", "932"])
def test_values_travel_unchanged_both_ways(pages, page_env, codepage):
    env = dict(page_env, QUILLON_CODEPAGE=codepage)
    server = pages
    # The page runs with the code page its environment names.
    server.cgi_env["QUILLON_CODEPAGE"] = codepage
    server.stop()
    server.start()
    binary = bytes([0, 1, 0, 255, 13, 10, 0x26, 0x3D]).hex()
    out = run_client(env, {"props": at(server, "/cgi-bin/echo.py"),
                           "strings": [["text", "日本語のテキスト & = + %"], ["empty", ""]],
                           "binary": [["blob", binary]]})
    assert out["result"] == "echoed", out
    assert out["text"]["text"] == "日本語のテキスト & = + %"
    assert out["text"]["empty"] == ""
    assert out["bytes"]["blob"] == binary
    assert out["text"]["blob_file_name_"] == ""


# Stores the recordset it was sent into its own database.
IMPORT_PAGE = """\
#!/usr/bin/python3
import os, quillon
srv = quillon.CreateObject("QServer.QServer")
quillon.LoadFromStream(srv)
srv.GetRecordsetData("rows", 0, int(os.environ["IMPORT_ENGINE"]), os.environ["IMPORT_DATABASE"],
                     os.environ["IMPORT_TABLE"])
srv.Result = "stored"
del srv
"""


def test_a_recordset_travels_to_the_server_database(lighttpd_factory, page_env, tmp_path):
    import sqlite3
    source = tmp_path / "client.db"
    target = tmp_path / "server.db"
    rows = [(1, "Taro\tYamada", 1.5, b"\x00\xff"), (2, "改行\r\nと\"引用\"", None, None)]
    for path, fill in ((source, True), (target, False)):
        with sqlite3.connect(path) as db:
            db.execute("CREATE TABLE people (id INTEGER, name TEXT, score REAL, photo BLOB)")
            if fill:
                db.executemany("INSERT INTO people VALUES (?, ?, ?, ?)", rows)
    server = lighttpd_factory(env=dict(page_env, IMPORT_DATABASE=str(target), IMPORT_ENGINE="3",
                                       IMPORT_TABLE="people"),
                              cgi={"import.py": IMPORT_PAGE})
    out = run_client(page_env, {"props": at(server, "/cgi-bin/import.py"),
                                "recordsets": [["rows", 3, str(source), "people"]]})
    assert out.get("result") == "stored", (out, server.error_log_text())
    with sqlite3.connect(target) as db:
        assert db.execute("SELECT * FROM people ORDER BY id").fetchall() == rows


def test_a_recordset_travels_from_sqlite_to_postgresql(lighttpd_factory, page_env, tmp_path):
    """The client reads SQLite through DAO, the page writes PostgreSQL through
    ADO: the rows arrive with their types."""
    import os
    import sqlite3
    pg_port = os.environ.get("QUILLON_TEST_PG_PORT")
    if not pg_port:
        pytest.skip("no PostgreSQL service (./run test starts one)")
    table = f"people_{os.getpid()}"
    psql = ["psql", "-h", "127.0.0.1", "-p", pg_port, "-U", "postgres", "-d", "postgres", "-qAtc"]
    # psql hangs with the sanitizer runtime preloaded; it needs none.
    plain_env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "ASAN_OPTIONS")}
    subprocess.run(psql + [f"DROP TABLE IF EXISTS {table}; CREATE TABLE {table} "
                           "(id integer, name text, score double precision, photo bytea)"],
                   check=True, capture_output=True, timeout=60, stdin=subprocess.DEVNULL,
                   env=plain_env)
    source = tmp_path / "client.db"
    with sqlite3.connect(source) as db:
        db.execute("CREATE TABLE people (id INTEGER, name TEXT, score REAL, photo BLOB)")
        db.executemany("INSERT INTO people VALUES (?, ?, ?, ?)",
                       [(1, "Taro\tYamada", 1.5, b"\x00\xff"), (2, "日本語", None, None)])
    connection = (f"Driver={{PostgreSQL Unicode}};Server=127.0.0.1;Port={pg_port};"
                  "Database=postgres;Uid=postgres;")
    server = lighttpd_factory(env=dict(page_env, IMPORT_DATABASE=connection, IMPORT_ENGINE="2",
                                       IMPORT_TABLE=table),
                              cgi={"import.py": IMPORT_PAGE})
    out = run_client(page_env, {"props": at(server, "/cgi-bin/import.py"),
                                "recordsets": [["rows", 3, str(source), "people"]]})
    assert out.get("result") == "stored", (out, server.error_log_text())
    rows = subprocess.run(psql + [f"SELECT id, name, score, encode(photo, 'hex') FROM {table} "
                                  "ORDER BY id"], check=True, capture_output=True, text=True,
                          stdin=subprocess.DEVNULL, env=plain_env,
                          timeout=60).stdout
    assert rows == "1|Taro\tYamada|1.5|00ff\n2|日本語||\n"


def test_status_404_names_its_number(pages, page_env):
    out = run_client(page_env, {"props": at(pages, "/cgi-bin/missing")})
    assert out["hresult"] == ERR_SERVER
    assert out["description"].endswith("＝404")


def test_page_with_its_own_body_is_shown_to_the_caller(pages, page_env):
    out = run_client(page_env, {"props": at(pages, "/cgi-bin/hello"),
                                "strings": [["name", "Taro"]]})
    assert out["hresult"] == ERR_NO_DATA
    assert out["description"].endswith("\n\n<html><body><p>Hello, Taro!</p></body></html>\r\n")


def test_unused_port_reports_the_transport_code(page_env):
    out = run_client(page_env, {"props": {"ServerName": "127.0.0.1",
                                          "PortNo": port_no(harness.free_port()),
                                          "AppName": "/x"}})
    assert out["hresult"] == ERR_CONNECT
    assert out["description"].endswith("＝7")  # connection refused


def test_download_to_memory_and_to_a_file(pages, page_env, tmp_path):
    expected = (bytes(range(256)) * 9).hex()
    out = run_client(page_env, {"props": at(pages, ""), "download": "/files/data.bin"})
    assert out["download"] == expected
    local = tmp_path / "copy.bin"
    out = run_client(page_env, {"props": at(pages, ""), "download": "/files/data.bin",
                                "local": str(local)})
    assert out["download"] is None
    assert local.read_bytes().hex() == expected
    missing = tmp_path / "missing.bin"
    out = run_client(page_env, {"props": at(pages, ""), "download": "/files/none",
                                "local": str(missing)})
    assert out["hresult"] == ERR_SERVER
    assert not missing.exists()


# --- Through a real proxy -------------------------------------------------------------


@pytest.fixture
def proxy(tmp_path):
    program = shutil.which("tinyproxy") or "/usr/bin/tinyproxy"
    if not Path(program).exists():
        pytest.fail("tinyproxy is not installed (./run test installs it)")
    port = harness.free_port()
    log = tmp_path / "tinyproxy.log"
    conf = tmp_path / "tinyproxy.conf"
    conf.write_text(f'Port {port}\nListen 127.0.0.1\nTimeout 60\nAllow 127.0.0.1\n'
                    f'LogFile "{log}"\nLogLevel Connect\nMaxClients 4\n')
    proc = subprocess.Popen([program, "-d", "-c", str(conf)], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    deadline = time.monotonic() + 10
    while True:
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=0.5):
                break
        except OSError:
            if time.monotonic() > deadline or proc.poll() is not None:
                proc.kill()
                pytest.fail("tinyproxy did not start")
            time.sleep(0.05)
    yield port, log
    proc.terminate()
    proc.wait(timeout=10)


@pytest.mark.parametrize("environment", [
    {},
    # The environment's exceptions never send the exchange around the proxy
    # that is set.
    {"no_proxy": "127.0.0.1"},
    {"NO_PROXY": "127.0.0.1,localhost"},
    {"no_proxy": "*"},
], ids=["plain", "no_proxy", "NO_PROXY", "no_proxy-all"])
def test_exchange_goes_through_the_proxy(pages, page_env, proxy, environment):
    port, log = proxy
    out = run_client(dict(page_env, **environment),
                     {"props": at(pages, "/cgi-bin/hello", ProxyServer="127.0.0.1",
                                  ProxyPort=port_no(port)),
                      "strings": [["name", "Proxy"], ["session", "1"]]})
    assert out.get("result") == "OK", out
    assert out["text"]["greeting"] == "Hello, Proxy"
    assert f"127.0.0.1:{pages.port}/cgi-bin/hello" in log.read_text(errors="replace")


def test_without_a_proxy_the_environments_proxy_is_ignored(pages, page_env):
    dead = f"http://127.0.0.1:{harness.free_port()}"
    env = dict(page_env, http_proxy=dead, HTTP_PROXY=dead, all_proxy=dead)
    out = run_client(env, {"props": at(pages, "/cgi-bin/hello"),
                           "strings": [["name", "Direct"], ["session", "1"]]})
    assert out.get("result") == "OK", out


# --- Over TLS ----------------------------------------------------------------------------


def _openssl(*args, cwd):
    subprocess.run(["openssl", *args], cwd=cwd, check=True, capture_output=True, timeout=60)


@pytest.fixture(scope="module")
def certificates(tmp_path_factory):
    """A test CA, three server certificates and a stranger's CA."""
    d = tmp_path_factory.mktemp("tls")
    _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out",
             "ca.pem", "-days", "30", "-subj", "/CN=Quillon Test CA", cwd=d)
    _openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "stranger.key", "-out",
             "stranger.pem", "-days", "30", "-subj", "/CN=127.0.0.1", cwd=d)
    (d / "index.txt").write_text("")
    (d / "serial").write_text("01\n")
    (d / "ca.cnf").write_text(
        "[ca]\ndefault_ca = test\n[test]\ndir = .\ndatabase = index.txt\nnew_certs_dir = .\n"
        "serial = serial\ndefault_md = sha256\npolicy = any\nunique_subject = no\n"
        "copy_extensions = copy\n[any]\ncommonName = supplied\n")

    def issue(name, subject, start, end, names):
        _openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", f"{name}.key", "-out",
                 f"{name}.csr", "-subj", subject, "-addext", names, cwd=d)
        _openssl("ca", "-batch", "-config", "ca.cnf", "-cert", "ca.pem", "-keyfile", "ca.key",
                 "-in", f"{name}.csr", "-out", f"{name}.pem", "-startdate", start, "-enddate",
                 end, "-notext", cwd=d)

    issue("good", "/CN=127.0.0.1", "20240101000000Z", "20990101000000Z",
          "subjectAltName=IP:127.0.0.1")
    issue("expired", "/CN=127.0.0.1", "20200101000000Z", "20210101000000Z",
          "subjectAltName=IP:127.0.0.1")
    issue("othername", "/CN=wrong.example", "20240101000000Z", "20990101000000Z",
          "subjectAltName=DNS:wrong.example")
    return d


@pytest.fixture
def tls_pages(lighttpd_factory, page_env, build_dir, certificates):
    ports = {name: harness.free_port() for name in ("good", "expired", "othername", "stranger")}
    blocks = "\n".join(
        f'$SERVER["socket"] == "127.0.0.1:{port}" {{\n'
        f'  ssl.engine = "enable"\n'
        f'  ssl.pemfile = "{certificates / (name + ".pem")}"\n'
        f'  ssl.privkey = "{certificates / (name + ".key")}"\n}}'
        for name, port in ports.items())
    server = lighttpd_factory(env=page_env, extra_conf='server.modules += ("mod_openssl")\n' +
                              blocks)
    server.link_cgi("hello", require_built(build_dir / "bin" / "qserver_hello",
                                           "the example qserver_hello"))
    return ports


STRICT, LENIENT_ENV, LENIENT_REGISTRY, REGISTRY_OVERRULED = (
    "strict", "env", "registry", "registry-but-env-0")


@pytest.mark.parametrize("certificate, setting, accepted", [
    # By default the certificate must be valid today and name the host.
    ("good", STRICT, True),
    ("expired", STRICT, False),
    ("othername", STRICT, False),
    ("stranger", STRICT, False),
    # The documented setting forgives dates and names, nothing else.
    ("expired", LENIENT_ENV, True),
    ("othername", LENIENT_ENV, True),
    ("stranger", LENIENT_ENV, False),
    ("good", LENIENT_ENV, True),
    ("expired", LENIENT_REGISTRY, True),
    ("othername", LENIENT_REGISTRY, True),
    ("stranger", LENIENT_REGISTRY, False),
    ("othername", REGISTRY_OVERRULED, False),
])
def test_tls_checks_dates_and_names_unless_told_otherwise(tls_pages, page_env, certificates, qreg,
                                                          quillon_registry, certificate, setting,
                                                          accepted):
    env = dict(page_env, QUILLON_CA_BUNDLE=str(certificates / "ca.pem"))
    if setting == LENIENT_ENV:
        env["QUILLON_LENIENT_TLS"] = "1"
    if setting in (LENIENT_REGISTRY, REGISTRY_OVERRULED):
        subprocess.run([str(qreg), "set", "Software\\Quillon\\QClient", "LenientTLS", "1"],
                       env=dict(env), check=True, capture_output=True, timeout=60)
    if setting == REGISTRY_OVERRULED:
        env["QUILLON_LENIENT_TLS"] = "0"
    props = {"ServerName": "127.0.0.1", "UseSSL": True, "AppName": "/cgi-bin/hello"}
    props["PortNo"] = port_no(tls_pages[certificate])  # after UseSSL, which sets 443
    out = run_client(env, {"props": props, "strings": [["name", "Sec"], ["session", "1"]]})
    if accepted:
        assert out.get("result") == "OK", out
    else:
        assert out["hresult"] == ERR_CONNECT, out
        assert out["description"].endswith("＝60")  # the peer's certificate was refused


# --- The offline exchange ------------------------------------------------------------------

# Stands in for the monitor: publishes "Quillon.QMonitor" and runs an
# offline exchange against it in the same program.
OFFLINE = r"""
import json, sys, quillon
fail = sys.argv[1]
class Monitor:
    def EditRequestData(self, text):
        if fail == "request":
            raise ValueError("the request was refused")
        return text
    def EditResponseData(self, header, body, kind):
        if fail == "response":
            raise RuntimeError("the answer was refused")
        return "QServerResult=done&x=1"
out = {}
with quillon.publish("Quillon.QMonitor", Monitor(), serve_on_thread=True):
    c = quillon.CreateObject("QClient.QClientCtrl.2")
    quillon.LoadFromStream(c, {"OffLineDebug": True, "ServerName": "unused.invalid"})
    c.SetStringData("name", "Taro")
    try:
        out["result"] = c.ProcessSession()
        out["x"] = c.GetStringData("x", 0)
    except quillon.Error as e:
        out["hresult"] = e.hresult & 0xFFFFFFFF
        out["description"] = e.description
        out["source"] = e.source
    c._release()
print(json.dumps(out))
"""


@pytest.mark.parametrize("fail, expected", [
    ("none", {"result": "done", "x": "1"}),
    # What the monitor reports reaches the caller unchanged.
    ("request", {"hresult": 0x80004005, "description": "ValueError: the request was refused",
                 "source": "Quillon.QMonitor"}),
    ("response", {"hresult": 0x80004005, "description": "RuntimeError: the answer was refused",
                  "source": "Quillon.QMonitor"}),
])
def test_offline_exchange_passes_the_monitors_errors_on(page_env, tmp_path, fail, expected):
    env = dict(page_env, QUILLON_RUNTIME_DIR=str(tmp_path / "run"))
    result = subprocess.run([harness.PYTHON, "-c", OFFLINE, fail], env=env, capture_output=True,
                            timeout=120, check=False)
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    assert json.loads(result.stdout) == expected


# --- Signed session cookies over HTTPS ------------------------------------------------------

def test_signed_session_cookies_are_secure_only_over_https(lighttpd_factory, page_env, build_dir,
                                                          certificates):
    import http.client
    import re
    import ssl
    tls_port = harness.free_port()
    server = lighttpd_factory(
        env=dict(page_env, QUILLON_SESSION_KEY="an integration key"),
        extra_conf='server.modules += ("mod_openssl")\n'
                   f'$SERVER["socket"] == "127.0.0.1:{tls_port}" {{\n'
                   f'  ssl.engine = "enable"\n'
                   f'  ssl.pemfile = "{certificates / "good.pem"}"\n'
                   f'  ssl.privkey = "{certificates / "good.key"}"\n}}')
    server.link_cgi("q", require_built(build_dir / "bin" / "qserver_test_cgi",
                                       "the QServer test CGI"))
    context = ssl.create_default_context(cafile=str(certificates / "ca.pem"))
    connection = http.client.HTTPSConnection("127.0.0.1", tls_port, context=context, timeout=30)
    try:
        connection.request("GET", "/cgi-bin/q/session")
        answer = connection.getresponse()
        answer.read()
        over_tls = [v for k, v in answer.getheaders() if k.lower() == "set-cookie"]
    finally:
        connection.close()
    plain = server.request("GET", "/cgi-bin/q/session").header_values("Set-Cookie")
    signed = r"__QuillonSV_count=1\.\d{10}\.[A-Za-z0-9_-]{43};  path=/; HttpOnly; SameSite=Lax"
    assert any(re.fullmatch(signed + "; Secure", v) for v in over_tls), over_tls
    assert any(re.fullmatch(signed.encode(), v) for v in plain), plain
    # The page's own cookie is left as it was.
    assert b"plain=v+1;  path=/" in plain
