#!/usr/bin/python3
"""Writes docs/reference.md: every class and member of the automation door
(from the member tables, as tests/golden/members/ pins them) with the plain
C++ member that the adapter forwards to (read from the adapters' Forward
lines) and a line on what it does.

  python3 docs/gen_reference.py > docs/reference.md

Run it after a member table changes; tests/integration/docs checks that the
reference names every member of every table.
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
GOLDEN = ROOT / "tests" / "golden" / "members"

# Interface -> (class, ProgIDs, adapter source and class, C++ door class, header)
CLASSES = {
    "IQServer": ("QServer", "`QServer.QServer`, `QServer.QServer.3`",
                 ("server/qserver_object.h", "QServerObject"),
                 "quillon::server::QServer", "quillon/server/qserver.h"),
    "IQHtmlDoc": ("QHtmlDoc", "`QServer.QHtmlDoc`, `QServer.QHtmlDoc.3`",
                  ("server/html_objects.h", "QHtmlDocObject"),
                  "quillon::html::Document", "quillon/html/document.h"),
    "IHtmlTag": ("HtmlTag", "`QServer.HtmlTag` (made by documents and tags, not by scripts)",
                 ("server/html_objects.h", "HtmlTagObject"),
                 "quillon::html::Tag", "quillon/html/tag.h"),
    "IHtmlTags": ("HtmlTags", "`QServer.HtmlTags` (a tag's `Tags`)",
                  ("server/html_objects.h", "HtmlTagsObject"),
                  "quillon::html::Tags", "quillon/html/tag.h"),
    "QClientDispatch": ("QClientCtrl", "`QClient.QClientCtrl.2`",
                        ("client/client_control.h", "ClientControl"),
                        "quillon::client::Client", "quillon/client/client.h"),
}
# The other libraries' tables, by the library that serves them (the golden
# files are named <library>.<interface>): a heading and a paragraph each.
LIBRARIES = {
    "quillon-grid": (
        "The stand-in grid",
        "The stand-in grid `QuillonGrid.Sheet` (`libquillon-grid.so`) answers the calls "
        "`LoadTabula` makes on a spreadsheet-like control, for tests; it has no C++ door "
        "and is not meant for pages."),
    "quillon-engines": (
        "The database engines",
        "The DAO-shaped engines over SQLite and the ADO-shaped one over ODBC "
        "(`libquillon-engines.so`) that the recordset binding calls; they stand outside the "
        "toolkit proper and have no C++ door."),
    "quillon-serving": (
        "The debug object of a page program",
        "The object a page program publishes under a debugger as `<project>.QuillonDebug` "
        "(`libquillon-serving.so`), which the monitor calls."),
}

# Members whose adapter does more than forward, by interface.member.
CXX_BY_HAND = {
    "IQServer._InternalPointer": "(the object itself: `QServerObject::plain()`)",
    "IQServer.AboutBox": "`quillon::desktop` (loaded on demand)",
    "IQServer.SessionVariable": "`SessionVariable` / `SetSessionVariable`",
    "IQHtmlDoc._Item": "`Item`",
    "IQHtmlDoc.AboutBox": "`quillon::desktop` (loaded on demand)",
    "IHtmlTag._Tags": "`Tags`",
    "IHtmlTag.Tags": "`Tags`",
    "IHtmlTag._InternalPointer": "(the tag itself)",
    "IHtmlTags._NewEnum": "`Count` and `At` (iterate)",
    "IHtmlTags._Item": "`FindKey` + `Item`",
    "IHtmlTags.Item": "`FindKey` + `Item`",
    "IHtmlTags.Count": "`Count`",
    "QClientDispatch.AboutBox": "`quillon::desktop` (loaded on demand)",
}

WHAT = {
    # QServer: the request
    "IQServer.ContentType": "The response's content type (default `text/html`).",
    "IQServer.Result": "The result value sent to a client control (`QServerResult`).",
    "IQServer.OffLineDebug": "True when the object was started for off-line debugging (from a property bag).",
    "IQServer._InternalPointer": "Hidden: lets a `QHtmlDoc` of the same process write into this response.",
    "IQServer.WriteString": "Appends text to the response body.",
    "IQServer.WriteCRLF": "Appends a line end to the response body.",
    "IQServer.WriteBinary": "Makes a byte array the response body (replaces text).",
    "IQServer.WriteFromFile": "Makes a file's bytes the response body; 10002 when it cannot be read.",
    "IQServer.GetDataNameCount": "How many distinct value names the request carried.",
    "IQServer.GetDataName": "The name at a position (0-based); 10004 out of range.",
    "IQServer.GetSubIndexCount": "How many values carry a name (names compare without case).",
    "IQServer.GetStringData": "A value as text; 10005 when there is no such value.",
    "IQServer.GetRecordsetData": "Stores a recordset value into a table of a database (DAO or ADO).",
    "IQServer.GetBinaryData": "A value as a byte array.",
    "IQServer.GetFileData": "Writes a value (an uploaded file) to a file; 10003 when it cannot be written.",
    "IQServer.SetStringData": "Adds a text value to the answer for a client control.",
    "IQServer.SetRecordsetData": "Adds a recordset read from a database to the answer.",
    "IQServer.SetBinaryData": "Adds a byte-array value to the answer.",
    "IQServer.SetFileData": "Adds a file's bytes as a value to the answer.",
    "IQServer.ResetContents": "Empties the values to send.",
    "IQServer.GetServerVariable": "A CGI variable (`REQUEST_METHOD`, `REMOTE_ADDR`, ...); empty when unset.",
    "IQServer.GetULFileName": "The browser's file name of an uploaded file field.",
    "IQServer.GetULContentType": "The content type of an uploaded file field.",
    "IQServer.CreateTempCopy": "Copies a file to a new temporary file deleted with the object; returns its path.",
    "IQServer.SaveRequestData": "Writes the request's values to a file (a capture for the monitor).",
    "IQServer.DebugInit": "Hidden: starts the object on a captured request (debug runs).",
    "IQServer.DebugExit": "Hidden: gives the header and body instead of writing them (debug runs).",
    "IQServer.URLEncode": "URL-encodes text.",
    "IQServer.URLDecode": "Decodes URL-encoded text.",
    "IQServer.GetDataIntoRecordset": "Stores a recordset value through an open database object.",
    "IQServer.SetDataFromRecordset": "Adds a recordset read through an open database object.",
    "IQServer.GetCookie": "A cookie of the request; empty when absent.",
    "IQServer.SetCookie": "Sets a cookie, with an optional expiry date.",
    "IQServer.SetExpires": "Adds an `Expires:` header.",
    "IQServer.AddHeader": "Adds a header line (`Status: 404 Not Found`, `Location: ...`); CR/LF refused.",
    "IQServer.SessionVariable": "A value kept in a cookie between requests (signed with `QUILLON_SESSION_KEY`).",
    "IQServer.AboutBox": "Shows the about box (needs the desktop library and a display).",
    # QHtmlDoc
    "IQHtmlDoc._Item": "Hidden default member: the same as `Item`.",
    "IQHtmlDoc.DummyTagName": "The name of text-block tags (default `TEXTBLOCK`).",
    "IQHtmlDoc.Head": "The `HEAD` tag.",
    "IQHtmlDoc.Body": "The `BODY` tag.",
    "IQHtmlDoc.Title": "The text of the `TITLE` tag (made when missing).",
    "IQHtmlDoc.Text": "The document as text in the template form; setting it parses the text.",
    "IQHtmlDoc.HtmlWarning": "The repair warnings of the last load, one line each (see templates.md).",
    "IQHtmlDoc.FindByID": "The first tag with an identifier (`QLID`); Nothing when none.",
    "IQHtmlDoc.FindByTagName": "The first tag with a name; starts a search `FindNext` continues.",
    "IQHtmlDoc.FindByParameter": "The first tag with a parameter value; starts a search `FindNext` continues.",
    "IQHtmlDoc.Clear": "Empties the document.",
    "IQHtmlDoc.Load": "Parses a template file, repairing nesting (see templates.md).",
    "IQHtmlDoc.WriteTo": "Writes the page into a `QServer` object's response.",
    "IQHtmlDoc.Item": "A child of the root by position or key.",
    "IQHtmlDoc.SetMasterPage": "Parses template text as `Load` parses a file.",
    "IQHtmlDoc.DummyBlockTagName": "The name of grouping tags that are not written (default `DUMMYBLOCK`).",
    "IQHtmlDoc.Save": "Writes the page to a file.",
    "IQHtmlDoc.GetPageData": "The page as text.",
    "IQHtmlDoc.SaveMasterPage": "Writes the template form (identifiers kept) to a file.",
    "IQHtmlDoc.GetMasterPage": "The template form as text.",
    "IQHtmlDoc.TextPosToTag": "The tag at a text position of the page or template form.",
    "IQHtmlDoc.TagToTextPos": "Where a tag begins and ends in the page or template form.",
    "IQHtmlDoc.Root": "The root tag (`HTML`, or `ROOT` for a fragment).",
    "IQHtmlDoc.IndentCode": "The indentation written per nesting level (default one TAB).",
    "IQHtmlDoc.FindNext": "The next tag of the last search; Nothing once after the last.",
    "IQHtmlDoc.ConvertMasterPage": "Reads `ID` instead of `QLID` as the identifier (old templates).",
    "IQHtmlDoc.SetFindPosition": "Sets the tag after which `FindNext` continues.",
    "IQHtmlDoc.AboutBox": "Shows the about box (needs the desktop library and a display).",
    # HtmlTag
    "IHtmlTag._Tags": "Hidden default member: the children (`Tags`).",
    "IHtmlTag.Parent": "The enclosing tag.",
    "IHtmlTag.Tags": "The children, an `HtmlTags` collection.",
    "IHtmlTag.TagName": "The tag's name, upper-case.",
    "IHtmlTag.Index": "The position among its siblings (0-based).",
    "IHtmlTag.Text": "The text of its first text block (set: made when missing); written as given.",
    "IHtmlTag.Value": "`VALUE` of `INPUT`, `OPTION`, `PARAM` and text blocks; `Text` of other tags.",
    "IHtmlTag.ID": "The identifier (`QLID` in the template).",
    "IHtmlTag.NextTag": "The next sibling; 10013 when there is none.",
    "IHtmlTag.PreviousTag": "The previous sibling; 10013 when there is none.",
    "IHtmlTag.ParamCount": "How many parameters the tag has.",
    "IHtmlTag.Write": "Hidden: writes the tag to the document's current output.",
    "IHtmlTag.Add": "Appends a new child tag.",
    "IHtmlTag.InsertBefore": "Inserts a new child before a position or identifier.",
    "IHtmlTag.InsertAfter": "Inserts a new child after a position or identifier.",
    "IHtmlTag.Remove": "Removes children from a position or identifier on.",
    "IHtmlTag.FindByID": "The first tag below with an identifier.",
    "IHtmlTag.FindByTagName": "The first tag below with a name.",
    "IHtmlTag.FindByParameter": "The first tag below with a parameter value.",
    "IHtmlTag.RemoveFromParent": "Takes the tag out of the tree (a template row after copying).",
    "IHtmlTag.CopyBefore": "Inserts copies of the tag before another tag.",
    "IHtmlTag.CopyAfter": "Inserts copies of the tag after another tag (one per row of a list).",
    "IHtmlTag.RemoveAll": "Removes all children.",
    "IHtmlTag.SelectRadio": "Checks the radio button of a group with a value, unchecks the others.",
    "IHtmlTag.SelectOption": "Selects the `OPTION` of a `SELECT` with a value.",
    "IHtmlTag.Parameter": "An attribute's value by name; set adds or replaces it.",
    "IHtmlTag.ParamName": "The name of the attribute at a position.",
    "IHtmlTag.AddCopy": "Appends copies of the tag to another tag's children.",
    "IHtmlTag.ResetParameters": "Removes all attributes.",
    "IHtmlTag.LoadTabula": "Builds an HTML table below the tag from a grid control.",
    "IHtmlTag._InternalPointer": "Hidden: recognises the toolkit's own tags behind an interface.",
    "IHtmlTag.Replace": "Takes over another tag's name, identifier, attributes and children, in place.",
    # HtmlTags
    "IHtmlTags._NewEnum": "Hidden: the enumerator (`for tag in tags` in Python).",
    "IHtmlTags._Item": "Hidden default member: the same as `Item`.",
    "IHtmlTags.Count": "How many tags the collection holds.",
    "IHtmlTags.Item": "A tag by position, or by identifier, `NAME` or tag name.",
    # QClientCtrl
    "QClientDispatch.AgentName": "The HTTP user agent sent.",
    "QClientDispatch.ServerName": "The server's host name or address.",
    "QClientDispatch.PortNo": "The port (16-bit signed: a port above 32767 is given as port - 65536).",
    "QClientDispatch.AppName": "The page's path on the server (`/cgi-bin/page`).",
    "QClientDispatch.ProxyServer": "A proxy host; empty for none (the environment is never used).",
    "QClientDispatch.ProxyPort": "The proxy's port (16-bit signed, like `PortNo`).",
    "QClientDispatch.OffLineDebug": "Exchange with the monitor's editors instead of the server.",
    "QClientDispatch.ResetContents": "Empties the values to send.",
    "QClientDispatch.SetStringData": "Adds a text value to send.",
    "QClientDispatch.SetRecordsetData": "Adds a recordset read from a database to send.",
    "QClientDispatch.SetBinaryData": "Adds a byte-array value to send.",
    "QClientDispatch.SetFileData": "Adds a file's bytes (with its name and type) to send.",
    "QClientDispatch.GetStringData": "A value of the answer as text.",
    "QClientDispatch.GetRecordsetData": "Stores a recordset value of the answer into a database table.",
    "QClientDispatch.GetBinaryData": "A value of the answer as a byte array.",
    "QClientDispatch.GetFileData": "Writes a value of the answer to a file.",
    "QClientDispatch.GetDataNameCount": "How many distinct names the answer carried.",
    "QClientDispatch.GetDataName": "The answer's name at a position.",
    "QClientDispatch.GetSubIndexCount": "How many values of the answer carry a name.",
    "QClientDispatch.ProcessSession": "Posts the values to the page and reads its answer; returns `Result`.",
    "QClientDispatch.Download": "Fetches a file from the server into a local file.",
    "QClientDispatch.GetDataIntoRecordset": "Stores a recordset value through an open database object.",
    "QClientDispatch.SetDataFromRecordset": "Adds a recordset read through an open database object.",
    "QClientDispatch.UseSSL": "HTTPS instead of HTTP (dates and host name forgiven; see the README).",
    "QClientDispatch.AboutBox": "Shows the about box (needs the desktop library and a display).",
}


def golden_tables() -> list[tuple[str, str, list[str]]]:
    """(file stem, interface, lines) of every golden member table."""
    tables = []
    for path in sorted(GOLDEN.glob("*.txt")):
        lines = path.read_text().splitlines()
        tables.append((path.stem, lines[0].strip(), lines[1:]))
    return tables


def adapter_members(source: str, adapter: str) -> dict[tuple[str, str], str]:
    """(kind, member) -> plain C++ member, from the adapter's Forward lines."""
    path = ROOT / source
    if not path.exists():
        return {}
    text = path.read_text()
    start = text.find(f"class {adapter} ")
    if start < 0:
        return {}
    end = text.find("\nclass ", start + 1)
    lines = text[start:end if end > 0 else len(text)].splitlines()
    found = {}
    for i, line in enumerate(lines):
        header = re.search(r"HRESULT (get_|put_|putref_)?(\w+)\(", line)
        if not header or "virtual" in line:
            continue
        declaration = " ".join(lines[i:i + 3])
        declaration = declaration[:min(p for p in (declaration.find("{"), declaration.find(";"),
                                                    len(declaration)) if p >= 0)]
        if "override" not in declaration:
            continue
        kind = {"get_": "get", "put_": "put", "putref_": "put"}.get(header.group(1), "method")
        for candidate in lines[i:i + 4]:
            forward = re.search(r"Forward(?:Put)?<&([\w:]+)>", candidate)
            if forward:
                found[(kind, header.group(2))] = forward.group(1).split("::")[-1]
                break
            if candidate.rstrip().endswith("}") or candidate.rstrip().endswith(";"):
                break
    return found


def public_members(header: str) -> set[str]:
    """Names of the functions a public header declares."""
    path = ROOT / "include" / header
    if not path.exists():
        return set()
    return set(re.findall(r"\b([A-Z]\w*)\(", path.read_text()))


def rows(interface: str, lines: list[str], cxx: dict, public: set[str]) -> list[str]:
    """One row per member; a property's get and put share one."""
    members: dict[str, dict] = {}
    order: list[str] = []
    for line in lines:
        m = re.match(r"(-?\d+) (get|put|putref|method) (\w+)\((.*?)\) As (\w+)(.*)$", line)
        if not m:
            raise SystemExit(f"{interface}: unreadable line {line!r}")
        dispid, kind, name, params, result, rest = m.groups()
        key = f"{dispid} {name}"
        if key not in members:
            members[key] = {"dispid": dispid, "name": name, "kinds": [], "params": "",
                            "type": "", "hidden": "hidden" in rest}
            order.append(key)
        entry = members[key]
        entry["kinds"].append("put" if kind == "putref" else kind)
        if kind == "get":
            entry["params"], entry["type"] = params, result
        elif kind == "method":
            entry["params"], entry["type"] = params, result
        elif not entry["type"]:
            parts = [p for p in params.split(", ") if p]
            entry["params"] = ", ".join(parts[:-1])
            entry["type"] = parts[-1].split(" As ")[-1] if parts else ""
    out = []
    for key in order:
        e = members[key]
        if "method" in e["kinds"]:
            signature = f"`{e['name']}({e['params']})" + (
                f" As {e['type']}`" if e["type"] != "void" else "`")
            kind = "method"
        else:
            index = f"({e['params']})" if e["params"] else ""
            signature = f"`{e['name']}{index}` As {e['type']}"
            kind = "read/write" if {"get", "put"} <= set(e["kinds"]) else (
                "read-only" if "get" in e["kinds"] else "write-only")
        if e["hidden"]:
            kind += ", hidden"
        qualified = f"{interface}.{e['name']}"
        door = CXX_BY_HAND.get(qualified)
        if door is None:
            names = [cxx[(k, e["name"])] for k in ("method", "get", "put")
                     if (k, e["name"]) in cxx]
            if not names and e["name"] in public:
                names = [e["name"]]  # forwarded in the adapter's source file
            door = " / ".join(f"`{n}`" for n in dict.fromkeys(names)) if names else "—"
        what = WHAT.get(qualified, "")
        out.append(f"| {e['dispid']} | {signature} | {kind} | {door} | {what} |")
    return out


def main() -> int:
    tables = golden_tables()
    by_interface = {interface: (stem, lines) for stem, interface, lines in tables}
    print("""\
# Reference: every class and member, both doors

Generated by `docs/gen_reference.py` from the member tables (the automation
door: what `quillon.CreateObject(...)` objects and any `IDispatch` host
see, by name or by DISPID) and from the adapters, which name the plain C++
member each automation member forwards to (the C++ door: link
`quillon::server`, or `pkg-config --cflags --libs quillon`). Neither door
can do what the other cannot.

Names compare without regard to case in the automation door
(`srv.getstringdata` works in Python); the C++ names are exact. Text is
`std::string` bytes in the process code page in C++, automation strings
(UTF-16, `str` in Python) in the other door. Failures are `quillon.Error`
(Python) with the HRESULT, description, source, help context and message
number, or an exception carrying the message number (C++); the numbers and
texts are the toolkit's messages (10001-10035, 20001-20099), in English
under `QUILLON_MESSAGES=en`.

Columns: DISPID; the member with its parameters and type as the type
information gives them; its kind; the C++ member of the class named in the
heading; what it does.

The same is at hand without this page: every object answers
`GetTypeInfo`, and `LoadRegTypeLib` reads `QServerLib` and `QClientLib`
through the registry. In Python, `dir(obj)` lists the members, `help(obj)`
and `help(obj.Member)` show their parameters and types, `quillon.constants`
holds `qlDatabaseTypeConstants` (`from quillon.constants import qlADO`), and
the stub `quillon.pyi` installed beside the module gives an editor every
class's members.
""")
    for interface, (cls, progids, (source, adapter), cxx_class, header) in CLASSES.items():
        if interface not in by_interface:
            continue
        _, lines = by_interface.pop(interface)
        print(f"### `{interface}`\n")
        print(f"Class `{cls}`, ProgID {progids}. C++ door: `{cxx_class}` "
              f"(`#include \"{header}\"`).\n")
        print("| DISPID | Member | Kind | C++ | What it does |\n|---|---|---|---|---|")
        print("\n".join(rows(interface, lines, adapter_members(source, adapter),
                              public_members(header))))
        print()
    for library, (heading, about) in LIBRARIES.items():
        served = [(i, t) for i, t in by_interface.items() if t[0].split(".")[0] == library]
        if not served:
            continue
        print(f"## {heading}\n")
        print(about + "\n")
        for interface, (stem, lines) in served:
            del by_interface[interface]
            print(f"### `{interface}`\n")
            print(f"`{stem}`.\n")
            print("| DISPID | Member | Kind | C++ | What it does |\n|---|---|---|---|---|")
            print("\n".join(rows(interface, lines, {}, set())))
            print()
    if by_interface:
        raise SystemExit("no section for " + ", ".join(sorted(by_interface)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
