#!/usr/bin/python3
"""Serves the contact book with quillon-serve (what `./run sample` runs
after building).

  serve.py BUILD_DIR [--check] [--port N] [--fastcgi] [--state DIR]

Prepares what the development server does not know about: the class
registry and the database (created and filled once, through the pages' own
code), and a site directory whose cgi-bin links the Python pages and the
C++ list page of BUILD_DIR. Everything lives in BUILD_DIR/sample-state (or
the --state directory).
Then it becomes quillon-serve (same process, so Ctrl-C or a kill of the
printed pid stops it all); with --check it fetches the list page once and
exits: 0 when the page came back.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
PYTHON = "/usr/bin/python3"
LIBRARIES = ("libqserver.so", "libqclient.so", "libquillon-engines.so")
INDEX = "/cgi-bin/list.py"


def page_settings(build: Path, state: Path) -> dict[str, str]:
    """What the pages need beyond what quillon-serve gives every page."""
    return {
        "SAMPLE_HOME": str(HERE),
        "SAMPLE_DATABASE": os.environ.get("SAMPLE_DATABASE") or str(state / "contacts.db"),
    }


def register(build: Path, registry: Path) -> None:
    env = dict(os.environ, QUILLON_REGISTRY=str(registry))
    registry.unlink(missing_ok=True)
    for library in LIBRARIES:
        subprocess.run([str(build / "bin" / "qreg"), "register", str(build / "lib" / library)],
                       env=env, check=True, stdout=subprocess.DEVNULL)


def set_up_database(build: Path, registry: Path, settings: dict[str, str]) -> None:
    # Through the pages' own code (app.py), with the environment they get.
    env = dict(os.environ, **settings, QUILLON_REGISTRY=str(registry), QUILLON_CODEPAGE="65001",
               PYTHONPATH=os.pathsep.join((str(build / "python"), str(HERE))),
               PYTHONDONTWRITEBYTECODE="1")
    subprocess.run([PYTHON, str(HERE / "setup_db.py")], env=env, check=True)


def make_site(build: Path, site: Path) -> None:
    cgi_bin = site / "cgi-bin"
    cgi_bin.mkdir(parents=True, exist_ok=True)
    links = {page.name: page for page in (HERE / "cgi-bin").glob("*.py")}
    links["list.cgi"] = build / "bin" / "sample_list"
    for old in cgi_bin.iterdir():
        if old.is_symlink() and old.name not in links:
            old.unlink()
    for name, target in links.items():
        link = cgi_bin / name
        if link.is_symlink() or link.exists():
            link.unlink()
        link.symlink_to(target)


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("build", type=Path)
    parser.add_argument("--check", action="store_true", help="fetch the list page once and exit")
    parser.add_argument("--port", type=int, default=int(os.environ.get("SAMPLE_PORT", "8080")))
    parser.add_argument("--fastcgi", action="store_true",
                        help="the Python pages as persistent FastCGI processes")
    parser.add_argument("--state", type=Path,
                        help="registry, database and site links (default BUILD_DIR/sample-state)")
    args = parser.parse_args()

    build = args.build.resolve()
    state = (args.state or build / "sample-state").resolve()
    state.mkdir(parents=True, exist_ok=True)
    registry = state / "registry"
    settings = page_settings(build, state)
    register(build, registry)
    set_up_database(build, registry, settings)
    site = state / "site"
    make_site(build, site)

    serve = [str(build / "bin" / "quillon-serve"), "--port", str(args.port),
             "--registry", str(registry), "--index", INDEX, "--state", str(state / "serve")]
    for name, value in settings.items():
        serve += ["--env", f"{name}={value}"]
    if args.fastcgi:
        serve.append("--fastcgi")
    print(f"The contact book: {site} (database {settings['SAMPLE_DATABASE']})")
    print(f"  client: PYTHONPATH={build / 'python'} QUILLON_REGISTRY={registry} "
          f"{PYTHON} {HERE / 'client.py'} --port <the port below>", flush=True)
    if args.check:
        result = subprocess.run(serve + ["--check", INDEX, str(site)], check=False)
        print("check:", "list page served" if result.returncode == 0 else "list page failed")
        return result.returncode
    os.execv(serve[0], serve + [str(site)])


if __name__ == "__main__":
    sys.exit(main())
