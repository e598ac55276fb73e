"""Calling members by name: properties, methods, indexed and default
members, optional and by-reference parameters, enumeration."""

import pytest

import quillon
from conftest import FIXTURE_CLSID, FIXTURE_PROGID


def test_objects_are_created_by_progid_or_clsid():
    for name in (FIXTURE_PROGID, FIXTURE_PROGID + ".1", FIXTURE_CLSID, FIXTURE_CLSID.lower()):
        with quillon.CreateObject(name) as obj:
            assert obj.Echo(name) == name


def test_properties_read_and_write(echo):
    assert echo.Text == ""
    echo.Text = "hello"
    assert echo.Text == "hello"
    assert echo._get("Text") == "hello"
    echo._put("Text", "again")
    assert echo.Text == "again"


def test_names_ignore_case(echo):
    echo.text = "x"
    assert echo.TEXT == "x"
    assert echo.echo(1) == 1


def test_methods_are_bound_members(echo):
    swap = echo.Swap
    assert isinstance(swap, quillon.BoundMember)
    assert swap(1, 2) == (2, 1)
    assert "Swap" in repr(swap)


def test_invoke_by_dispid(echo):
    dispid = echo._dispid("Text")
    assert dispid == 5
    echo._invoke(dispid, quillon.DISPATCH_PROPERTYPUT, "by id")
    assert echo._invoke(dispid, quillon.DISPATCH_PROPERTYGET) == "by id"
    assert echo._invoke(1, quillon.DISPATCH_METHOD, "echo") == "echo"
    with pytest.raises(ValueError):
        echo._invoke(1, 0, "x")


def test_indexed_properties(echo):
    echo._put("Cell", "a", 1)
    echo.Cell["b"] = "two"
    assert echo.Cell("a") == 1
    assert echo.Cell["b"] == "two"
    assert echo._get("Cell", "b") == "two"
    echo.Cell["a"] = None
    assert echo.Cell("a") is None


def test_default_member(echo):
    echo.Value = 42
    assert echo() == 42
    echo[()] = "set through the default member"
    assert echo.Value == "set through the default member"


def test_optional_parameters_may_be_left_out(echo):
    assert echo.Sum(1) == 1
    assert echo.Sum(1, 2) == 3
    assert echo.Sum(1, 2, 3) == 6
    assert echo.Sum(1, quillon.Missing, 5) == 6
    with pytest.raises(quillon.Error) as info:
        echo.Sum()
    assert info.value.hresult == 0x8002000E  # DISP_E_BADPARAMCOUNT
    with pytest.raises(quillon.Error) as info:
        echo.Sum(1, 2, 3, 4)
    assert info.value.hresult == 0x8002000E


def test_keyword_arguments_name_parameters(echo):
    assert echo.Sum(A=1, C=5) == 6
    assert echo.Sum(1, c=5) == 6  # names ignore case, as member names do
    assert echo.MakeValue(Value="7", Type=3) == 7
    with pytest.raises(TypeError, match="unexpected keyword argument 'D'"):
        echo.Sum(1, D=2)
    with pytest.raises(TypeError, match="multiple values for argument 'A'"):
        echo.Sum(1, A=2)


class TestByReference:
    def test_outs_of_a_method_without_result(self, echo):
        assert echo.Swap("a", 2) == (2, "a")

    def test_result_comes_first(self, echo):
        assert echo.Split("head,tail") == (2, "head", "tail")
        assert echo.Split("alone") == (1, "alone", "")

    def test_outs_without_arguments_start_empty(self, echo):
        header, body = echo.Outs()
        assert header == "Content-Type: text/plain"
        assert body == b"\x00\x01\xff"

    def test_one_out_and_no_result_is_a_one_tuple(self, echo):
        # Always a tuple of the outs, so callers unpack without counting.
        (grown,) = echo.Grow("ab")
        assert grown == "abab"

    def test_variant_by_reference_sees_the_new_value(self, echo):
        text = quillon.Variant(quillon.VT_BSTR, "ab", byref=True)
        assert echo.Grow(text) == ("abab",)
        assert text.value == "abab"
        echo.Grow(text)
        assert text.value == "abababab"

    def test_variant_of_any_type_by_reference(self, echo):
        a = quillon.Variant(quillon.VT_VARIANT, 1, byref=True)
        b = quillon.Variant(quillon.VT_VARIANT, "one", byref=True)
        echo.Swap(a, b)
        assert (a.value, b.value) == ("one", 1)

    def test_typed_value_passed_into_a_reference_parameter(self, echo):
        a, b = echo.Swap(quillon.Variant(quillon.VT_I2, 3), "x")
        assert (a, b) == ("x", 3)

    def test_variant_is_free_again_after_the_call(self, echo):
        # A by-reference variant refuses changes only while a call holds it.
        text = quillon.Variant(quillon.VT_BSTR, "a", byref=True)
        echo.Grow(text)
        text.value = "b"
        assert text.value == "b"


class TestCollections:
    def test_iteration_goes_through_newenum(self, echo):
        for name in ("one", "two", "three"):
            echo.AddChild(name)
        children = echo.Children
        assert [child.Name for child in children] == ["one", "two", "three"]
        assert children.Count == 3
        assert children.Item(1).Name == "two"
        assert children[2].Name == "three"  # the default member _Item
        # A second pass gets a fresh enumerator.
        assert len(list(children)) == 3

    def test_empty_collection(self, echo):
        assert list(echo.Children) == []

    def test_items_are_the_same_objects(self, echo):
        first = echo.AddChild("first")
        assert next(iter(echo.Children)) == first
        first.Name = "renamed"
        assert echo.Children.Item(0).Name == "renamed"

    def test_bad_index_fails_with_the_server_convention(self, echo):
        with pytest.raises(quillon.Error) as info:
            echo.Children.Item(0)
        assert info.value.hresult == 0x80042714

    def test_objects_without_newenum_are_not_iterable(self, echo):
        with pytest.raises(quillon.Error) as info:
            iter(echo)
        assert info.value.hresult == 0x80020003  # DISP_E_MEMBERNOTFOUND


class TestObjectsWithoutMemberTable:
    """Children publish no member table: the host has only GetIDsOfNames and
    Invoke to tell properties from methods."""

    def test_properties_read_and_write(self, echo):
        child = echo.AddChild("plain")
        assert repr(child) == "<quillon.Dispatch object>"
        assert child.Name == "plain"
        child.Name = "renamed"
        assert child.Name == "renamed"
        assert child() == "renamed"  # Name is the default member

    def test_methods_are_called_later(self, echo):
        child = echo.AddChild("plain")
        describe = child.Describe
        assert isinstance(describe, quillon.BoundMember)
        assert describe("name: ") == "name: plain"
        assert child.Describe(1) == "1plain"

    def test_unknown_names(self, echo):
        child = echo.AddChild("plain")
        assert not hasattr(child, "Nothing")
        # The type information every object gives still names its members.
        assert "Name" in dir(child)
        assert "Nothing" not in dir(child)


class TestNames:
    def test_unknown_names_raise_an_attribute_error_that_is_a_quillon_error(self, echo):
        with pytest.raises(quillon.UnknownNameError) as info:
            echo.NoSuchMember
        assert isinstance(info.value, AttributeError)
        assert isinstance(info.value, quillon.Error)
        assert info.value.hresult == 0x80020006
        assert "NoSuchMember" in info.value.description
        assert not hasattr(echo, "NoSuchMember")
        assert getattr(echo, "NoSuchMember", "default") == "default"
        with pytest.raises(quillon.UnknownNameError):
            echo.NoSuchMember = 1

    def test_python_protocol_names_are_not_asked_for(self, echo):
        with pytest.raises(AttributeError) as info:
            echo.__length_hint__
        assert not isinstance(info.value, quillon.Error)

    def test_dir_lists_the_members(self, echo):
        names = dir(echo)
        for member in ("Echo", "Text", "Swap", "Children", "_release"):
            assert member in names

    def test_repr_names_the_interface(self, echo):
        assert repr(echo) == "<quillon.Dispatch IEcho>"

    def test_identity(self, echo):
        assert echo.Self == echo
        assert hash(echo.Self) == hash(echo)
        with quillon.CreateObject(FIXTURE_PROGID) as other:
            assert other != echo
        assert echo != "not an object"
