"""Several page servers behind one front: nginx with an upstream of three
FastCGI page servers of the sample, data in PostgreSQL through ODBC,
sessions in cookies signed with one key (layout.py builds it)."""

from __future__ import annotations

import html
import os
import re
import subprocess
import time
import uuid
from pathlib import Path

import pytest

import layout as deploy
from conftest import require_built


def cxx_runtime() -> str:
    out = subprocess.run(["g++", "-print-file-name=libstdc++.so.6"], capture_output=True,
                         text=True, check=True).stdout.strip()
    return str(Path(out).resolve())

NAME_LINK = re.compile(r'<A HREF="edit\.py\?id=(\d+)">(.*?)</A>')
LOAD_SECONDS = 3
LOAD_CONNECTIONS = 8


@pytest.fixture(scope="module")
def site(build_dir: Path, tmp_path_factory) -> deploy.Layout:
    for program in (deploy.NGINX, deploy.WRK):
        if not Path(program).exists():
            pytest.fail(f"{program} is missing (./run test installs it)", pytrace=False)
    require_built(build_dir / "bin" / "qreg", "the registration program qreg")
    module = next((build_dir / "python").glob("quillon*.so"), build_dir / "python" / "quillon.so")
    require_built(module, "the Python module quillon")
    base_env = {k: os.environ[k] for k in ("LD_PRELOAD", "ASAN_OPTIONS") if k in os.environ}
    if "libasan" in base_env.get("LD_PRELOAD", ""):
        # A C++ exception inside a component, in a python3 with the ASan
        # runtime preloaded, needs the C++ runtime preloaded as well.
        base_env["LD_PRELOAD"] += ":" + cxx_runtime()
    layout = deploy.Layout(build_dir, tmp_path_factory.mktemp("deploy"), base_env, count=3)
    try:
        layout.start()
    except deploy.LayoutError as error:
        layout.stop()
        pytest.fail(str(error), pytrace=False)
    yield layout
    layout.stop()


def names(answer: deploy.Answer) -> list[str]:
    assert answer.status == 200, answer.body[:2000]
    return [html.unescape(name) for _, name in NAME_LINK.findall(answer.body.decode())]


def multipart(fields: dict[str, str]) -> tuple[bytes, dict[str, str]]:
    boundary = "deploy" + uuid.uuid4().hex
    body = b"".join(f'--{boundary}\r\nContent-Disposition: form-data; name="{k}"\r\n\r\n{v}\r\n'
                    .encode() for k, v in fields.items()) + f"--{boundary}--\r\n".encode()
    return body, {"Content-Type": "multipart/form-data; boundary=" + boundary}


def test_front_shares_the_requests_among_the_page_servers(site):
    nginx = site.nginx
    first = deploy.fetch(nginx.url("/"))
    assert (first.status, first.headers.get("location", "").endswith("/cgi-bin/list.py")) == (
        302, True)
    seen = set()
    for _ in range(3 * len(site.servers)):
        answer = deploy.fetch(nginx.url("/cgi-bin/list.py"))
        assert answer.status == 200 and b"contacts" in answer.body, answer.body[:2000]
        seen.add(answer.upstream)
    assert seen == {s.address for s in site.servers}


def test_contact_written_through_one_server_is_read_through_the_others(site):
    writer, *readers = site.servers
    name = "Deploy " + uuid.uuid4().hex[:8]
    body, headers = multipart({"name": name, "email": "d@example.org", "phone": "1",
                               "kind": "work", "newsletter": "yes"})
    saved = deploy.fetch(site.nginx.url("/cgi-bin/edit.py", writer), data=body, headers=headers)
    assert saved.status == 302, saved.body[:2000]
    for reader in readers:
        answer = deploy.fetch(site.nginx.url("/cgi-bin/list.py", reader))
        assert name in names(answer), reader.name


def _sort_cookie(answer: deploy.Answer) -> str:
    """The session variable "sort" as the browser sends it back."""
    for cookie in answer.cookies:
        found = re.match(r"\s*(\w*_sort=[^;]+)", cookie)
        if found:
            return found.group(1)
    pytest.fail(f"no session cookie for sort: {answer.cookies}", pytrace=False)


def test_session_cookie_set_by_one_server_is_accepted_by_the_others(site):
    setter, *others = site.servers
    # "newest" lists the contacts in another order than the default (by
    # name); by e-mail the sample's order is the default one.
    by_newest = deploy.fetch(site.nginx.url("/cgi-bin/list.py?sort=newest", setter))
    cookie = _sort_cookie(by_newest)
    assert "." in cookie, f"the cookie is not signed: {cookie}"
    newest = names(by_newest)
    plain = names(deploy.fetch(site.nginx.url("/cgi-bin/list.py", setter)))
    assert newest != plain, "the sample data cannot tell the orders apart"
    for other in others:
        answer = deploy.fetch(site.nginx.url("/cgi-bin/list.py", other),
                              headers={"Cookie": cookie})
        assert names(answer) == newest, other.name
    # Another value under a tag made for "email" is dropped as if absent.
    email_cookie = _sort_cookie(deploy.fetch(site.nginx.url("/cgi-bin/list.py?sort=email",
                                                            setter)))
    forged = email_cookie.replace("_sort=email.", "_sort=newest.", 1)
    assert forged != email_cookie, email_cookie
    answer = deploy.fetch(site.nginx.url("/cgi-bin/list.py", others[0]), headers={"Cookie": forged})
    assert names(answer) == plain


def test_server_with_another_key_drops_the_others_cookies(site):
    cookie = _sort_cookie(deploy.fetch(site.nginx.url("/cgi-bin/list.py?sort=newest",
                                                      site.servers[0])))
    stranger = site.new_server("stranger", env=dict(site.env, QUILLON_SESSION_KEY="x" * 64))
    try:
        front = deploy.Nginx(site.workdir / "nginx-stranger", [stranger]).start()
        try:
            url = front.url("/cgi-bin/list.py", stranger)
            deploy.wait_until(lambda: deploy.fetch(url, timeout=10).status == 200, 30,
                              "the server with another key did not answer", stranger.log)
            plain = names(deploy.fetch(url))
            newest = names(deploy.fetch(url + "?sort=newest"))
            assert newest != plain
            assert names(deploy.fetch(url, headers={"Cookie": cookie})) == plain
        finally:
            front.stop()
    finally:
        stranger.stop()


def test_killed_server_fails_only_requests_in_flight_and_returns_when_restarted(site):
    victim = site.servers[1]
    url = site.nginx.url("/cgi-bin/list.py")
    running = deploy.start_wrk(url, LOAD_SECONDS, LOAD_CONNECTIONS, site.workdir)
    time.sleep(LOAD_SECONDS / 3)
    victim.kill()
    during = deploy.finish_wrk(running, LOAD_SECONDS)
    # Requests in flight on the killed server may fail; nginx passes the
    # others on (fastcgi_next_upstream), so at most one per connection.
    assert during.requests > 0, during.output
    assert during.failed <= LOAD_CONNECTIONS, during.output
    print(f"killed under load: {during.failed} of {during.requests} requests failed")

    after = deploy.run_wrk(url, 2, LOAD_CONNECTIONS, site.workdir)
    assert after.requests > 0 and after.failed == 0, after.output
    assert after.answered_by(victim.address) == 0, after.output
    assert {u for (_, u) in after.by_answer} == {s.address for s in site.servers
                                                 if s is not victim}, after.output

    site.restart(victim)
    deadline = time.monotonic() + 30
    while deploy.fetch(url).upstream != victim.address:
        assert time.monotonic() < deadline, "the restarted page server took no request"
        time.sleep(0.1)
