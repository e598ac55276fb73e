#!/bin/sh
# The 1,000-row page as a whole CGI process (bench_table_page: the library
# loaded, the template read and parsed, one row copied 1,000 times with
# AddCopy, each row's cells filled by identifier, the page written through
# the response) beside the hello page (bench_cgi_page), both timed with
# hyperfine in alternating rounds.
#
# Usage: bench/table_page.sh [build-dir]   (a Release build; default
# build-release next to this folder). Needs hyperfine.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build-release}" && pwd)
table=$build/bin/bench_table_page
hello=$build/bin/bench_cgi_page
for program in "$table" "$hello"; do
  [ -x "$program" ] || { echo "missing $program (build the bench targets)" >&2; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

run() {
  env -i PATH=/usr/bin:/bin QUERY_STRING='name=World&x=1' REQUEST_METHOD=GET \
    GATEWAY_INTERFACE=CGI/1.1 SERVER_PROTOCOL=HTTP/1.1 CONTENT_LENGTH=0 \
    PATH_TRANSLATED="$here/table.htm" "$@"
}

# The page must really hold the rows before its time means anything.
rows=$(run "$table" | grep -o 'Customer [0-9]*' | wc -l)
bytes=$(run "$table" | wc -c)
[ "$rows" -eq 1000 ] || { echo "bench_table_page wrote $rows rows, not 1000" >&2; exit 1; }
echo "table page: $rows rows, $bytes bytes of response"

rounds=${ROUNDS:-3}
round=1
while [ "$round" -le "$rounds" ]; do
  run hyperfine -N --warmup 20 --runs "${RUNS:-100}" --output=pipe \
    --export-json "$work/round$round.json" -n hello "$hello" -n table "$table" >/dev/null
  round=$((round + 1))
done

python3 - "$work"/round*.json <<'PY'
import json, statistics, sys
rounds = []
for path in sys.argv[1:]:
    results = {r["command"]: r for r in json.load(open(path))["results"]}
    rounds.append((results["hello"], results["table"]))
for i, (hello, table) in enumerate(rounds, 1):
    print(f"round {i}: hello page {hello['mean'] * 1e3:6.3f} ms (median {hello['median'] * 1e3:6.3f}), "
          f"1,000-row page {table['mean'] * 1e3:6.3f} ms (median {table['median'] * 1e3:6.3f}), "
          f"ratio {table['mean'] / hello['mean']:.2f}x")
best_hello = min(h["mean"] for h, _ in rounds)
best_table = min(t["mean"] for _, t in rounds)
print(f"whole CGI process, quietest round of each: hello page {best_hello * 1e3:.3f} ms, "
      f"1,000-row table page {best_table * 1e3:.3f} ms "
      f"({best_table / best_hello:.2f}x; median ratio "
      f"{statistics.median(t['mean'] / h['mean'] for h, t in rounds):.2f}x)")
PY
