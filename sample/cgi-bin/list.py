#!/usr/bin/python3
"""The contact list: one template row copied per contact and filled by QLID.
sample/cpp/list.cc is the same page in C++."""
import sys, os
sys.path.insert(0, os.environ.get("SAMPLE_HOME", os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
import app
from quillon import escape


def page(srv):
    # The sort order is a session variable: a harmless preference. Session
    # variables are plain cookies that a visitor can read and change, so
    # this sample never trusts one to say who someone is; an unknown value
    # falls back to the default order.
    wanted = srv.value("sort")
    if wanted in app.SORT_ORDERS:
        srv.SessionVariable["sort"] = wanted
    sort = srv.SessionVariable["sort"]
    if sort not in app.SORT_ORDERS:
        sort = "name"

    db = app.Database()
    contacts = db.rows("SELECT id, name, email, phone, kind, file_name FROM contacts "
                       "ORDER BY " + app.SORT_ORDERS[sort])

    doc = app.template("list.htm", "Contact list")
    doc.FindByID("sort").SelectOption(sort)
    row = doc.FindByID("row")
    for contact in reversed(contacts):
        # Each copy goes right after the template row, so copying in reverse
        # leaves them in the list's order.
        row.CopyAfter(row, 1)
        copy = row.NextTag
        link = copy.FindByID("name")
        link.Text = escape(contact["name"])
        link.Parameter["HREF"] = "edit.py?id=%d" % contact["id"]
        for field in ("email", "phone", "kind"):
            copy.FindByID(field).Text = escape(contact[field])
        file_link = copy.FindByID("file")
        if contact["file_name"]:
            file_link.Text = escape(contact["file_name"])
            file_link.Parameter["HREF"] = "download.py?id=%d" % contact["id"]
        else:
            file_link.RemoveFromParent()
    row.RemoveFromParent()
    doc.FindByID("count").Text = "%d contacts" % len(contacts)
    doc.WriteTo(srv)


if __name__ == "__main__":
    app.serve(page)
