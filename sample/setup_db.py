#!/usr/bin/python3
"""Creates the contact table in the database SAMPLE_DATABASE names (see
app.py) and puts a few contacts into an empty one. Safe to run again."""
import app

SEED = [
    {"name": "Ada Lovelace", "email": "ada@example.org", "phone": "+44 20 7946 0001",
     "kind": "work", "newsletter": "yes"},
    {"name": "Taro Yamada", "email": "taro@example.jp", "phone": "+81 3 1234 5678",
     "kind": "friend", "newsletter": "no"},
    {"name": "Grace Hopper", "email": "grace@example.com", "phone": "+1 555 0100",
     "kind": "work", "newsletter": "no"},
    {"name": "Marie <Curie> & Co", "email": "marie@example.fr", "phone": "",
     "kind": "family", "newsletter": "yes"},
]


def main() -> None:
    db = app.Database()
    db.create_schema()
    if db.rows("SELECT COUNT(*) AS n FROM contacts")[0]["n"] == 0:
        for contact in SEED:
            db.add("contacts", contact)
    print("database ready:", db.setting)


if __name__ == "__main__":
    main()
