"""Parameterised statements of the database engines from Python, by member
name: DAO query definitions over SQLite, ADO commands over SQLite (through
sqliteodbc) and PostgreSQL (when QUILLON_TEST_PG_PORT names a server)."""

from __future__ import annotations

import ctypes
import os
from decimal import Decimal
from pathlib import Path

import pytest

import quillon
from conftest import _required

AD_INTEGER, AD_CURRENCY, AD_VARWCHAR, AD_LONGVARBINARY = 3, 6, 202, 205
AD_PARAM_INPUT = 1

# Values a statement built by quoting would get wrong.
TRICKY = [
    (1, "O'Brien said \"hi\" ''", b"'\""),
    (2, "a; DROP TABLE people; --", b"; --"),
    (3, "x'); DELETE FROM people; --", b"\x00\x01\x00"),
    (4, "日本語のテキスト「引用」と ' ;", "日".encode()),
]


@pytest.fixture(scope="session")
def engines_library() -> Path:
    path = Path(_required("QUILLON_BUILD_DIR")) / "lib" / "libquillon-engines.so"
    if not path.exists():
        pytest.fail(f"the engines library is not built: {path} does not exist", pytrace=False)
    library = ctypes.CDLL(str(path))
    library.DllRegisterServer.restype = ctypes.c_int32
    hr = library.DllRegisterServer() & 0xFFFFFFFF
    assert hr == 0, f"DllRegisterServer of {path} failed: 0x{hr:08X}"
    return path


def rows_of(rs) -> list[tuple]:
    out = []
    fields = rs.Fields
    while not rs.EOF:
        out.append(tuple(
            None if isinstance(v, quillon.NullType) else v
            for v in (fields(i).Value for i in range(fields.Count))))
        rs.MoveNext()
    rs.Close()
    return out


def test_dao_query_definitions_bind_their_parameters(engines_library, tmp_path):
    engine = quillon.CreateObject("DAO.DBEngine.36")
    db = engine.CreateDatabase(str(tmp_path / "people.db"))
    db.Execute("CREATE TABLE people (id INTEGER PRIMARY KEY, name TEXT, photo BLOB, "
               "fee MONEY)")
    insert = db.CreateQueryDef("", "PARAMETERS [person id] Long, who Text, pic LongBinary, "
                                   "amount Currency; INSERT INTO people VALUES "
                                   "([person id], who, pic, amount)")
    assert [insert.Parameters(i).Name for i in range(insert.Parameters.Count)] == [
        "person id", "who", "pic", "amount"]
    for key, name, photo in TRICKY + [(5, "before\0after", b"\0")]:
        insert.Parameters("person id").Value = key
        insert.Parameters("WHO").Value = name
        insert.Parameters("pic").Value = photo
        insert.Parameters("amount").Value = Decimal("922337203685477.5")
        insert.Execute()
        assert insert.RecordsAffected == 1
    select = db.CreateQueryDef("", "SELECT id, name, photo, fee FROM people WHERE name = ?")
    for key, name, photo in TRICKY + [(5, "before\0after", b"\0")]:
        select.Parameters(0).Value = name
        assert rows_of(select.OpenRecordset()) == [
            (key, name, photo, Decimal("922337203685477.5"))]
    # A parameter left without a value: DAO's 3061, nothing run.
    delete = db.CreateQueryDef("", "PARAMETERS k Long; DELETE FROM people WHERE id = k")
    with pytest.raises(quillon.Error) as failure:
        delete.Execute()
    assert failure.value.hresult & 0xFFFFFFFF == 0x800A0000 + 3061
    assert rows_of(db.OpenRecordset("SELECT count(*) FROM people")) == [(5,)]
    db.Close()
    del insert, select, delete, db, engine


def connection_strings(tmp_path) -> list[str]:
    strings = ["Driver=SQLite3;Database=" + str(tmp_path / "people-odbc.db")]
    port = os.environ.get("QUILLON_TEST_PG_PORT")
    if port:
        strings.append("Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=" + port +
                       ";Database=postgres;Uid=postgres;BoolsAsChar=0;")
    return strings


def test_ado_commands_bind_their_parameters(engines_library, tmp_path):
    for connection_string in connection_strings(tmp_path):
        conn = quillon.CreateObject("ADODB.Connection")
        conn.Open(connection_string)
        conn.Execute("DROP TABLE IF EXISTS people")
        blob = "bytea" if "PostgreSQL" in connection_string else "BLOB"
        conn.Execute(f"CREATE TABLE people (id integer PRIMARY KEY, name text, photo {blob})")
        insert = quillon.CreateObject("ADODB.Command")
        insert.ActiveConnection = conn
        insert.CommandText = "INSERT INTO people (id, name, photo) VALUES (?, ?, ?)"
        for name, kind in (("id", AD_INTEGER), ("name", AD_VARWCHAR),
                           ("photo", AD_LONGVARBINARY)):
            insert.Parameters.Append(insert.CreateParameter(name, kind, AD_PARAM_INPUT, 0))
        for key, name, photo in TRICKY:
            insert.Parameters("id").Value = key
            insert.Parameters(1).Value = name
            insert.Parameters("PHOTO").Value = photo
            insert.Execute()
        select = quillon.CreateObject("ADODB.Command")
        select.ActiveConnection = conn
        select.CommandText = "SELECT id, name, photo FROM people WHERE name = ? ORDER BY id"
        for key, name, photo in TRICKY:
            # Values given to Execute itself, in marker order.
            assert rows_of(select.Execute(None, [name])) == [(key, name, photo)]
        assert rows_of(select.Execute(None, ["' OR '1'='1"])) == []
        count = quillon.CreateObject("ADODB.Command")
        count.ActiveConnection = conn
        count.CommandText = "SELECT count(*) FROM people"
        # (sqliteodbc describes count(*) as text)
        assert [int(n) for (n,) in rows_of(count.Execute())] == [len(TRICKY)]
        conn.Execute("DROP TABLE people")
        conn.Close()
        del insert, select, count, conn
