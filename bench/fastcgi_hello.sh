#!/bin/sh
# The hello page under one lighttpd on 127.0.0.1: examples/hello.cc as CGI
# (a process per request), examples/hello_fcgi.cc over FastCGI (one
# process, started by lighttpd) and, when the build has the Python module
# and qreg, the same page in Python on quillon.serve over FastCGI. Prints
# wrk's requests/s and p99 latency for each and the ratios.
#
# Usage: bench/fastcgi_hello.sh [build-dir]   (a Release build; default
# build-release next to this folder). Needs wrk and lighttpd.
# DURATION (seconds, default 5) and CONNECTIONS (default 4) tune wrk.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build-release}" && pwd)
cgi=$build/bin/qserver_hello
fcgi=$build/bin/qserver_hello_fcgi
for program in "$cgi" "$fcgi"; do
  [ -x "$program" ] || { echo "missing $program (build qserver_hello qserver_hello_fcgi)" >&2; exit 1; }
done
duration=${DURATION:-5}
connections=${CONNECTIONS:-4}

work=$(mktemp -d)
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
mkdir -p "$work/htdocs/cgi-bin"

# The Python page, when it can run: the class comes from a private registry.
module=$(ls "$build"/python/quillon*.so 2>/dev/null | head -n 1 || true)
python_conf=
if [ -n "$module" ] && [ -x "$build/bin/qreg" ]; then
  QUILLON_REGISTRY=$work/registry "$build/bin/qreg" register "$build/lib/libqserver.so" >/dev/null
  cat > "$work/hello.py" <<'PAGE'
#!/usr/bin/python3
import html, quillon
def page(srv):
    name = srv.GetStringData("name", 0) if srv.GetSubIndexCount("name") else "world"
    srv.WriteString("<html><body><p>Hello, " + html.escape(name) + "!</p></body></html>")
quillon.serve(page)
PAGE
  chmod +x "$work/hello.py"
  python_conf=$(cat <<CONF
fastcgi.server += ("/py" => ((
  "socket" => "$work/py.sock",
  "bin-path" => "$work/hello.py",
  "max-procs" => 1,
  "check-local" => "disable",
  "bin-environment" => ("LD_LIBRARY_PATH" => "$build/lib", "PYTHONPATH" => "$build/python",
                        "QUILLON_REGISTRY" => "$work/registry")
)))
CONF
)
fi
ln -s "$cgi" "$work/htdocs/cgi-bin/hello"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat > "$work/lighttpd.conf" <<CONF
server.modules = ("mod_setenv", "mod_cgi", "mod_fastcgi")
server.document-root = "$work/htdocs"
server.bind = "127.0.0.1"
server.port = $port
server.errorlog = "$work/error.log"
setenv.add-environment = ("LD_LIBRARY_PATH" => "$build/lib")
\$HTTP["url"] =~ "^/cgi-bin/" { cgi.assign = ("" => "") }
fastcgi.server = ("/hello" => ((
  "socket" => "$work/hello.sock",
  "bin-path" => "$fcgi",
  "max-procs" => 1,
  "check-local" => "disable",
  "bin-environment" => ("LD_LIBRARY_PATH" => "$build/lib")
)))
$python_conf
CONF
/usr/sbin/lighttpd -D -f "$work/lighttpd.conf" &
pid=$!
tries=0
until curl -sf "http://127.0.0.1:$port/hello?name=x" >/dev/null; do
  tries=$((tries + 1))
  [ "$tries" -lt 100 ] || { cat "$work/error.log" >&2; exit 1; }
  sleep 0.05
done
curl -sf "http://127.0.0.1:$port/cgi-bin/hello?name=x" >/dev/null

run() {
  echo "== $1: wrk -t1 -c$connections -d${duration}s --latency $2" >&2
  wrk -t1 -c"$connections" -d"${duration}s" --latency "$2" > "$work/$1.txt"
  cat "$work/$1.txt" >&2
}
# The FastCGI process's resident memory, which must stay flat.
rss() {
  for child in $(ps -o pid= --ppid "$pid"); do
    if [ "$(readlink "/proc/$child/exe")" = "$(readlink -f "$fcgi")" ]; then
      awk '/^VmRSS/ { print $2 }' "/proc/$child/status"
      return
    fi
  done
  echo "?"
}
run cgi "http://127.0.0.1:$port/cgi-bin/hello?name=World"
wrk -t1 -c"$connections" -d1s "http://127.0.0.1:$port/hello?name=World" > /dev/null
rss_warm=$(rss)
run fastcgi "http://127.0.0.1:$port/hello?name=World"
rss_after=$(rss)
echo "FastCGI process RSS: $rss_warm kB after a 1 s warm-up, $rss_after kB after the run"
if [ -n "$python_conf" ]; then
  curl -sf "http://127.0.0.1:$port/py?name=x" >/dev/null
  run python "http://127.0.0.1:$port/py?name=World"
fi

python3 - "$work/cgi.txt" "$work/fastcgi.txt" "$work/python.txt" <<'PY'
import os
import re, sys
def parse(path):
    text = open(path).read()
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", text).group(1))
    p99 = re.search(r"99%\s+([\d.]+)(us|ms|s)", text)
    scale = {"us": 1e-3, "ms": 1.0, "s": 1e3}[p99.group(2)]
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)|Socket errors: (.*)", text)
    return rps, float(p99.group(1)) * scale, errors.group(0) if errors else "no errors"
cgi, fcgi = parse(sys.argv[1]), parse(sys.argv[2])
for name, (rps, p99, errors) in (("QServer as CGI", cgi), ("QServer over FastCGI", fcgi)):
    print(f"{name:22s} {rps:10.0f} requests/s  p99 {p99:8.2f} ms  ({errors})")
print(f"FastCGI / CGI: {fcgi[0] / cgi[0]:.1f}x requests/s (target >= 20x)")
if os.path.exists(sys.argv[3]):
    py = parse(sys.argv[3])
    print(f"{'Python over FastCGI':22s} {py[0]:10.0f} requests/s  p99 {py[1]:8.2f} ms  ({py[2]})")
    print(f"Python FastCGI / CGI: {py[0] / cgi[0]:.1f}x requests/s")
PY
