"""The documentation says what the toolkit does: the template examples of
docs/templates.md go through the engine and must come out as printed, and
docs/reference.md names every member of every class's member table."""

from __future__ import annotations

import json
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[3]
TEMPLATES_DOC = ROOT / "docs" / "templates.md"
REFERENCE_DOC = ROOT / "docs" / "reference.md"
GOLDEN = ROOT / "tests" / "golden" / "members"

FENCE = re.compile(r"^```(html template|python fill|html page|text warnings)\n(.*?)^```$",
                   re.M | re.S)

RUN_EXAMPLES = r"""
import json, os, sys, tempfile, quillon
results = []
for case in json.load(sys.stdin):
    path = os.path.join(tempfile.mkdtemp(), "example.htm")
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write(case["template"])
    doc = quillon.CreateObject("QServer.QHtmlDoc")
    doc.Load(path)
    warnings = doc.HtmlWarning
    if case["fill"]:
        exec(case["fill"], {"doc": doc, "quillon": quillon})
    results.append({"page": doc.GetPageData(), "warnings": warnings})
json.dump(results, sys.stdout)
"""


def template_examples() -> list[dict]:
    """The examples in document order: a template, optionally the code that
    fills it, the page and the warnings printed after it."""
    examples: list[dict] = []
    for match in FENCE.finditer(TEMPLATES_DOC.read_text(encoding="utf-8")):
        kind, body = match.group(1), match.group(2)
        line = TEMPLATES_DOC.read_text(encoding="utf-8")[:match.start()].count("\n") + 1
        if kind == "html template":
            examples.append({"template": body, "fill": "", "page": None, "warnings": "",
                             "line": line})
            continue
        assert examples, f"docs/templates.md:{line}: a {kind} block before any template"
        key = {"python fill": "fill", "html page": "page", "text warnings": "warnings"}[kind]
        examples[-1][key] = body
    return examples


def as_printed(page: str) -> str:
    """The engine's output the way the document prints it."""
    return page.replace("\r\n", "\n").replace("\t", "    ")


def test_template_examples_come_out_as_the_document_says(page_env):
    examples = template_examples()
    assert len(examples) >= 10, "docs/templates.md lost its examples"
    for example in examples:
        assert example["page"] is not None, (
            f"docs/templates.md:{example['line']}: a template without its page")
    env = {k: v for k, v in page_env.items()
           if k not in ("QUILLON_MESSAGES", "QUILLON_LOG_TEMPLATE_WARNINGS")}
    result = subprocess.run([sys.executable, "-c", RUN_EXAMPLES], env=env,
                            input=json.dumps(examples).encode(), capture_output=True,
                            timeout=120, check=False)
    assert result.returncode == 0, result.stderr.decode(errors="replace")[-3000:]
    for example, got in zip(examples, json.loads(result.stdout)):
        where = f"docs/templates.md:{example['line']}"
        assert as_printed(got["page"]) == example["page"].rstrip("\n"), where
        expected = example["warnings"].rstrip("\n").split("\n") if example["warnings"] else []
        warnings = got["warnings"]
        lines = warnings.removesuffix("\r\n").split("\r\n") if warnings else []
        assert lines == expected, where


def golden_members() -> list[tuple[str, str, str]]:
    """(interface, DISPID, member name) of every line of the golden tables."""
    members = []
    for path in sorted(GOLDEN.glob("*.txt")):
        lines = path.read_text().splitlines()
        interface = lines[0].strip()
        for line in lines[1:]:
            found = re.match(r"(-?\d+) (?:get|put|putref|method) (\w+)\(", line)
            assert found, f"{path.name}: unreadable line {line!r}"
            members.append((interface, found.group(1), found.group(2)))
    return members


def test_reference_names_every_member_of_every_table():
    members = golden_members()
    assert members, "no golden member tables found"
    text = REFERENCE_DOC.read_text(encoding="utf-8")
    sections = {m.group(1): m.start() for m in re.finditer(r"^### `(\S+)`", text, re.M)}
    missing = []
    for interface, dispid, name in members:
        start = sections.get(interface)
        if start is None:
            missing.append(f"{interface} (no section)")
            continue
        following = [s for s in sections.values() if s > start]
        section = text[start:min(following) if following else len(text)]
        if not re.search(rf"^\| {re.escape(dispid)} \| `{re.escape(name)}[`(]", section, re.M):
            missing.append(f"{interface}.{name} (DISPID {dispid})")
    assert not missing, "docs/reference.md does not list: " + ", ".join(sorted(set(missing)))
