"""The server library driven from Python, as a server application would:
the offline-debug start, the debug hand-over, its error convention, and a
live CGI run whose standard output is compared byte for byte."""

import os
import subprocess
import sys

import pytest

import quillon

MSG_10004 = "指定されたインデックスの値は無効です。"
MSG_10005 = "指定されたＣＧＩパラメータは存在しません。 パラメータ名＝"
HEADER = "Content-Type: text/html\r\nConnection: close\r\n"

# The page the README shows.
HELLO_PAGE = """\
import html, quillon
srv = quillon.CreateObject("QServer.QServer")
quillon.LoadFromStream(srv)          # a live CGI run: reads the request
srv.WriteString("<p>Hello, " + html.escape(srv.GetStringData("name", 0)) + "</p>")
del srv                              # released: the response goes out
"""


def test_offline_debug_start(srv):
    assert srv.OffLineDebug is True
    assert srv.ContentType == "text/html"


def test_debug_exit_returns_the_session_text(srv):
    srv.SetStringData("x", "y")
    header, body = srv.DebugExit()
    assert header == HEADER
    assert body == "QServerParams:x=y&QServerResult="


def test_debug_exit_returns_the_written_lines(srv):
    srv.ContentType = "text/plain"
    srv.WriteString("a")
    srv.WriteString("b")
    srv.WriteCRLF()
    srv.WriteString("c")
    header, body = srv.DebugExit()
    assert header == "Content-Type: text/plain\r\nConnection: close\r\n"
    assert body == "ab\r\nc\r\n"


def test_debug_exit_returns_binary_bodies_as_bytes(srv):
    srv.WriteBinary(b"\x00\x01\xff")
    assert srv.DebugExit() == (HEADER, b"\x00\x01\xff")


def test_debug_init_feeds_a_captured_request(srv):
    env = ("REQUEST_METHOD=POST\r\n"
           "CONTENT_TYPE=application/x-www-form-urlencoded\r\n"
           "QUERY_STRING=a=1\r\n")
    srv.DebugInit(env, b"b=2\x00")
    assert srv.GetDataNameCount() == 2
    assert [srv.GetDataName(0), srv.GetDataName(1)] == ["a", "b"]
    assert srv.GetStringData("a", 0) == "1"
    assert srv.GetStringData("b", 0) == "2"
    assert srv.GetServerVariable("request_method") == "POST"
    # Parameters by their documented names, as automation hosts call them.
    assert srv.GetStringData(DataName="b", SubIndex=0) == "2"
    assert srv.GetStringData(SubIndex=0, DataName="a") == "1"


def test_session_variables_are_an_indexed_property(srv):
    srv.SessionVariable["User"] = "Taro"
    assert srv.SessionVariable("user") == "Taro"
    assert srv._get("SessionVariable", "USER") == "Taro"
    assert srv.SessionVariable["nobody"] == ""


def test_bad_index_fails_with_the_server_convention(srv):
    with pytest.raises(quillon.Error) as info:
        srv.GetDataName(5)
    e = info.value
    assert (e.hresult, e.description, e.source, e.helpcontext, e.helpfile) == (
        0x80042714, MSG_10004, "QServer.QServer.3", 0, "")
    assert str(e) == "0x80042714: " + MSG_10004


def test_missing_value_fails_with_a_composed_text(srv):
    with pytest.raises(quillon.Error) as info:
        srv.GetStringData("missing", 0)
    assert (info.value.hresult, info.value.description, info.value.source) == (
        0x80020009, MSG_10005 + "missing", "QServer.QServer.3")


@pytest.mark.parametrize("call, hresult, number, english", [
    (lambda s: s.GetDataName(5), 0x80042714, 10004,
     "The index is not valid. Index: 5 (0 names)"),
    (lambda s: s.GetStringData("missing", 0), 0x80020009, 10005,
     "The CGI parameter does not exist. Parameter name: missing"),
    (lambda s: s.WriteFromFile("/nonexistent/quillon/a.bin"), 0x80042712, 10002,
     "The file does not exist or cannot be read. File: /nonexistent/quillon/a.bin"),
    (lambda s: s.GetULFileName("missing", 0), 0x80020009, 10005,
     "The CGI parameter does not exist. Parameter name: missing"),
])
def test_english_messages_name_what_the_call_was_given(srv, monkeypatch, call, hresult,
                                                        number, english):
    monkeypatch.setenv("QUILLON_MESSAGES", "en")
    with pytest.raises(quillon.Error) as info:
        call(srv)
    e = info.value
    assert (e.hresult, e.number, e.description, e.source) == (
        hresult, number, english, "QServer.QServer.3")


def test_unknown_member(srv):
    with pytest.raises(quillon.UnknownNameError):
        srv.NoSuchMethod()


def run_page(page, query, stdin=b"", extra_env=None):
    env = {
        "REQUEST_METHOD": "POST" if stdin else "GET",
        "QUERY_STRING": query,
        "CONTENT_LENGTH": str(len(stdin)),
        "QUILLON_CODEPAGE": "65001",
    }
    for name in ("PYTHONPATH", "QUILLON_REGISTRY", "LD_PRELOAD", "ASAN_OPTIONS"):
        if name in os.environ:
            env[name] = os.environ[name]
    env.update(extra_env or {})
    return subprocess.run([sys.executable, "-c", page], input=stdin, env=env,
                          capture_output=True, timeout=60, check=False)


@pytest.mark.parametrize("query, greeting", [
    ("name=Taro", "Taro"),
    ("name=%E5%A4%AA%E9%83%8E", "太郎"),
    ("name=%3Cb%3E", "&lt;b&gt;"),
])
def test_live_cgi_page_writes_its_response_when_released(qserver_library, query, greeting):
    result = run_page(HELLO_PAGE, query)
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    assert result.stdout == (b"Content-Type: text/html\r\nConnection: close\r\n\r\n"
                             b"<p>Hello, " + greeting.encode() + b"</p>\r\n")


def test_live_cgi_page_reads_a_posted_body(qserver_library):
    result = run_page(HELLO_PAGE, "other=1", stdin=b"name=Hanako")
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    assert result.stdout.endswith(b"\r\n\r\n<p>Hello, Hanako</p>\r\n")


def test_object_left_alive_writes_at_interpreter_exit(qserver_library):
    page = ("import quillon\n"
            "srv = quillon.CreateObject('QServer.QServer')\n"
            "quillon.LoadFromStream(srv)\n"
            "srv.SetStringData('answer', '42')\n")
    result = run_page(page, "")
    assert result.returncode == 0, result.stderr.decode(errors="replace")
    assert result.stdout == (b"Content-Type: text/html\r\nConnection: close\r\n\r\n"
                             b"QServerParams:answer=42&QServerResult=")


# --- Page helpers ---------------------------------------------------------------

@pytest.mark.parametrize("text, expected", [
    ("<b>Tom & \"Jerry\"</b>", "&lt;b&gt;Tom &amp; &quot;Jerry&quot;&lt;/b&gt;"),
    ("it's", "it&#x27;s"),
    ("&amp;", "&amp;amp;"),          # escaping twice shows the entity, as it must
    ("日本語 <i>", "日本語 &lt;i&gt;"),
    ("\ud800<", "\ud800&lt;"),        # a lone surrogate passes through
    ("", ""),
    (None, ""),
    (42, "42"),
])
def test_escape_makes_text_safe_for_html(text, expected):
    assert quillon.escape(text) == expected


def test_escape_agrees_with_the_standard_library():
    import html
    sample = "".join(chr(c) for c in range(0x20, 0x7F)) + "é\u3042"
    assert quillon.escape(sample) == html.escape(sample, quote=True)


def test_only_server_objects_get_the_helpers(srv, echo):
    assert isinstance(srv, quillon.ServerObject)
    assert isinstance(srv, quillon.Dispatch)
    # On another object the lower-case names stay its own members'.
    assert not isinstance(echo, quillon.ServerObject)
    with pytest.raises(quillon.UnknownNameError):
        echo.redirect


def test_value_has_a_default_and_values_gives_them_all(srv):
    srv.DebugInit("QUERY_STRING=a=1&tag=x&Tag=y&empty=&tag=%E5%90%8D\r\n", None)
    assert srv.value("a") == "1"
    assert srv.value("TAG") == "x"          # names match as GetStringData's do
    assert srv.value("empty", default="d") == ""
    assert srv.value("missing") == ""
    assert srv.value("missing", default=None) is None
    assert srv.value("missing", "fallback") == "fallback"
    assert srv.values("tag") == ["x", "y", "名"]
    assert srv.values("missing") == []


@pytest.mark.parametrize("name, value", [
    ("X-Name", "Taro\r\nSet-Cookie: role=admin"),
    ("X-Name", "Taro\nSet-Cookie: role=admin"),
    ("X-Name", "Taro\rSet-Cookie: role=admin"),
    ("X-Name", "a\x00b"),
    ("X-Name: x", "v"),
    ("X Name", "v"),
    ("", "v"),
    ("Näme", "v"),
])
def test_header_refuses_what_would_be_another_line(srv, name, value):
    with pytest.raises(ValueError):
        srv.header(name, value)
    header, _ = srv.DebugExit()
    assert header == HEADER


def test_header_adds_exactly_one_line(srv):
    srv.header("Content-Disposition", 'attachment; filename="名前 1.txt"')
    header, _ = srv.DebugExit()
    assert header == ('Content-Type: text/html\r\n'
                      'Content-Disposition: attachment; filename="名前 1.txt"\r\n'
                      'Connection: close\r\n')


@pytest.mark.parametrize("args, status_line", [
    (("/cgi-bin/list.py",), "Status: 302 Found"),
    (("/next", 303), "Status: 303 See Other"),
    (("https://example.org/a?b=c", 301), "Status: 301 Moved Permanently"),
    (("/x",), "Status: 302 Found"),
])
def test_redirect_sends_status_and_location(srv, args, status_line):
    srv.redirect(*args)
    header, _ = srv.DebugExit()
    assert header == ("Content-Type: text/html\r\n" + status_line + "\r\n"
                      "Location: " + args[0] + "\r\nConnection: close\r\n")


@pytest.mark.parametrize("location, status", [
    ("/list\r\nSet-Cookie: role=admin", 302),
    ("/list\n\n<script>", 302),
    ("/list", 200),
    ("/list", 304),
])
def test_redirect_refuses_line_ends_and_other_statuses(srv, location, status):
    with pytest.raises(ValueError):
        srv.redirect(location, status)
    header, _ = srv.DebugExit()
    assert header == HEADER
