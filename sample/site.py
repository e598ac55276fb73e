#!/usr/bin/python3
"""The whole contact book as one FastCGI application: every page of cgi-bin/
in one process, chosen by the request's script name. This is what a page
server runs in production (docs/deploy.md): one program on one socket,
several processes of it sharing that socket, as many page servers as the
load needs, all stateless (sessions are signed cookies, data is in the
database SAMPLE_DATABASE names).

Started by a web server as CGI it answers the one request, like any page.
"""
import importlib.util
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.environ.get("SAMPLE_HOME", HERE))

import app  # noqa: E402  (after the path above)


def load_pages() -> dict:
    """name.py -> the page function of cgi-bin/name.py (run as a module, so
    its own `if __name__ == "__main__"` serving stays out of the way)."""
    pages = {}
    cgi_bin = os.path.join(HERE, "cgi-bin")
    for file_name in sorted(os.listdir(cgi_bin)):
        if not file_name.endswith(".py"):
            continue
        spec = importlib.util.spec_from_file_location(
            "sample_page_" + file_name[:-3], os.path.join(cgi_bin, file_name))
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        pages[file_name] = module.page
    return pages


PAGES = load_pages()


def dispatch(srv) -> None:
    # nginx passes /cgi-bin/list.py as SCRIPT_NAME; a front that maps the
    # folder to the program may pass the page's name as PATH_INFO instead.
    path = srv.GetServerVariable("SCRIPT_NAME") + srv.GetServerVariable("PATH_INFO")
    name = path.rstrip("/").rsplit("/", 1)[-1]
    page = PAGES.get(name)
    if page is None:
        srv.AddHeader("Status: 404 Not Found")
        srv.WriteString("No such page.")
        return
    page(srv)


if __name__ == "__main__":
    app.serve(dispatch)
