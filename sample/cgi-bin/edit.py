#!/usr/bin/python3
"""The detail form: filled from the database (Value, SelectOption,
SelectRadio), read back from a multipart post, with an optional file that is
stored in a BLOB column."""
import sys, os
sys.path.insert(0, os.environ.get("SAMPLE_HOME", os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
import app
from quillon import escape

FIELDS = ("name", "email", "phone")


def contact_id(srv):
    return app.row_id(srv.value("id"))


def save(srv, db):
    values = {name: srv.value(name).strip() for name in FIELDS}
    if not values["name"]:
        values["name"] = "(no name)"
    kind = srv.value("kind")
    values["kind"] = kind if kind in app.KINDS else app.KINDS[0]
    values["newsletter"] = "yes" if srv.value("newsletter") == "yes" else "no"
    data = srv.GetBinaryData("file", 0) if srv.GetSubIndexCount("file") > 0 else b""
    if data:
        values["file_name"] = os.path.basename(srv.GetULFileName("file", 0)) or "file"
        values["file_type"] = srv.GetULContentType("file", 0) or "application/octet-stream"
        values["file_data"] = bytes(data)
    key = contact_id(srv)
    if key is None:
        db.add("contacts", values)
        return
    # The visitor's values are bound to the ? markers, never put into the text.
    assignments = ", ".join(f"{name} = ?" for name in values)
    db.execute(f"UPDATE contacts SET {assignments} WHERE id = ?", *values.values(), key)


def page(srv):
    db = app.Database()
    if srv.GetServerVariable("REQUEST_METHOD") == "POST":
        save(srv, db)
        srv.redirect("/cgi-bin/list.py")
        return

    key = contact_id(srv)
    doc = app.template("edit.htm", "New contact" if key is None else "Edit contact")
    form = doc.FindByID("form")
    current = doc.FindByID("current")
    if key is None:
        current.RemoveFromParent()
        doc.WriteTo(srv)
        return
    rows = db.rows("SELECT id, name, email, phone, kind, newsletter, file_name "
                   "FROM contacts WHERE id = ?", key)
    if not rows:
        srv.redirect("/cgi-bin/list.py")
        return
    contact = rows[0]
    doc.FindByID("id").Value = str(key)
    for name in FIELDS:
        doc.FindByID(name).Value = escape(contact[name])
    doc.FindByID("kind").SelectOption(contact["kind"] or app.KINDS[0])
    form.SelectRadio("newsletter", contact["newsletter"] or "no")
    if contact["file_name"]:
        current.Text = escape(contact["file_name"])
        current.Parameter["HREF"] = f"download.py?id={key}"
    else:
        current.RemoveFromParent()
    doc.WriteTo(srv)


if __name__ == "__main__":
    app.serve(page)
