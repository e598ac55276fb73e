#!/bin/sh
# A whole CGI process answering a small GET with QServer (bench_cgi_page:
# the library loaded, the request read, a page written) against a minimal C
# program that prints a constant page (bench_cgi_constant, linked against
# the C library dynamically). Target: the QServer page within 2 times the
# constant one. Also printed: the page faults of each program (median of
# its runs under /usr/bin/time) and the dynamic loader's start-up cycles
# with its share spent on relocations (LD_DEBUG=statistics). A third
# program, bench_cgi_cxx, is timed beside them as a reference: the least a
# C++ CGI program does, so that what the C++ runtime costs any page is seen
# apart from what QServer adds.
#
# Usage: bench/cgi_startup.sh [build-dir]   (a Release build; default
# build-server-rel next to this folder). Needs hyperfine.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build-server-rel}" && pwd)
page=$build/bin/bench_cgi_page
base=$build/bin/bench_cgi_constant
cxx=$build/bin/bench_cgi_cxx
for program in "$page" "$base" "$cxx"; do
  [ -x "$program" ] || { echo "missing $program (build the bench targets)" >&2; exit 1; }
done

# The CGI environment of a small GET, without the caller's own variables.
# The two programs are measured in several rounds, each round running both,
# so that a machine whose load changes affects both sides alike; the median
# of the rounds' ratios is the result.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cgi() {
  env -i PATH=/usr/bin:/bin QUERY_STRING='name=World&x=1' REQUEST_METHOD=GET \
    GATEWAY_INTERFACE=CGI/1.1 SERVER_PROTOCOL=HTTP/1.1 CONTENT_LENGTH=0 "$@"
}
rounds=${ROUNDS:-5}
round=1
while [ "$round" -le "$rounds" ]; do
  cgi hyperfine -N --warmup 50 --runs "${RUNS:-300}" --output=pipe \
    --export-json "$work/round$round.json" -n constant "$base" -n qserver "$page" \
    -n cxx "$cxx" >/dev/null
  round=$((round + 1))
done

# Page faults (minor + major) and the loader's statistics, 21 runs each.
for side in constant cxx qserver; do
  case $side in constant) program=$base ;; cxx) program=$cxx ;; *) program=$page ;; esac
  run=0
  while [ "$run" -lt 21 ]; do
    cgi /usr/bin/time -f '%R %F' -a -o "$work/$side.faults" "$program" >/dev/null
    cgi LD_DEBUG=statistics "$program" 2>>"$work/$side.loader" >/dev/null
    run=$((run + 1))
  done
done

python3 - "$work" "$work"/round*.json <<'PY'
import json, os, re, statistics, sys
work = sys.argv[1]
rounds = []
for path in sys.argv[2:]:
    results = {r["command"]: r for r in json.load(open(path))["results"]}
    rounds.append((results["constant"], results["qserver"], results["cxx"]))
for i, (base, page, cxx) in enumerate(rounds, 1):
    print(f"round {i}: constant C program {base['mean'] * 1e3:6.3f} ms, QServer page "
          f"{page['mean'] * 1e3:6.3f} ms (median {base['median'] * 1e3:6.3f} / "
          f"{page['median'] * 1e3:6.3f} ms), ratio {page['mean'] / base['mean']:.2f}x; "
          f"minimal C++ program {cxx['mean'] * 1e3:6.3f} ms, {cxx['mean'] / base['mean']:.2f}x")
ratios = [page["mean"] / base["mean"] for base, page, _ in rounds]
best_base = min(base["mean"] for base, _, _ in rounds)
best_page = min(page["mean"] for _, page, _ in rounds)
print(f"median ratio {statistics.median(ratios):.2f}x; quietest round of each: "
      f"{best_base * 1e3:.3f} ms vs {best_page * 1e3:.3f} ms = {best_page / best_base:.2f}x "
      f"(target <= 2x)")
cxx_ratios = [cxx["mean"] / base["mean"] for base, _, cxx in rounds]
print(f"reference: the minimal C++ program's median ratio {statistics.median(cxx_ratios):.2f}x "
      "(the C++ runtime's own share of any page)")
for side in ("constant", "cxx", "qserver"):
    with open(os.path.join(work, side + ".faults")) as f:
        faults = [sum(int(n) for n in line.split()) for line in f if line.strip()]
    with open(os.path.join(work, side + ".loader")) as f:
        loader = f.read()
    # Each run prints its start-up statistics, then its totals at exit.
    totals = [int(n.replace(",", "")) for n in
              re.findall(r"total startup time in dynamic loader:\s*([\d,]+)", loader)]
    shares = [float(n) for n in
              re.findall(r"time needed for relocation:\s*[\d,]+ cycles \(([\d.]+)%\)", loader)]
    print(f"{side:8s}: page faults median {statistics.median(faults):.0f}; loader median "
          + (f"{statistics.median(totals):.0f} cycles, {statistics.median(shares):.1f} % of them "
             "relocating" if totals and shares else "statistics unavailable"))
PY
