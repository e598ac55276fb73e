"""What every page of the contact book shares: the one database setting, data
access through the toolkit's engines, the master page and the error page.
Escaping, form values, header lines and redirects are the module's own page
helpers (quillon.escape, srv.value, srv.header, srv.redirect).

The database is chosen by ONE setting, the environment variable
SAMPLE_DATABASE (lighttpd passes it to every page):

  a file path            SQLite through the DAO engine (the default,
                         database type 3, qlDAO36)
  Driver={...};...       any ODBC connection string, through the ADO engine
                         (database type 2), e.g. PostgreSQL:
                         Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=5432;
                         Database=contacts;Uid=postgres;BoolsAsChar=0;
"""

from __future__ import annotations

import os
from pathlib import Path

import quillon

HERE = Path(__file__).resolve().parent
TEMPLATES = Path(os.environ.get("SAMPLE_TEMPLATES", HERE / "templates"))
DEFAULT_DATABASE = str(HERE / "contacts.db")

QL_ADO = 2    # qlDatabaseTypeConstants: ADO over ODBC
QL_DAO36 = 3  # DAO 3.6 over SQLite

SORT_ORDERS = {"name": "name", "email": "email", "newest": "id DESC"}
KINDS = ("friend", "work", "family")


def database_setting() -> str:
    return os.environ.get("SAMPLE_DATABASE") or DEFAULT_DATABASE


def database_type(setting: str | None = None) -> int:
    setting = database_setting() if setting is None else setting
    return QL_ADO if "=" in setting and ";" in setting else QL_DAO36


def row_id(text: str) -> int | None:
    """A row identifier a visitor sent: plain decimal digits, or None. More
    than 15 digits name no row (and would not travel as an exact number)."""
    return int(text) if text.isascii() and text.isdigit() and len(text) <= 15 else None


# ADO DataTypeEnum: what a Python value is sent as.
AD_EMPTY, AD_INTEGER, AD_VARWCHAR, AD_LONGVARBINARY = 0, 3, 202, 205
AD_PARAM_INPUT = 1


def ado_type(value) -> int:
    if isinstance(value, bool) or value is None:
        return AD_EMPTY
    if isinstance(value, int):
        return AD_INTEGER
    if isinstance(value, (bytes, bytearray)):
        return AD_LONGVARBINARY
    return AD_VARWCHAR


class Database:
    """The contact table through the toolkit's DAO or ADO engine.

    Every statement that carries a value is parameterised: the SQL text has a
    ? marker where the value goes, and the value is bound to it (a DAO query
    definition or an ADO command), never written into the text. Both engines
    answer the same recordset members (EOF, MoveNext, Fields).
    """

    def __init__(self, setting: str | None = None) -> None:
        self.setting = database_setting() if setting is None else setting
        self.type = database_type(self.setting)
        if self.type == QL_DAO36:
            engine = quillon.CreateObject("DAO.DBEngine.36")
            if os.path.exists(self.setting):
                self._db = engine.OpenDatabase(self.setting)
            else:
                self._db = engine.CreateDatabase(self.setting)
            self._conn = None
        else:
            self._conn = quillon.CreateObject("ADODB.Connection")
            self._conn.Open(self.setting)
            self._db = None

    @property
    def is_sqlite(self) -> bool:
        return self.type == QL_DAO36

    def _statement(self, sql: str, values):
        """A DAO query definition or an ADO command for `sql`, its ? markers
        bound to `values` in order."""
        if self._db is not None:
            query = self._db.CreateQueryDef("", sql)
            for i, value in enumerate(values):
                query.Parameters(i).Value = value
            return query
        command = quillon.CreateObject("ADODB.Command")
        command.ActiveConnection = self._conn
        command.CommandText = sql
        for value in values:
            command.Parameters.Append(
                command.CreateParameter("", ado_type(value), AD_PARAM_INPUT, 0, value))
        return command

    def execute(self, sql: str, *values) -> None:
        """Runs a statement that returns no rows; `values` fill its ? markers."""
        self._statement(sql, values).Execute()

    def rows(self, sql: str, *values) -> list[dict]:
        """The rows of a query; `values` fill its ? markers."""
        statement = self._statement(sql, values)
        rs = statement.OpenRecordset() if self._db is not None else statement.Execute()
        fields = rs.Fields
        names = [fields.Item(i).Name for i in range(fields.Count)]
        out = []
        while not rs.EOF:
            # A database Null arrives as quillon.Null; the pages want None.
            out.append({n: None if isinstance(v, quillon.NullType) else v
                        for n, v in ((n, fields.Item(n).Value) for n in names)})
            rs.MoveNext()
        rs.Close()
        return out

    def add(self, table: str, values: dict) -> None:
        """Inserts one row; the names come from the program, the values are bound."""
        names = ", ".join(values)
        markers = ", ".join("?" for _ in values)
        self.execute(f"INSERT INTO {table} ({names}) VALUES ({markers})", *values.values())

    def create_schema(self) -> None:
        key = "INTEGER PRIMARY KEY" if self.is_sqlite else "SERIAL PRIMARY KEY"
        blob = "BLOB" if self.is_sqlite else "BYTEA"
        self.execute(
            f"CREATE TABLE IF NOT EXISTS contacts (id {key}, name TEXT NOT NULL, "
            f"email TEXT, phone TEXT, kind TEXT, newsletter TEXT, "
            f"file_name TEXT, file_type TEXT, file_data {blob})")


# --- Pages ------------------------------------------------------------------------------


def start_page():
    """The page's QServer object, started on the live CGI request."""
    srv = quillon.CreateObject("QServer.QServer")
    quillon.LoadFromStream(srv)
    return srv


def template(name: str, title: str):
    """The master page with `name`'s content in it.

    master.htm holds the header every page shares; the page's own template
    brings a tag with QLID "content" that replaces the master's placeholder.
    The header is edited through its identifiers, never as text.
    """
    doc = quillon.CreateObject("QServer.QHtmlDoc")
    doc.Load(str(TEMPLATES / "master.htm"))
    part = quillon.CreateObject("QServer.QHtmlDoc")
    part.Load(str(TEMPLATES / name))
    doc.FindByID("content").Replace(part.FindByID("content"))
    doc.Title = "Contacts - " + quillon.escape(title)
    doc.FindByID("heading").Text = quillon.escape(title)
    doc.FindByID("backend").Text = "SQLite (DAO)" if database_type() == QL_DAO36 else "ODBC (ADO)"
    return doc


def error_number(error: quillon.Error) -> int:
    """The message number of a toolkit error (composed ones, 0x80020009,
    included); an engine's 0x800Axxxx carries its number in the low word;
    other codes are shown whole."""
    if error.number is not None:
        return error.number
    code = error.hresult & 0xFFFFFFFF
    return code & 0xFFFF if (code >> 16) == 0x800A else code


def error_page(srv, error: quillon.Error) -> None:
    srv.AddHeader("Status: 500 Internal Server Error")
    doc = template("error.htm", "Something went wrong")
    doc.FindByID("number").Text = str(error_number(error))
    doc.FindByID("hresult").Text = "0x%08X" % (error.hresult & 0xFFFFFFFF)
    doc.FindByID("message").Text = quillon.escape(error.description)
    doc.WriteTo(srv)


def serve(page) -> None:
    """Runs page(srv) on each request: once when the web server starts the
    page as CGI, for every request of the process's life when it runs as a
    FastCGI application (quillon.serve decides). A toolkit error becomes
    the error page."""
    def guarded(srv):
        try:
            page(srv)
        except quillon.Error as error:
            error_page(srv, error)
    quillon.serve(guarded)


run = serve  # the name pages used before they could run over FastCGI
