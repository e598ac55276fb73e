"""The sample contact book under a real lighttpd: its pages (Python and the
C++ list page), the client program's recordset round trip, the same
application on PostgreSQL through ADO, and a headless-Chromium walk through
it with a screenshot of each page."""

from __future__ import annotations

import base64
import html
import json
import os
import re
import shutil
import subprocess
import uuid
from pathlib import Path

import pytest

import harness
from conftest import require_built

SAMPLE = Path(__file__).resolve().parents[3] / "sample"
ROW = re.compile(r"<TR><TD><A HREF=\"edit\.py\?id=(\d+)\">(.*?)</A></TD><TD>(.*?)</TD>"
                 r"<TD>(.*?)</TD><TD>(.*?)</TD><TD>(.*?)</TD></TR>")


def run_python(env, *args, timeout=120):
    result = subprocess.run([harness.PYTHON, *map(str, args)], env=env, capture_output=True,
                            timeout=timeout, check=False)
    assert result.returncode == 0, result.stdout.decode() + result.stderr.decode()
    return result.stdout.decode()


# --- Databases: the one setting that picks the engine ----------------------------------


def postgres_setting(env):
    """A fresh PostgreSQL database (made through the ADO engine itself) and
    its connection string; skipped without the test run's PostgreSQL."""
    port = os.environ.get("QUILLON_TEST_PG_PORT")
    if not port:
        pytest.skip("QUILLON_TEST_PG_PORT is not set (./run test starts PostgreSQL)")
    base = ("Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=" + port +
            ";Uid=postgres;BoolsAsChar=0;Database=")
    name = "sample_" + uuid.uuid4().hex[:12]
    run_python(env, "-c", "import sys, quillon\n"
               "c = quillon.CreateObject('ADODB.Connection')\n"
               "c.Open(sys.argv[1])\n"
               "c.Execute('CREATE DATABASE ' + sys.argv[2])\n", base + "postgres", name)
    return base + name


@pytest.fixture(params=["sqlite", "postgres"])
def setting(request, page_env, tmp_path):
    if request.param == "sqlite":
        return str(tmp_path / "contacts.db")
    return postgres_setting(page_env)


def site_env(page_env, setting):
    return dict(page_env, SAMPLE_HOME=str(SAMPLE), SAMPLE_DATABASE=setting)


def start_site(lighttpd_factory, env, build_dir):
    run_python(env, SAMPLE / "setup_db.py")
    server = lighttpd_factory(env=env)
    for page in (SAMPLE / "cgi-bin").glob("*.py"):
        server.link_cgi(page.name, page)
    server.link_cgi("list.cgi", require_built(build_dir / "bin" / "sample_list",
                                              "the sample's C++ list page"))
    return server


@pytest.fixture
def site(lighttpd_factory, page_env, build_dir, setting):
    return start_site(lighttpd_factory, site_env(page_env, setting), build_dir)


def get(server, path, cookie=None):
    response = server.request("GET", path, headers={"Cookie": cookie} if cookie else None)
    assert response.status == 200, (response.raw[:2000], server.error_log_text())
    return response


def rows_of(body: bytes):
    """(id, name, email, phone, kind, file cell) of each list row."""
    return ROW.findall(body.decode())


def multipart(fields: dict, file: tuple[str, str, bytes] | None = None):
    boundary = "sample" + uuid.uuid4().hex
    parts = []
    for name, value in fields.items():
        parts.append(f'--{boundary}\r\nContent-Disposition: form-data; name="{name}"\r\n\r\n'
                     .encode() + value.encode() + b"\r\n")
    if file:
        file_name, content_type, data = file
        parts.append(f'--{boundary}\r\nContent-Disposition: form-data; name="file"; '
                     f'filename="{file_name}"\r\nContent-Type: {content_type}\r\n\r\n'
                     .encode() + data + b"\r\n")
    body = b"".join(parts) + f"--{boundary}--\r\n".encode()
    return body, {"Content-Type": "multipart/form-data; boundary=" + boundary}


def post_contact(server, fields, file=None):
    body, headers = multipart(fields, file)
    response = server.request("POST", "/cgi-bin/edit.py", body=body, headers=headers)
    assert response.status == 302, (response.raw[:2000], server.error_log_text())
    assert response.header("Location") == b"/cgi-bin/list.py"


# --- The pages ------------------------------------------------------------------------


def test_both_list_pages_show_the_same_rows(site, setting):
    engine = b"ODBC (ADO)" if setting.startswith("Driver=") else b"SQLite (DAO)"
    python_page = get(site, "/cgi-bin/list.py").body
    cpp_page = get(site, "/cgi-bin/list.cgi").body
    assert engine in python_page and engine in cpp_page
    python_rows, cpp_rows = rows_of(python_page), rows_of(cpp_page)
    assert [r[1] for r in python_rows] == ["Ada Lovelace", "Grace Hopper",
                                          "Marie &lt;Curie&gt; &amp; Co", "Taro Yamada"]
    assert cpp_rows == python_rows


def test_visitor_text_is_escaped_everywhere(site):
    nasty = '<script>alert("x")</script> & \'q\''
    post_contact(site, {"name": nasty, "email": "<b>@x", "phone": "1", "kind": "work",
                        "newsletter": "yes"})
    escaped = html.escape(nasty, quote=True)
    for page in ("/cgi-bin/list.py", "/cgi-bin/list.cgi"):
        body = get(site, page).body.decode()
        assert "<script>" not in body and "<b>@x" not in body, page
        assert escaped in body, page
    key = next(r[0] for r in rows_of(get(site, "/cgi-bin/list.py").body) if r[2] == "&lt;b&gt;@x")
    form = get(site, f"/cgi-bin/edit.py?id={key}").body.decode()
    assert f'VALUE="{escaped}"' in form
    assert "<script>" not in form


def test_form_is_filled_and_read_back(site):
    post_contact(site, {"name": "Form Test", "email": "f@x", "phone": "9", "kind": "family",
                        "newsletter": "yes"})
    key = next(r[0] for r in rows_of(get(site, "/cgi-bin/list.py").body) if r[1] == "Form Test")
    form = get(site, f"/cgi-bin/edit.py?id={key}").body.decode()
    assert '<OPTION VALUE="family" SELECTED>' in form and '"work" SELECTED' not in form
    assert '<INPUT TYPE="radio" NAME="newsletter" VALUE="yes" CHECKED>' in form
    assert 'VALUE="no" CHECKED' not in form
    # An edit changes every field; a kind outside the list falls back.
    post_contact(site, {"id": key, "name": "Form Test 2", "email": "g@x", "phone": "8",
                        "kind": "hacker", "newsletter": "no"})
    row = next(r for r in rows_of(get(site, "/cgi-bin/list.py").body) if r[0] == key)
    assert row[1:5] == ("Form Test 2", "g@x", "8", "friend")
    form = get(site, f"/cgi-bin/edit.py?id={key}").body.decode()
    assert 'VALUE="no" CHECKED' in form


def test_values_that_would_break_a_quoted_statement_are_stored_as_typed(site):
    # Every value the pages write is bound to the statement, never quoted
    # into it: these arrive and come back exactly.
    values = {"name": "O'Brien; DROP TABLE contacts; --", "email": "a'); DELETE FROM contacts; --",
              "phone": "日本語「'」;", "kind": "work", "newsletter": "no"}
    post_contact(site, values)
    row = next(r for r in rows_of(get(site, "/cgi-bin/list.py").body)
               if r[1] == html.escape(values["name"], quote=True))
    assert row[2:4] == (html.escape(values["email"], quote=True),
                        html.escape(values["phone"], quote=True))
    assert len(rows_of(get(site, "/cgi-bin/list.py").body)) == 5
    # An edit of the same row through the UPDATE statement.
    values["name"] = "It's \"quoted\" again"
    post_contact(site, dict(values, id=row[0]))
    form = get(site, f"/cgi-bin/edit.py?id={row[0]}").body.decode()
    assert f'VALUE="{html.escape(values["name"], quote=True)}"' in form
    assert len(rows_of(get(site, "/cgi-bin/list.py").body)) == 5
    # An identifier that is no number names no row.
    for key in ("1 OR 1=1", "1;DROP TABLE contacts", "9" * 40):
        assert site.request("GET", "/cgi-bin/download.py?id=" + key.replace(" ", "+")).status == 404


def test_uploaded_bytes_come_back_unchanged(site):
    first = bytes(range(256)) * 40 + b"\x00\r\n\x00"
    post_contact(site, {"name": "Files", "kind": "work"}, ("photo.bin", "image/x-test", first))
    key = next(r[0] for r in rows_of(get(site, "/cgi-bin/list.py").body) if r[1] == "Files")
    cases = [
        # (what the edit posts, bytes expected afterwards, type expected)
        (None, first, b"image/x-test"),                       # no new file: kept
        (("notes.txt", "text/plain", b"second"), b"second", b"text/plain"),
        # Types a browser would run as a page from this site go out as bytes.
        (("x.html", "text/html", b"<script>1</script>"), b"<script>1</script>",
         b"application/octet-stream"),
        (("x.svg", "image/svg+xml", b"<svg/>"), b"<svg/>", b"application/octet-stream"),
    ]
    for upload, expected, content_type in cases:
        post_contact(site, {"id": key, "name": "Files", "kind": "work"}, upload)
        response = get(site, f"/cgi-bin/download.py?id={key}")
        assert response.body == expected
        assert response.header("Content-Type") == content_type
        assert response.header("X-Content-Type-Options") == b"nosniff"
        assert response.header("Content-Disposition").startswith(b"attachment;")
    missing = site.request("GET", "/cgi-bin/download.py?id=999999")
    assert missing.status == 404


def test_sort_order_is_a_remembered_preference_never_trusted(site):
    response = get(site, "/cgi-bin/list.py?sort=email")
    cookie = next(v for v in response.header_values("Set-Cookie") if b"sort=email" in v)
    jar = cookie.split(b";")[0].decode()
    emails = [r[2] for r in rows_of(get(site, "/cgi-bin/list.py", cookie=jar).body)]
    assert emails == sorted(emails)
    for page in ("/cgi-bin/list.py", "/cgi-bin/list.cgi"):
        # A value the visitor made up is only a preference: the default order.
        tampered = jar.split("=")[0] + "=name%3BDROP%20TABLE%20contacts"
        names = [r[1] for r in rows_of(get(site, page, cookie=tampered).body)]
        assert names == sorted(names), page
    assert len(rows_of(get(site, "/cgi-bin/list.py").body)) == 4


@pytest.mark.parametrize("page", ["/cgi-bin/list.py", "/cgi-bin/list.cgi"])
def test_error_page_shows_number_and_message(lighttpd_factory, page_env, build_dir, tmp_path,
                                             page):
    env = site_env(page_env, str(tmp_path / "contacts.db"))
    server = start_site(lighttpd_factory, env, build_dir)
    (tmp_path / "contacts.db").unlink()
    (tmp_path / "contacts.db").mkdir()  # the database is no longer a database
    response = server.request("GET", page)
    assert response.status == 500, server.error_log_text()
    body = response.body.decode()
    number = re.search(r'<B>(\d+)</B>', body)
    assert number and int(number.group(1)) > 0, body
    message = re.search(r"<P>(.+?)</P>", body.split("</CODE>):</P>")[1], re.S)
    assert message and message.group(1).strip(), body
    assert "Something went wrong" in body


# --- ./run sample ----------------------------------------------------------------------


@pytest.mark.parametrize("port_taken", [False, True])
def test_serve_check_starts_and_answers(page_env, build_dir, tmp_path, port_taken):
    # What `./run sample --check` runs after building, on this build tree.
    import socket
    with socket.socket() as holder:
        holder.bind(("127.0.0.1", 0))
        if port_taken:
            holder.listen()
        port = holder.getsockname()[1]
        if not port_taken:
            holder.close()
        env = dict(os.environ, SAMPLE_DATABASE=str(tmp_path / "contacts.db"))
        env["LD_PRELOAD"] = page_env.get("LD_PRELOAD", "")
        result = subprocess.run([harness.PYTHON, str(SAMPLE / "serve.py"), str(build_dir),
                                 "--check", "--port", str(port)], env=env,
                                capture_output=True, timeout=120, check=False)
    out = result.stdout.decode()
    assert result.returncode == 0, out + result.stderr.decode()
    assert "check: list page served" in out
    served = re.search(r"http://127\.0\.0\.1:(\d+)/", out)
    assert served and (int(served.group(1)) != port) == port_taken, out
    assert ("is taken" in out) == port_taken


# --- The client program ---------------------------------------------------------------


def test_client_sends_a_table_as_a_recordset(site, page_env, tmp_path):
    local = tmp_path / "local.db"
    import sqlite3
    with sqlite3.connect(local) as db:
        db.execute("CREATE TABLE contacts (name TEXT, email TEXT, phone TEXT, kind TEXT)")
        db.executemany("INSERT INTO contacts VALUES (?, ?, ?, ?)", [
            ("Tab\there", "t@x", "1", "work"), ("日本 太郎", "j@x", "", "friend"),
            ("Quote \"q\"", "q@x", "3", "family")])
    out = run_python(page_env, SAMPLE / "client.py", "--port", site.port, "--database", local)
    assert out.splitlines() == ["result: OK", "imported: 3", "total: 7"], out
    rows = {r[1]: r[2:5] for r in rows_of(get(site, "/cgi-bin/list.py").body)}
    assert rows["Tab\there"] == ("t@x", "1", "work")
    assert rows["日本 太郎"] == ("j@x", "", "friend")
    assert rows["Quote &quot;q&quot;"] == ("q@x", "3", "family")
    # Without a table of its own it makes and sends one with two contacts.
    out = run_python(page_env, SAMPLE / "client.py", "--port", site.port)
    assert out.splitlines()[:2] == ["result: OK", "imported: 2"], out


# --- In a browser ---------------------------------------------------------------------


def playwright(build_dir: Path) -> Path:
    """node_modules with playwright-core, installed with npm when missing."""
    folder = build_dir / "sample-e2e"
    if not (folder / "node_modules" / "playwright-core").is_dir():
        npm = shutil.which("npm")
        if npm is None:
            pytest.skip("npm is not installed: cannot fetch playwright-core")
        folder.mkdir(parents=True, exist_ok=True)
        result = subprocess.run([npm, "install", "--no-audit", "--no-fund", "--prefix",
                                 str(folder), "playwright-core"], capture_output=True,
                                timeout=600, check=False)
        if result.returncode != 0:
            pytest.skip("npm could not install playwright-core:\n" + result.stderr.decode())
    return folder / "node_modules"


def test_browser_walk_through(lighttpd_factory, page_env, build_dir, tmp_path):
    chromium = Path("/usr/bin/chromium")
    if not chromium.exists():
        pytest.fail("chromium is not installed (./run test installs it)", pytrace=False)
    modules = playwright(build_dir)
    server = start_site(lighttpd_factory, site_env(page_env, str(tmp_path / "contacts.db")),
                        build_dir)
    shots = build_dir / "sample-screenshots"
    shots.mkdir(exist_ok=True)
    for old in shots.glob("*.png"):
        old.unlink()
    upload = tmp_path / "card.png"
    data = bytes(range(256)) * 8 + b"\x00end"
    upload.write_bytes(data)
    env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "NODE_PATH": str(modules),
           "HOME": str(tmp_path), "CHROMIUM": str(chromium)}
    result = subprocess.run(["node", str(Path(__file__).with_name("browser.cjs")),
                             server.base_url, str(shots), str(upload)], env=env,
                            capture_output=True, timeout=300, check=False)
    assert result.returncode == 0, result.stderr.decode()
    out = json.loads(result.stdout.decode().strip().splitlines()[-1])
    assert "error" not in out, (out["error"], server.error_log_text())

    name = 'Zed <i>Browser</i> & "Co"'  # shown as typed: escaped, not markup
    assert len(out["initial"]) == 4
    added = next(r for r in out["afterAdd"] if r[0] == name)
    assert added == [name, "zed@example.org", "555", "family", "card.png"]
    assert out["form"] == {"name": name, "email": "zed@example.org", "kind": "family",
                           "newsletter": True, "file": "card.png"}
    edited = next(r for r in out["afterEdit"] if r[0] == name)
    assert edited == [name, "zed@example.org", "+1 555 0199", "work", "card.png"]
    assert out["sorted"][0][0] == name and out["sortedAgain"] == out["sorted"]
    assert out["sortShown"] == "newest"
    assert out["download"]["status"] == 200
    assert out["download"]["type"] == "image/png"
    assert base64.b64decode(out["download"]["base64"]) == data
    assert out["cpp"] == out["sorted"]  # the C++ page, same preference, same rows
    assert out["cppTitle"] == "Contacts - Contact list (C++)"
    for step in out["steps"]:
        assert (shots / f"{step}.png").stat().st_size > 1000, step
    assert len(out["steps"]) == 6
