#!/bin/sh
# The serving loop under sustained load, behind lighttpd on 127.0.0.1:
#   1. 2,000 requests at concurrency 16;
#   2. a 60-second run at the highest rate wrk reaches (concurrency 16).
# The page is the integration suite's qserver_serve_page on FastCGI; one
# request in ten uploads a 4 KiB file (a temporary file and a temporary
# copy per request), the others send values, cookies and a session
# variable. After each phase: wrk's errors (socket errors, non-2xx answers,
# answers without the page's first line), the temporary files left behind,
# and the page process's resident memory against its level after a warm-up.
#
# Usage: bench/reliability.sh [build-dir]  (a Release build with
# QUILLON_BUILD_TESTS=ON and the target qserver_serve_page built; default
# build-release next to this folder). DURATION (default 60) and
# CONNECTIONS (default 16) tune phase 2.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build-release}" && pwd)
page=$build/bin/qserver_serve_page
[ -x "$page" ] || { echo "missing $page (cmake --build $build --target qserver_serve_page)" >&2; exit 1; }
for tool in wrk curl /usr/sbin/lighttpd; do
  command -v "$tool" >/dev/null || { echo "missing $tool" >&2; exit 1; }
done
duration=${DURATION:-60}
connections=${CONNECTIONS:-16}

work=$(mktemp -d)
lighttpd_pid=
cleanup() {
  [ -n "$lighttpd_pid" ] && kill "$lighttpd_pid" 2>/dev/null && wait "$lighttpd_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
mkdir -p "$work/htdocs" "$work/tmp"

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat > "$work/lighttpd.conf" <<CONF
server.modules = ("mod_fastcgi")
server.document-root = "$work/htdocs"
server.bind = "127.0.0.1"
server.port = $port
server.errorlog = "$work/error.log"
fastcgi.server = ( "/app" => ((
  "socket" => "$work/app.sock",
  "bin-path" => "$page",
  "max-procs" => 1,
  "check-local" => "disable",
  "bin-environment" => ("LD_LIBRARY_PATH" => "$build/lib", "TMPDIR" => "$work/tmp")
)))
CONF
/usr/sbin/lighttpd -D -f "$work/lighttpd.conf" &
lighttpd_pid=$!
base=http://127.0.0.1:$port
tries=0
until curl -s -o /dev/null "$base/app/echo"; do
  tries=$((tries + 1))
  [ "$tries" -lt 100 ] || { cat "$work/error.log" >&2; exit 1; }
  sleep 0.05
done
pid=$(curl -s "$base/app/echo" | sed -n 's/^pid=\([0-9]*\).*/\1/p' | tr -d '\r')
[ -n "$pid" ] || { echo "the page did not answer with its pid" >&2; exit 1; }

# wrk's script: the mix of requests, a check of every answer, and an
# optional stop after LIMIT answers (per thread; one thread is used).
cat > "$work/mix.lua" <<'LUA'
local n, bad = 0, 0
local limit = tonumber(os.getenv("LIMIT") or "0")
local boundary = "----reliability"
local file = string.rep("0123456789abcdef", 256)
local upload = "--" .. boundary .. "\r\nContent-Disposition: form-data; name=\"file\"; " ..
  "filename=\"f.bin\"\r\nContent-Type: application/octet-stream\r\n\r\n" .. file ..
  "\r\n--" .. boundary .. "--\r\n"
request = function()
  n = n + 1
  if n % 10 == 0 then
    return wrk.format("POST", "/app/upload",
      {["Content-Type"] = "multipart/form-data; boundary=" .. boundary}, upload)
  end
  return wrk.format("GET", "/app/echo?n=" .. n .. "&v=" .. string.rep("x", n % 40),
    {["Cookie"] = "__QuillonSV_count=" .. n .. "; c=" .. (n % 7)})
end
answers = 0
response = function(status, headers, body)
  answers = answers + 1
  if status ~= 200 or not string.find(body, "^pid=") then bad = bad + 1 end
  wrong = bad
  if limit > 0 and answers >= limit then wrk.thread:stop() end
end
-- Each thread runs its own copy of this script; done() runs in the main
-- one and asks the threads for their counts.
local threads = {}
setup = function(thread) table.insert(threads, thread) end
done = function(summary, latency, requests)
  local total, wrong_total = 0, 0
  for _, thread in ipairs(threads) do
    total = total + thread:get("answers")
    wrong_total = wrong_total + (thread:get("wrong") or 0)
  end
  io.write(string.format("checked answers: %d, wrong: %d\n", total, wrong_total))
end
LUA

rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status"; }
LIMIT=0 wrk -t1 -c"$connections" -d3s -s "$work/mix.lua" "$base" > /dev/null
warm=$(rss)
echo "page process $pid, RSS after a 3-second warm-up: $warm KiB"

phase() {  # name limit seconds
  echo "== $1: wrk -t1 -c$connections -d$3s (stop after ${2} answers; 0: none)"
  LIMIT=$2 wrk -t1 -c"$connections" -d"$3s" --latency -s "$work/mix.lua" "$base" > "$work/$1.txt"
  grep -E 'requests in|Requests/sec|99%|Socket errors|Non-2xx|checked answers' "$work/$1.txt" | sed 's/^/  /'
  sleep 0.5
  left=$(find "$work/tmp" -mindepth 1 | wc -l)
  now=$(rss)
  alive=yes
  kill -0 "$pid" 2>/dev/null || alive=no
  errors=$(grep -Ec 'Socket errors|Non-2xx' "$work/$1.txt" || true)
  wrong=$(sed -n 's/^checked answers: [0-9]*, wrong: \([0-9]*\)/\1/p' "$work/$1.txt")
  answered=$(sed -n 's/^checked answers: \([0-9]*\),.*/\1/p' "$work/$1.txt")
  echo "  temporary files left: $left; RSS $now KiB (warm $warm KiB, $(awk -v a="$now" -v b="$warm" 'BEGIN { printf "%+.1f%%", (a - b) * 100 / b }')); same process alive: $alive"
  if [ "$answered" -ge "${2:-1}" ] && [ "$errors" -eq 0 ] && [ "$wrong" = 0 ] && [ "$left" -eq 0 ] && [ "$alive" = yes ]; then
    echo "  $1: no errors"
  else
    echo "  $1: FAILED"
    status=1
  fi
}
status=0
# wrk stops sending after LIMIT answers but waits out its duration.
phase "2,000 requests" 2000 10
phase "$duration-second run" 0 "$duration"
exit $status
