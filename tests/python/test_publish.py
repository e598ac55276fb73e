"""Publishing Python objects to other processes: names, calls, by-reference
outs, errors, and quillon.CreateObject reaching the publication first."""

import os
import subprocess
import sys
import tempfile

import pytest

import quillon


class Debug:
    """Shaped like a page program's debug object."""

    def __init__(self):
        self.Text = "initial"
        self.calls = []

    def StartDebug(self, env, body, header, resp_body):
        self.calls.append((env, body))
        header.value = "Content-Type: text/plain\r\n"
        resp_body.value = b"answer to " + body
        return None

    def Add(self, a, b):
        return a + b

    def Fail(self):
        raise ValueError("no project")

    def _hidden(self):
        return "never"


@pytest.fixture
def runtime_dir(monkeypatch):
    with tempfile.TemporaryDirectory() as path:
        monkeypatch.setenv("QUILLON_RUNTIME_DIR", os.path.join(path, "run"))
        yield path


@pytest.fixture
def published(runtime_dir):
    target = Debug()
    progid = f"PyTest{os.getpid()}.QuillonDebug"
    with quillon.publish(progid, target, serve_on_thread=True) as publication:
        yield progid, target, publication


def test_calls_reach_the_python_object(published):
    progid, target, _ = published
    with quillon.CreateObject(progid) as obj:
        assert obj.Add(2, 3) == 5
        assert obj.add("a", "b") == "ab"  # names match without regard to case
        assert obj.Text == "initial"
        obj.Text = "changed"
        assert target.Text == "changed"
        header = quillon.Variant(quillon.VT_BSTR, "", byref=True)
        body = quillon.Variant(quillon.VT_VARIANT, None, byref=True)
        obj.StartDebug("REQUEST_METHOD=POST", b"req\x00", header, body)
        assert header.value == "Content-Type: text/plain\r\n"
        assert body.value == b"answer to req\x00"
        assert target.calls == [("REQUEST_METHOD=POST", b"req\x00")]


def test_private_and_unknown_names_are_refused(published):
    progid, _, _ = published
    with quillon.CreateObject(progid) as obj:
        with pytest.raises(quillon.UnknownNameError):
            obj._hidden()
        with pytest.raises(quillon.UnknownNameError):
            obj.Missing()


def test_python_exceptions_become_automation_errors(published):
    progid, _, _ = published
    with quillon.CreateObject(progid) as obj:
        with pytest.raises(quillon.Error) as raised:
            obj.Fail()
        assert "ValueError: no project" in str(raised.value)
        assert progid in str(raised.value.source)


def test_withdrawn_publication_is_gone(runtime_dir):
    progid = f"PyGone{os.getpid()}.QuillonDebug"
    publication = quillon.publish(progid, Debug())
    publication.withdraw()
    assert not publication.live
    with pytest.raises(quillon.Error):
        quillon.CreateObject(progid)


def test_another_process_calls_while_serve_objects_runs(runtime_dir):
    progid = f"PyProc{os.getpid()}.QuillonDebug"
    script = (
        "import quillon\n"
        f"o = quillon.CreateObject({progid!r})\n"
        "h = quillon.Variant(quillon.VT_BSTR, '', byref=True)\n"
        "b = quillon.Variant(quillon.VT_VARIANT, None, byref=True)\n"
        "o.StartDebug('env', b'x', h, b)\n"
        "print(repr(h.value), repr(b.value))\n"
        "o.Stop()\n"
    )

    class Stoppable(Debug):
        def Stop(self):
            publication.withdraw()

    target = Stoppable()
    publication = quillon.publish(progid, target)
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    quillon.serve_objects(timeout=20)
    out, _ = child.communicate(timeout=20)
    assert child.returncode == 0
    assert out.strip() == "'Content-Type: text/plain\\r\\n' b'answer to x'"
    assert not publication.live


DISP_E_MEMBERNOTFOUND = 0x80020003


def test_callables_cannot_be_overwritten(published):
    # A peer once set StartDebug = 0 on a published page object.
    progid, target, _ = published
    with quillon.CreateObject(progid) as obj:
        for name in ("StartDebug", "startdebug", "Add"):
            with pytest.raises(quillon.Error) as raised:
                setattr(obj, name, 0)
            assert raised.value.hresult & 0xFFFFFFFF == DISP_E_MEMBERNOTFOUND, name
        assert callable(target.StartDebug) and callable(target.Add)
        assert obj.Add(1, 2) == 3
        obj.Text = "plain attributes are still set"
        assert target.Text == "plain attributes are still set"


@pytest.mark.parametrize("members, reachable, refused", [
    (["StartDebug"], ["StartDebug", "startDEBUG"], ["Add", "Text", "calls"]),
    (["Text", "Add"], ["Text", "add"], ["StartDebug", "Fail", "calls"]),
    ([], [], ["StartDebug", "Text"]),
    (["Missing"], [], ["Missing", "Text"]),
])
def test_named_members_are_all_a_peer_reaches(runtime_dir, members, reachable, refused):
    progid = f"PyMembers{os.getpid()}.QuillonDebug"
    target = Debug()
    with quillon.publish(progid, target, serve_on_thread=True, members=members):
        with quillon.CreateObject(progid) as obj:
            for name in reachable:
                getattr(obj, name)  # the name resolves
            for name in refused:
                with pytest.raises(quillon.UnknownNameError):
                    getattr(obj, name)
            if "Add" in members:
                assert obj.add(2, 3) == 5
            if "Text" in members:
                obj.Text = "set"
                assert target.Text == "set"


def test_members_must_be_public_names(runtime_dir):
    for bad in (["_hidden"], [""], ["StartDebug", "__class__"]):
        with pytest.raises(ValueError):
            quillon.publish(f"PyBad{os.getpid()}.QuillonDebug", Debug(), members=bad)
