"""Failures: both error conventions of the toolkit, dispatch refusals and
creation failures all surface as quillon.Error with exact fields."""

import pickle

import pytest

import quillon
from conftest import FIXTURE_CLSID

MSG_10004 = "指定されたインデックスの値は無効です。"
MSG_10005 = "指定されたＣＧＩパラメータは存在しません。 パラメータ名＝"


def fields(error):
    return (error.hresult, error.description, error.source, error.helpcontext, error.helpfile)


def test_error_is_an_exception_with_hex_text():
    assert issubclass(quillon.Error, Exception)
    e = quillon.Error(0x80042714, MSG_10004, "QServer.QServer.3")
    assert str(e) == "0x80042714: " + MSG_10004
    assert str(quillon.Error(0x80004005)) == "0x80004005"
    assert quillon.Error(-2147467259).hresult == 0x80004005  # signed codes fold


def test_errors_pickle_with_their_fields():
    e = quillon.Error(0x800A2714, MSG_10004, "QClient", 0x62714, "QUILLON.HLP", 10004)
    copy = pickle.loads(pickle.dumps(e))
    assert fields(copy) == fields(e)
    assert copy.number == 10004
    assert quillon.Error(0x80004005).number is None


def test_every_field_says_what_it_holds():
    for name in ("hresult", "description", "source", "helpcontext", "helpfile", "number"):
        doc = getattr(quillon.Error, name).__doc__
        assert doc and len(doc.split()) >= 5, name
    assert "QUILLON_MESSAGES" in quillon.Error.__doc__
    assert "0x80020009" in quillon.Error.number.__doc__


# The message number of every toolkit failure, whichever convention and
# whether or not the code shows it; None for what is not a toolkit message.
@pytest.mark.parametrize("call, hresult, helpcontext, number", [
    (lambda o: o.FailServer(10004), 0x80042714, 0, 10004),
    (lambda o: o.FailServer(10099), 0x80042773, 0, 10099),  # a number without a text
    (lambda o: o.FailComposed(10005, "name"), 0x80020009, 0, 10005),
    (lambda o: o.FailComposed(20004, ""), 0x80020009, 0, 20004),
    (lambda o: o.FailClient(10004), 0x800A2714, 0x62714, 10004),
    (lambda o: o.FailClientComposed(10031, "404"), 0x800A272F, 0, 10031),
    # No error information: a bare server code still tells its number ...
    (lambda o: o.FailPlain(0x80042714 - 2**32), 0x80042714, 0, 10004),
    # ... but the platform's codes of the same facility are no messages.
    (lambda o: o.FailPlain(0x80040154 - 2**32), 0x80040154, 0, None),
    (lambda o: o.FailPlain(0x80070057 - 2**32), 0x80070057, 0, None),
    (lambda o: o.Sum(), 0x8002000E, 0, None),
])
def test_number_of_every_toolkit_failure(echo, call, hresult, helpcontext, number):
    with pytest.raises(quillon.Error) as info:
        call(echo)
    assert (info.value.hresult, info.value.helpcontext, info.value.number) == (
        hresult, helpcontext, number)


@pytest.mark.parametrize("language", [None, "ja", "en"])
def test_language_changes_the_text_only(echo, monkeypatch, language):
    if language is None:
        monkeypatch.delenv("QUILLON_MESSAGES", raising=False)
    else:
        monkeypatch.setenv("QUILLON_MESSAGES", language)
    english = language == "en"
    with pytest.raises(quillon.Error) as info:
        echo.FailComposed(10005, "name")
    expected = ("The CGI parameter does not exist. Parameter name: name" if english
                else MSG_10005 + "name")
    assert fields(info.value) == (0x80020009, expected, "QuillonFixture.Echo.1", 0, "")
    assert info.value.number == 10005
    with pytest.raises(quillon.Error) as info:
        echo.FailClient(10004)
    expected = "The index is not valid." if english else MSG_10004
    assert fields(info.value) == (0x800A2714, expected, "QClient", 0x62714, "")
    assert info.value.number == 10004


@pytest.mark.parametrize("number, hresult, description", [
    (10004, 0x80042714, MSG_10004),
    (10001, 0x80042711, "バイナリ・データの形式が無効です。 Byte型の配列のみ使用可能です。"),
    (10099, 0x80042773, "Unknown Error"),  # a number without a text
])
def test_server_convention(echo, number, hresult, description):
    with pytest.raises(quillon.Error) as info:
        echo.FailServer(number)
    assert fields(info.value) == (hresult, description, "QuillonFixture.Echo.1", 0, "")
    assert str(info.value) == f"0x{hresult:08X}: {description}"


def test_server_convention_with_composed_text(echo):
    with pytest.raises(quillon.Error) as info:
        echo.FailComposed(10005, "name")
    assert fields(info.value) == (0x80020009, MSG_10005 + "name", "QuillonFixture.Echo.1", 0, "")


def test_client_convention(echo):
    with pytest.raises(quillon.Error) as info:
        echo.FailClient(10004)
    assert fields(info.value) == (0x800A2714, MSG_10004, "QClient", 0x62714, "")
    assert str(info.value) == "0x800A2714: " + MSG_10004


def test_failure_without_error_information_uses_the_platform_text(echo):
    with pytest.raises(quillon.Error) as info:
        echo.FailPlain(0x80070057 - 2**32)
    assert fields(info.value) == (0x80070057, "The parameter is incorrect.", "", 0, "")
    with pytest.raises(quillon.Error) as info:
        echo.FailPlain(0x80041234 - 2**32)
    assert fields(info.value) == (0x80041234, "", "", 0, "")
    assert str(info.value) == "0x80041234"


def test_error_information_does_not_leak_into_later_failures(echo):
    with pytest.raises(quillon.Error):
        echo.FailServer(10004)
    with pytest.raises(quillon.Error) as info:
        echo.FailPlain(0x80004005 - 2**32)
    assert fields(info.value) == (0x80004005, "Unspecified error", "", 0, "")


@pytest.mark.parametrize("call, hresult, description", [
    (lambda o: o.Sum(), 0x8002000E, "Invalid number of parameters."),
    (lambda o: o.Sum("x"), 0x80020005, "Type mismatch. (argument 1)"),
    (lambda o: o.Rebase(b"", "low"), 0x80020005, "Type mismatch. (argument 2)"),
    (lambda o: o._put("LoadKind", 1), 0x80020003, "Member not found."),
    (lambda o: o._invoke(999, quillon.DISPATCH_METHOD), 0x80020003, "Member not found."),
])
def test_dispatch_refusals(echo, call, hresult, description):
    with pytest.raises(quillon.Error) as info:
        call(echo)
    assert fields(info.value) == (hresult, description, "", 0, "")


def test_unknown_progid_is_class_not_registered():
    with pytest.raises(quillon.Error) as info:
        quillon.CreateObject("No.Such.Class")
    assert info.value.hresult == 0x80040154
    assert info.value.description == "Class not registered: No.Such.Class"


def test_unregistered_clsid_is_class_not_registered():
    with pytest.raises(quillon.Error) as info:
        quillon.CreateObject(FIXTURE_CLSID.replace("6E0D3A51", "6E0D3A5F"))
    assert info.value.hresult == 0x80040154


def test_malformed_clsid_is_not_registered_either():
    with pytest.raises(quillon.Error) as info:
        quillon.CreateObject("{not-a-guid}")
    assert info.value.hresult == 0x80040154


def test_released_objects_raise_a_clear_error(echo):
    echo._release()
    with pytest.raises(quillon.ReleasedError) as info:
        echo.Text
    assert isinstance(info.value, ValueError)
    assert info.value.hresult == 0x80010108
    assert info.value.description == "The object was released."
    with pytest.raises(quillon.ReleasedError):
        echo.Text = "x"
    with pytest.raises(quillon.ReleasedError):
        quillon.CreateObject("QuillonFixture.Echo").Echo(echo)
    assert repr(echo) == "<quillon.Dispatch (released)>"
