#!/usr/bin/python3
"""Where sample/client.py sends its table: the recordset "contacts" arrives
as one value and is stored into the contact table; the answer says how many
rows the table holds now."""
import sys, os
sys.path.insert(0, os.environ.get("SAMPLE_HOME", os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
import quillon
import app


def page(srv):
    try:
        db = app.Database()
        before = db.rows("SELECT COUNT(*) AS n FROM contacts")[0]["n"]
        # Recordset text carries no column names: the rows fill the columns
        # in order, so the recordset names the columns the client sends.
        srv.GetRecordsetData("contacts", 0, db.type, db.setting,
                             "SELECT name, email, phone, kind FROM contacts")
        after = db.rows("SELECT COUNT(*) AS n FROM contacts")[0]["n"]
        srv.SetStringData("imported", str(after - before))
        srv.SetStringData("total", str(after))
        srv.Result = "OK"
    except quillon.Error as error:
        srv.SetStringData("error", str(app.error_number(error)))
        srv.SetStringData("message", error.description)
        srv.Result = "FAILED"


if __name__ == "__main__":
    quillon.serve(page)
