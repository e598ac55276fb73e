#!/bin/sh
# Intake of a 64 MiB multipart upload holding one binary file, each as a
# whole CGI process reading the body from standard input: QServer
# (bench_upload_qserver) against GNU cgicc (bench_upload_cgicc), same
# environment, same body. Prints the times, the peak resident memory and
# the ratios. Targets: at least 10 times faster than cgicc, peak memory at
# most 2.5 times the body.
#
# Usage: bench/upload_intake.sh [build-dir]   (a Release build; default
# build-server-rel next to this folder). Needs hyperfine and /usr/bin/time.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build-server-rel}" && pwd)
ours=$build/bin/bench_upload_qserver
theirs=$build/bin/bench_upload_cgicc
for program in "$ours" "$theirs"; do
  [ -x "$program" ] || { echo "missing $program (build the bench targets)" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
boundary=----QuillonBench7MA4YWxkTrZu0gW
size_mib=${SIZE_MIB:-64}
{
  printf -- '--%s\r\n' "$boundary"
  printf 'Content-Disposition: form-data; name="file"; filename="upload.bin"\r\n'
  printf 'Content-Type: application/octet-stream\r\n\r\n'
  head -c $((size_mib * 1024 * 1024)) /dev/urandom
  printf '\r\n--%s--\r\n' "$boundary"
} > "$work/body"
length=$(stat -c %s "$work/body")

# Sourced with `set -a` before each run (values quoted for the shell).
cat > "$work/env" <<ENV
PATH='/usr/bin:/bin'
REQUEST_METHOD='POST'
GATEWAY_INTERFACE='CGI/1.1'
SERVER_PROTOCOL='HTTP/1.1'
CONTENT_TYPE='multipart/form-data; boundary=$boundary'
CONTENT_LENGTH='$length'
ENV

echo "body: $length bytes" >&2
for program in "$ours" "$theirs"; do
  printf '%s answers: ' "$(basename "$program")" >&2
  (set -a; . "$work/env"; "$program" < "$work/body") | tail -c 80 | tr -d '\r' >&2
  echo >&2
done

# Peak resident memory of one run each.
rss() {
  (set -a; . "$work/env"; /usr/bin/time -f %M "$1" < "$work/body" 2>&1 >/dev/null) | tail -n1
}
ours_kb=$(rss "$ours")
theirs_kb=$(rss "$theirs")

json=$work/times.json
(set -a; . "$work/env";
 hyperfine --warmup 1 --runs "${RUNS:-10}" --output=pipe --export-json "$json" \
   -n qserver "$ours < $work/body" -n cgicc "$theirs < $work/body" >&2)

python3 - "$json" "$length" "$ours_kb" "$theirs_kb" <<'PY'
import json, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
length, ours_kb, theirs_kb = int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
ours, theirs = results["qserver"], results["cgicc"]
mib = length / 2**20
for name, r, kb in (("QServer", ours, ours_kb), ("cgicc", theirs, theirs_kb)):
    print(f"{name:8s} mean {r['mean'] * 1e3:8.1f} ms  (min {r['min'] * 1e3:7.1f})  "
          f"peak RSS {kb / 1024:7.1f} MiB = {kb * 1024 / length:4.2f}x body")
print(f"body {mib:.1f} MiB; QServer is {theirs['mean'] / ours['mean']:.1f}x faster than cgicc "
      f"(target >= 10x); QServer peak memory {ours_kb * 1024 / length:.2f}x body (target <= 2.5x)")
PY
