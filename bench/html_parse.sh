#!/bin/sh
# Parsing as a CGI page parses: one template per process, cold. The engine
# beside gumbo and libxml2's HTML parser (htmlReadMemory, recovering) on the
# same bytes: the shared legacy template generator's pages (1 and 16 MiB:
# nested tables, forms, Japanese text, QLIDs, unclosed P and LI),
# bench_html's own pages and the HTML manuals under /usr/share/doc. Each
# engine parses each input in RUNS fresh processes (default 7, the engines
# taking turns in every order); the median time gives MB/s. Then the whole
# process's peak resident memory after parsing the 16 MiB generated page.
#
# Then warm, as a serving process parses: each engine parses each input
# several times in one process (bench_html --warm; its best parse counts),
# the engines taking turns for WARM_ROUNDS rounds (default 5). The ratio is
# taken within each round and the median of the rounds is reported, with
# their range: this machine's speed drifts by up to 2x over minutes, so two
# benchmarks run one after the other do not give a ratio one can trust.
#
# Usage: bench/html_parse.sh [build-dir]   (a Release build with bench_html;
# default build-release next to this folder). QUILLON_GEN_HTML names the
# generator (default: ../shared/bench-inputs/gen_html.py beside the source).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build-release}" && pwd)
bench=$build/bin/bench_html
[ -x "$bench" ] || { echo "missing $bench (build bench_html)" >&2; exit 1; }
generator=${QUILLON_GEN_HTML:-$here/../../shared/bench-inputs/gen_html.py}
[ -f "$generator" ] || { echo "missing the generator $generator (set QUILLON_GEN_HTML)" >&2; exit 1; }
runs=${RUNS:-7}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
python3 "$generator" 1 "$work/generated-1MiB.html"
python3 "$generator" 16 "$work/generated-16MiB.html"

python3 - "$bench" "$runs" "$work" "${WARM_ROUNDS:-5}" <<'PY'
import itertools, os, re, statistics, subprocess, sys
bench, runs, work, warm_rounds = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
inputs = [("generated 1 MiB", f"{work}/generated-1MiB.html"),
          ("generated 16 MiB", f"{work}/generated-16MiB.html"),
          ("own 1 MiB", "own1"), ("own 16 MiB", "own16"), ("manuals", "manuals")]
engines = ["ours", "gumbo", "libxml2"]
orders = list(itertools.permutations(engines))
def size_of(arg):
    if os.path.exists(arg):
        return os.path.getsize(arg)
    # bench_html makes these itself; its own figure of their size.
    return {"own1": 1 << 20, "own16": 16 << 20}.get(arg)
def once(engine, arg):
    out = subprocess.run([bench, "--once", engine, arg], check=True, capture_output=True,
                         text=True).stdout
    m = re.search(r"seconds=([\d.]+) peak_rss_kib=(\d+)", out)
    return float(m.group(1)), int(m.group(2))
manual_bytes = None
results = {}
for label, arg in inputs:
    times = {e: [] for e in engines}
    for r in range(runs):
        # A fresh process's page faults cost more or less here depending on
        # what ran just before it: the engines take turns in every order,
        # so that none always runs after the same one.
        for e in orders[r % len(orders)]:
            times[e].append(once(e, arg)[0])
    results[label] = {e: statistics.median(t) for e, t in times.items()}
    size = size_of(arg)
    if size is None:
        # The manuals: their bytes are whatever /usr/share/doc holds.
        size = sum(os.path.getsize(os.path.join(d, f))
                   for d, _, fs in os.walk("/usr/share/doc") for f in fs
                   if f.endswith((".html", ".htm")) and os.path.isfile(os.path.join(d, f)))
    line = f"{label:17s}"
    for e in engines:
        t = results[label][e]
        line += f"  {e} {t * 1e3:8.2f} ms {size / t / 1e6:7.1f} MB/s"
    print(line)
def ratio(label, a, b, target):
    value = results[label][b] / results[label][a]
    verdict = "met" if value >= target else "MISSED"
    return f"{value:5.1f}x (target >= {target}x: {verdict})"
print()
for label, _ in inputs:
    print(f"{label:17s}  ours vs gumbo {ratio(label, 'ours', 'gumbo', 20)}"
          f"   ours vs libxml2 {ratio(label, 'ours', 'libxml2', 10)}")
print()
peaks = {e: max(once(e, f"{work}/generated-16MiB.html")[1] for _ in range(3)) for e in engines}
for e in engines:
    print(f"peak RSS, generated 16 MiB page, {e:8s} {peaks[e] / 1024:7.1f} MiB")
value = peaks["ours"] / peaks["gumbo"]
print(f"ours / gumbo peak RSS {value:.2f} (target <= 0.33: {'met' if value <= 1 / 3 else 'MISSED'})")

def warm(engine, arg, parses):
    out = subprocess.run([bench, "--warm", engine, arg, str(parses)], check=True,
                         capture_output=True, text=True).stdout
    return float(re.search(r"best=([\d.]+)", out).group(1))
print()
print(f"warm, best parse of each process, {warm_rounds} rounds of the engines in turn:")
for label, arg in inputs:
    small = size_of(arg) is not None and size_of(arg) <= 2 << 20
    # Enough parses for a steady best, few enough for gumbo's pace.
    parses = {"ours": 20 if small else 5, "gumbo": 5 if small else 2, "libxml2": 5 if small else 2}
    best = {e: [] for e in engines}
    for _ in range(warm_rounds):
        for e in engines:
            best[e].append(warm(e, arg, parses[e]))
    line = f"{label:17s}  ours {min(best['ours']) * 1e3:8.2f} ms"
    for peer, target in (("gumbo", 20), ("libxml2", 10)):
        ratios = [p / o for p, o in zip(best[peer], best["ours"])]
        value = statistics.median(ratios)
        verdict = "met" if value >= target else "MISSED"
        line += (f"   vs {peer} {value:5.1f}x "
                 f"(rounds {min(ratios):.1f}-{max(ratios):.1f}x; "
                 f"target >= {target}x: {verdict})")
    print(line)
PY
