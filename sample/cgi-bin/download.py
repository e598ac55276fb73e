#!/usr/bin/python3
"""A contact's file, byte for byte, with the type it was uploaded with."""
import sys, os
sys.path.insert(0, os.environ.get("SAMPLE_HOME", os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
import app


def page(srv):
    key = srv.GetStringData("id", 0) if srv.GetSubIndexCount("id") > 0 else ""
    rows = app.Database().rows(
        f"SELECT file_name, file_type, file_data FROM contacts WHERE id = {int(key)}"
        if key.isdigit() else "SELECT file_name, file_type, file_data FROM contacts WHERE 0 = 1")
    if not rows or rows[0]["file_data"] is None:
        srv.AddHeader("Status: 404 Not Found")
        srv.ContentType = "text/plain"
        srv.WriteString("no such file")
        return
    row = rows[0]
    srv.ContentType = row["file_type"] or "application/octet-stream"
    # The name was typed by a visitor's system: only safe characters reach
    # the header.
    name = "".join(c for c in (row["file_name"] or "file") if c.isalnum() or c in "._- ")
    srv.AddHeader(f'Content-Disposition: attachment; filename="{name or "file"}"')
    srv.WriteBinary(bytes(row["file_data"]))


app.run(page)
