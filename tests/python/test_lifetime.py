"""Reference counting: no object of a component library outlives its last
Python reference, and every way of letting go releases it exactly once."""

import gc
import os
import subprocess
import sys
import textwrap

import quillon
from conftest import FIXTURE_PROGID, live_objects


def test_del_releases_the_object():
    obj = quillon.CreateObject(FIXTURE_PROGID)
    assert live_objects() == 1  # the class object is gone already
    del obj
    assert live_objects() == 0


def test_release_is_immediate_and_idempotent():
    obj = quillon.CreateObject(FIXTURE_PROGID)
    obj._release()
    assert live_objects() == 0
    assert obj._released
    obj._release()
    del obj
    assert live_objects() == 0


def test_with_block_releases_at_its_end():
    with quillon.CreateObject(FIXTURE_PROGID) as obj:
        assert obj.Echo(1) == 1
        assert live_objects() == 1
    assert live_objects() == 0
    assert obj._released


def test_with_block_releases_on_an_exception():
    try:
        with quillon.CreateObject(FIXTURE_PROGID) as obj:
            obj.FailServer(10004)
    except quillon.Error:
        pass
    assert live_objects() == 0


def test_results_are_wrappers_of_their_own():
    with quillon.CreateObject(FIXTURE_PROGID) as obj:
        child = obj.AddChild("one")
        assert live_objects() == 2
        obj.Reset()  # the parent drops its reference; ours keeps the child
        assert live_objects() == 2
        assert child.Name == "one"
        del child
        assert live_objects() == 1


def test_wrappers_of_the_same_object_each_hold_a_reference():
    obj = quillon.CreateObject(FIXTURE_PROGID)
    same = obj.Self
    obj._release()
    assert live_objects() == 1
    assert same.Echo("still here") == "still here"
    del same
    assert live_objects() == 0


def test_bound_members_keep_their_object():
    obj = quillon.CreateObject(FIXTURE_PROGID)
    swap = obj.Swap
    del obj
    assert live_objects() == 1
    assert swap(1, 2) == (2, 1)
    del swap
    assert live_objects() == 0


def test_enumerators_end_with_their_iteration():
    with quillon.CreateObject(FIXTURE_PROGID) as obj:
        obj.AddChild("a")
        obj.AddChild("b")
        children = obj.Children
        base = live_objects()
        items = iter(children)
        first = next(items)
        assert live_objects() == base + 1  # the enumerator
        del first
        assert [child.Name for child in items] == ["b"]
        assert live_objects() == base  # let go at its end
        del items
        # An enumerator abandoned part-way goes with its iterator.
        items = iter(children)
        next(items)
        del items
        assert live_objects() == base
        del children


def test_failed_calls_leak_nothing():
    with quillon.CreateObject(FIXTURE_PROGID) as obj:
        for _ in range(3):
            try:
                obj.FailClient(10004)
            except quillon.Error:
                pass
            try:
                obj.Echo(object())
            except TypeError:
                pass
    # no_leaks (conftest) checks strings and arrays as well


def test_variants_holding_objects_keep_them():
    obj = quillon.CreateObject(FIXTURE_PROGID)
    held = quillon.Variant(quillon.VT_DISPATCH, obj)
    del obj
    assert live_objects() == 1
    del held
    assert live_objects() == 0


def test_reference_cycles_are_released_by_the_collector():
    class Holder:
        pass

    holder = Holder()
    holder.me = holder
    holder.obj = quillon.CreateObject(FIXTURE_PROGID)
    del holder
    gc.collect()
    assert live_objects() == 0


def test_objects_left_alive_are_released_at_exit(tmp_path):
    # An exit handler registered before the module is imported runs after
    # the module's own one, so it sees what that one left behind.
    script = textwrap.dedent(f"""\
        import atexit, ctypes
        fixture = ctypes.CDLL({os.environ["QUILLON_PYTHON_FIXTURE"]!r})
        atexit.register(lambda: print("alive at exit:", fixture.QuillonFixtureLiveObjects()))
        import quillon
        keep = quillon.CreateObject({FIXTURE_PROGID!r})
        child = keep.AddChild("x")
        print("alive:", fixture.QuillonFixtureLiveObjects())
        """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                            timeout=60, check=False)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "alive: 2\nalive at exit: 0\n"
