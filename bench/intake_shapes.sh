#!/bin/sh
# Request intake on the body shapes a visitor controls: for each shape at
# each size, one whole CGI process (bench_intake_shapes) reads the request;
# prints the wall time, the peak resident memory per body byte and both as
# ratios to the normal upload of the same size (one multipart file).
#
# Usage: bench/intake_shapes.sh [build-dir]   (a Release build without
# sanitizers; default build-rel next to this folder)
#   SIZES="8 64"   body sizes in MiB          RUNS=3   best of RUNS
#   SHAPES="..."   a subset of the shape names printed below
# Needs python3 and GNU time (/usr/bin/time).
#
# Targets: urlencoded shapes at most 8x the body in memory, multipart
# shapes at most 2.5x, and time linear: the largest size within
# (size ratio + 1) x the smallest one's time per shape.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build-rel}" && pwd)
program=$build/bin/bench_intake_shapes
[ -x "$program" ] || { echo "missing $program (build bench_intake_shapes)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "needs GNU time at /usr/bin/time" >&2; exit 1; }
sizes=${SIZES:-8 64}
runs=${RUNS:-3}
shapes=${SHAPES:-normal boundary_a urlenc_same urlenc_distinct query_128k multipart_eq_name \
multipart_marker_values multipart_small_parts enumerate_4k enumerate_32k enumerate_256k}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Writes $work/body and $work/env for shape $1 at $2 MiB.
generate() {
  python3 - "$1" "$2" "$work" <<'PY'
import os, sys
shape, mib, work = sys.argv[1], int(sys.argv[2]), sys.argv[3]
size = mib << 20
boundary = "----QuillonShape7MA4YWxkTrZu0gW"
env = {"REQUEST_METHOD": "POST"}
multipart = "multipart/form-data; boundary=" + boundary

def part(name, data, filename=None):
    head = f'--{boundary}\r\nContent-Disposition: form-data; name="{name}"'
    if filename is not None:
        head += f'; filename="{filename}"\r\nContent-Type: application/octet-stream'
    return head.encode() + b"\r\n\r\n" + data + b"\r\n"

def repeat(unit, total):
    return (unit * (total // len(unit) + 1))[:total]

closing = f"--{boundary}--\r\n".encode()
if shape == "normal":
    body = part("file", os.urandom(size), "upload.bin") + closing
    env["CONTENT_TYPE"] = multipart
elif shape == "boundary_a":
    body = b"a" * size
    env["CONTENT_TYPE"] = "multipart/form-data; boundary=" + "a" * 8192 + "Z"
elif shape == "urlenc_same":
    body = repeat(b"a=1&", size)
    env["CONTENT_TYPE"] = "application/x-www-form-urlencoded"
elif shape == "urlenc_distinct":
    body = b"".join(b"a%08d=1&" % i for i in range(size // 12))
    env["CONTENT_TYPE"] = "application/x-www-form-urlencoded"
elif shape == "query_128k":
    # An environment string cannot exceed 128 KiB (MAX_ARG_STRLEN), so the
    # query string shape has one size whatever is asked.
    body = b""
    env["QUERY_STRING"] = repeat("a=1&", 131000)
elif shape == "multipart_eq_name":
    # The '=' shifts the pairs so that the file's bytes become a name; a
    # name ends at its first zero byte, so the worst case has none.
    body = part("a=b", os.urandom(size).replace(b"\0", b"\1"), "x.bin") + closing
    env["CONTENT_TYPE"] = multipart
elif shape == "multipart_marker_values":
    fields = b"".join(part(f"f{i}", b"Qph%04X%016X" % (i, i)) for i in range(16))
    body = fields + part("file", os.urandom(size), "x.bin") + closing
    env["CONTENT_TYPE"] = multipart
elif shape == "multipart_small_parts":
    one = part("p", b"v" * 12)
    body = one * (size // len(one)) + closing
    env["CONTENT_TYPE"] = multipart
elif shape.startswith("enumerate_"):
    # A fixed number of pairs whatever the size, half of them sharing a
    # name with another: time for reading every value back.
    pairs = int(shape.split("_")[1][:-1]) * 1024
    body = b"".join(b"n%d=%d&" % (i % (pairs // 2), i) for i in range(pairs))
    env["CONTENT_TYPE"] = "application/x-www-form-urlencoded"
    env["BENCH_ENUMERATE"] = "1"
else:
    sys.exit(f"unknown shape {shape}")
env["CONTENT_LENGTH"] = str(len(body))
open(os.path.join(work, "body"), "wb").write(body)
with open(os.path.join(work, "env"), "w") as out:
    for key, value in env.items():
        out.write(f"{key}='{value}'\n")
PY
}

# "seconds kilobytes" of the best of $runs runs: wall time around the
# process and its peak resident memory.
measure() {
  python3 - "$program" "$work/body" "$work/env" "$runs" <<'PY'
import os, shlex, subprocess, sys, time
program, body, env_file, runs = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
env = {"PATH": "/usr/bin:/bin"}
for line in open(env_file):
    key, _, value = line.rstrip("\n").partition("=")
    env[key] = shlex.split(value)[0] if value else ""
best_s, best_kb = None, None
rss_file = body + ".rss"
for _ in range(runs):
    # GNU time for the peak memory: a child forked from this interpreter
    # would count the interpreter's pages as its own.
    with open(body, "rb") as stdin:
        started = time.perf_counter()
        result = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss_file, program],
                                stdin=stdin, stdout=subprocess.DEVNULL, env=env)
        seconds = time.perf_counter() - started
    if result.returncode != 0:
        sys.exit(f"{program} exited with {result.returncode}")
    kb = int(open(rss_file).read().split()[-1])
    best_s = seconds if best_s is None else min(best_s, seconds)
    best_kb = kb if best_kb is None else min(best_kb, kb)
print(f"{best_s:.4f} {best_kb}")
PY
}

printf '%-26s %5s %10s %9s %10s %8s %8s\n' shape MiB body_bytes seconds peak_MiB mem/body vs_normal
results=$work/results
: > "$results"
for size in $sizes; do
  for shape in $shapes; do
    generate "$shape" "$size"
    length=$(stat -c %s "$work/body")
    set -- $(measure)
    echo "$shape $size $length $1 $2" >> "$results"
  done
done
python3 - "$results" <<'PY'
import sys
rows = [line.split() for line in open(sys.argv[1])]
normal = {r[1]: (float(r[3]), int(r[4])) for r in rows if r[0] == "normal"}
by_shape = {}
for shape, size, length, seconds, kb in rows:
    length, seconds, kb = int(length), float(seconds), int(kb)
    # Memory per body byte; for bodies too small to matter (query string,
    # enumeration) the base size of a process dominates, so print n/a.
    ratio = f"{kb * 1024 / length:8.2f}" if length >= (1 << 20) else "     n/a"
    base = normal.get(size)
    vs = f"{seconds / base[0]:7.1f}x" if base and base[0] > 0 else "     n/a"
    print(f"{shape:26s} {size:>5s} {length:10d} {seconds:9.3f} {kb / 1024:10.1f} {ratio} {vs}")
    by_shape.setdefault(shape, []).append((int(size), seconds, length))
print()
for shape, points in by_shape.items():
    # The query string and enumeration shapes have one size whatever is
    # asked: no scaling to report.
    if len(points) < 2 or len({p[2] for p in points}) < 2:
        continue
    (small, t_small, _), (large, t_large, _) = min(points), max(points)
    if t_small > 0:
        print(f"{shape:26s} time {large} MiB / {small} MiB = {t_large / t_small:5.1f}x "
              f"(size ratio {large / small:.0f}x)")
PY
