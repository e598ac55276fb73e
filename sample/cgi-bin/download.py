#!/usr/bin/python3
"""A contact's file, byte for byte, with the type it was uploaded with."""
import sys, os
sys.path.insert(0, os.environ.get("SAMPLE_HOME", os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
import re
import app

# The type came with the upload, from the visitor's system. A type a browser
# would run as a page (HTML, SVG, XML, script) would let one visitor put
# script into this site for others, so those are sent as plain bytes, as is
# anything that is not a well-formed type.
WELL_FORMED = re.compile(r"^[A-Za-z0-9][\w.+-]*/[A-Za-z0-9][\w.+-]*$")
ACTIVE = re.compile(r"html|xml|svg|javascript|ecmascript", re.I)


def safe_type(content_type):
    if not content_type or not WELL_FORMED.match(content_type) or ACTIVE.search(content_type):
        return "application/octet-stream"
    return content_type


def page(srv):
    key = app.row_id(srv.value("id"))
    rows = [] if key is None else app.Database().rows(
        "SELECT file_name, file_type, file_data FROM contacts WHERE id = ?", key)
    if not rows or rows[0]["file_data"] is None:
        srv.AddHeader("Status: 404 Not Found")
        srv.ContentType = "text/plain"
        srv.WriteString("no such file")
        return
    row = rows[0]
    srv.ContentType = safe_type(row["file_type"])
    srv.AddHeader("X-Content-Type-Options: nosniff")
    # The name was typed by a visitor's system: only safe characters reach
    # the header, and srv.header() keeps it one line whatever it holds.
    name = "".join(c for c in (row["file_name"] or "file") if c.isalnum() or c in "._- ")
    srv.header("Content-Disposition", f'attachment; filename="{name or "file"}"')
    srv.WriteBinary(bytes(row["file_data"]))


if __name__ == "__main__":
    app.serve(page)
