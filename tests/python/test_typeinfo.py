"""What the script host learns from the components' type information:
dir() lists an object's members, help() and inspect.signature() show
their parameters and types, the enumerations are importable from
quillon.constants, and the generated stub quillon.pyi names every member
of every class."""

import ast
import inspect
import os
import pydoc
from pathlib import Path

import pytest

import quillon

GOLDEN = Path(__file__).resolve().parents[1] / "golden" / "members"


def golden_members(name: str) -> list[str]:
    """Member names of a checked-in member table, in its order."""
    lines = (GOLDEN / f"{name}.txt").read_text(encoding="utf-8").splitlines()[1:]
    return [line.split(" ", 2)[2].split("(", 1)[0] for line in lines if line]


@pytest.fixture
def make(qserver_alive):
    """Creates server-library objects, started as a design-time host
    starts them; all are released when the test ends."""
    made = []

    def create(progid):
        obj = quillon.CreateObject(progid)
        if progid in ("QServer.QServer", "QServer.QHtmlDoc"):
            quillon.LoadFromPropertyBag(obj)
        made.append(obj)
        return obj

    yield create
    for obj in made:
        obj._release()
    assert not qserver_alive()


CLASSES = [
    ("QServer.QServer", "IQServer"),
    ("QServer.QHtmlDoc", "IQHtmlDoc"),
    ("QServer.HtmlTag", "IHtmlTag"),
    ("QServer.HtmlTags", "IHtmlTags"),
]


@pytest.mark.parametrize("progid, interface", CLASSES)
def test_dir_lists_every_member_of_the_interface(make, progid, interface):
    obj = make(progid)
    assert obj._interface == interface
    missing = set(golden_members(f"qserver.{interface}")) - set(dir(obj))
    assert not missing


@pytest.mark.parametrize("member, signature", [
    ("GetStringData", "GetStringData(DataName: str, SubIndex: int) -> str"),
    ("SetCookie", "SetCookie(CookieName: str, CookieValue: str, Expires: Any = ...) -> None"),
    ("DebugExit", "DebugExit(Header: str = ..., Body: Any = ...) -> tuple[str, Any]"),
    ("SessionVariable", "SessionVariable[VarName: str] -> str"),
    ("GetRecordsetData", "GetRecordsetData(DataName: str, SubIndex: int, DatabaseType: int, "
                         "DatabaseName: str, RecordsetName: str) -> None"),
])
def test_help_of_a_member_shows_its_parameters_and_types(make, member, signature):
    srv = make("QServer.QServer")
    text = pydoc.render_doc(getattr(srv, member), renderer=pydoc.plaintext)
    assert signature in text


def test_help_of_an_object_lists_its_interface(make):
    doc = make("QServer.QHtmlDoc")
    text = pydoc.render_doc(doc, renderer=pydoc.plaintext)
    assert "IQHtmlDoc (dual interface)" in text
    assert "DummyTagName: str  (read/write)" in text
    assert "HtmlWarning: str  (read-only)" in text
    assert "FindByID(ID: str) -> Dispatch | None" in text
    # The class itself keeps its own documentation.
    assert "reached by member name through IDispatch" in quillon.Dispatch.__doc__


def test_signature_names_the_parameters_and_what_may_be_left_out(make):
    srv = make("QServer.QServer")
    signature = inspect.signature(srv.SetCookie)
    assert list(signature.parameters) == ["CookieName", "CookieValue", "Expires"]
    assert signature.parameters["CookieName"].annotation == "str"
    assert signature.parameters["CookieName"].default is inspect.Parameter.empty
    assert signature.parameters["Expires"].default is quillon.Missing
    assert signature.return_annotation == "None"
    # Keyword calls use the same names.
    srv.SetCookie(CookieName="a", CookieValue="b")
    assert srv.GetDataNameCount() == 0


def test_the_enumeration_is_importable_from_quillon_constants(qserver_library):
    from quillon.constants import qlADO, qlDAO35, qlDatabaseTypeConstants

    assert (qlDAO35, qlADO) == (0, 2)
    assert [(c.name, int(c)) for c in qlDatabaseTypeConstants] == [
        ("qlDAO35", 0), ("qlDAO30", 1), ("qlADO", 2), ("qlDAO36", 3), ("qlDAOPassThrough", 4)]
    assert "qlDAOPassThrough" in dir(quillon.constants)
    with pytest.raises(AttributeError):
        quillon.constants.qlNoSuchConstant


def stub_tree() -> ast.Module:
    path = Path(os.environ["QUILLON_BUILD_DIR"]) / "python" / "quillon.pyi"
    return ast.parse(path.read_text(encoding="utf-8"), filename=str(path))


def defined_names(statements: list[ast.stmt]) -> set[str]:
    """The names a module or class body defines."""
    names = set()
    for item in statements:
        if isinstance(item, (ast.ClassDef, ast.FunctionDef, ast.AsyncFunctionDef)):
            names.add(item.name)
        elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
            names.add(item.target.id)
        elif isinstance(item, ast.Assign):
            names.update(t.id for t in item.targets if isinstance(t, ast.Name))
    return names


def interface_classes() -> dict[str, ast.ClassDef]:
    """The stub's classes of interfaces, by the interface their docstring
    names ("IQServer (dual interface)")."""
    classes = {}
    for node in stub_tree().body:
        doc = ast.get_docstring(node) if isinstance(node, ast.ClassDef) else None
        if doc and doc.split(" ", 1)[1].startswith(("(dual interface)", "(dispatch interface)")):
            classes[doc.split(" ", 1)[0]] = node
    return classes


def test_the_stub_has_a_class_with_every_member_for_every_interface():
    classes = interface_classes()
    tables = sorted(GOLDEN.glob("*.txt"))
    assert tables
    for table in tables:
        interface = table.stem.split(".", 1)[1]
        assert interface in classes, f"no class for {interface} in the stub"
        missing = set(golden_members(table.stem)) - defined_names(classes[interface].body)
        assert not missing, f"{interface} lacks {sorted(missing)}"


def test_the_stub_declares_the_whole_module():
    top = defined_names(stub_tree().body)
    public = {name for name in dir(quillon) if not name.startswith("_")}
    assert not public - top, f"the stub lacks {sorted(public - top)}"


@pytest.mark.parametrize("progid, interface", CLASSES + [
    ("QClient.QClientCtrl.2", "QClientDispatch"),
    ("QuillonGrid.Sheet", "ISheet"),
])
def test_the_stub_types_create_object_by_progid(progid, interface):
    for node in stub_tree().body:
        if not (isinstance(node, ast.FunctionDef) and node.name == "CreateObject"):
            continue
        annotation = node.args.args[0].annotation
        if (isinstance(annotation, ast.Subscript) and
                progid in ast.literal_eval(annotation.slice)):
            assert interface_classes()[interface].name == ast.unparse(node.returns)
            return
    pytest.fail(f"no CreateObject overload for {progid}")
