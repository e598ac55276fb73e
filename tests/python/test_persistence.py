"""The two starts of a control: saved properties through its stream
persistence, or a property bag."""

import datetime

import pytest

import quillon

STREAM, BAG = 1, 2


def test_load_from_stream_hands_over_the_properties(echo):
    when = datetime.datetime(2024, 2, 29, 13, 45)
    quillon.LoadFromStream(echo, {"Alpha": "a", "Beta": 2, "Gamma": when, "Delta": None})
    assert echo.LoadKind == STREAM
    assert echo.Loaded("Alpha") == "a"
    assert echo.Loaded("Beta") == 2
    assert echo.Loaded("Gamma") == when
    assert echo.Loaded("Delta") is None


def test_load_from_stream_without_properties(echo):
    assert echo.LoadKind == -1
    quillon.LoadFromStream(echo)
    assert echo.LoadKind == STREAM
    assert echo.Loaded("Alpha") is None


def test_load_from_property_bag(echo):
    quillon.LoadFromPropertyBag(echo, {"Alpha": "x", "Beta": True, "Other": 1})
    assert echo.LoadKind == BAG
    assert echo.Loaded("Alpha") == "x"
    assert echo.Loaded("Beta") is True
    # The control asks the bag only for the names it knows.
    assert echo.Loaded("Other") is None


def test_a_control_starts_once(echo):
    quillon.LoadFromPropertyBag(echo)
    with pytest.raises(quillon.Error) as info:
        quillon.LoadFromStream(echo)
    assert info.value.hresult == 0x8000FFFF  # E_UNEXPECTED
    assert echo.LoadKind == BAG


def test_properties_must_be_a_mapping_of_names(echo):
    with pytest.raises(TypeError):
        quillon.LoadFromStream(echo, [("Alpha", 1)])
    with pytest.raises(TypeError):
        quillon.LoadFromStream(echo, {1: "x"})
    with pytest.raises(TypeError):
        quillon.LoadFromStream("not an object")
    assert echo.LoadKind == -1


def test_values_without_a_saved_form_are_refused(echo):
    with pytest.raises(quillon.Error):
        quillon.LoadFromStream(echo, {"Alpha": b"bytes"})
    assert echo.LoadKind == -1


def test_objects_without_persistence_are_refused(echo):
    child = echo.AddChild("c")
    with pytest.raises(quillon.Error) as info:
        quillon.LoadFromStream(child)
    assert info.value.hresult == 0x80004002
    with pytest.raises(quillon.Error) as info:
        quillon.LoadFromPropertyBag(child)
    assert info.value.hresult == 0x80004002
