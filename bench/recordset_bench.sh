#!/usr/bin/env bash
# Recordset export and import through the toolkit, each against its peer:
# the sqlite3 tool for the DAO engine over SQLite, psql's \copy for the ADO
# engine into PostgreSQL (when BENCH_PG_PORT names a server; see
# bench/recordset_transfer.cc). Times at ROWS rows (best of 3), then peak
# resident sizes at ten times as many (one run).
# Usage: bench/recordset_bench.sh BUILD_DIR [ROWS]
set -euo pipefail
build=${1:-build-release}
rows=${2:-100000}
program=$(find "$build" -type f -name bench_recordset -perm -u+x | head -n 1)
[[ -n $program ]] || { echo "bench_recordset not built in $build" >&2; exit 1; }
command -v sqlite3 >/dev/null || { echo "sqlite3 is not installed" >&2; exit 1; }
"$program" "$rows" --repeat 3
"$program" "$((rows * 10))" --repeat 1
