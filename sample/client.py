#!/usr/bin/python3
"""Sends a local table of contacts to the contact book as one recordset and
prints the server's answer.

  client.py [--server 127.0.0.1] [--port 8080] [--database local.db]

Without --database a small local SQLite file with two contacts is made in a
temporary folder. The table must be called "contacts" and have the columns
name, email, phone, kind.
"""
import argparse
import sqlite3
import sys
import tempfile
from pathlib import Path

import quillon

QL_DAO36 = 3


def local_table(folder: Path) -> Path:
    path = folder / "local.db"
    with sqlite3.connect(path) as db:
        db.execute("CREATE TABLE contacts (name TEXT, email TEXT, phone TEXT, kind TEXT)")
        db.executemany("INSERT INTO contacts VALUES (?, ?, ?, ?)", [
            ("Hanako Suzuki", "hanako@example.jp", "+81 6 0000 0000", "friend"),
            ("Alan Turing", "alan@example.org", "+44 161 000 0000", "work"),
        ])
    return path


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--server", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=8080)
    parser.add_argument("--database", type=Path)
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as folder:
        database = args.database or local_table(Path(folder))
        c = quillon.CreateObject("QClient.QClientCtrl.2")
        c.ServerName = args.server
        # PortNo is a signed 16-bit property: ports above 32767 are negative.
        c.PortNo = args.port - 65536 if args.port > 32767 else args.port
        c.AppName = "/cgi-bin/import.py"
        c.SetRecordsetData("contacts", QL_DAO36, str(database), "contacts")
        try:
            result = c.ProcessSession()
        except quillon.Error as error:
            print(f"failed: 0x{error.hresult & 0xFFFFFFFF:08X} {error.description}",
                  file=sys.stderr)
            return 1
        answer = {c.GetDataName(i): c.GetStringData(c.GetDataName(i), 0)
                  for i in range(c.GetDataNameCount())}
    print("result:", result)
    for name, value in answer.items():
        if name != "QServerResult":
            print(f"{name}: {value}")
    return 0 if result == "OK" else 1


if __name__ == "__main__":
    sys.exit(main())
