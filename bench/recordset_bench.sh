#!/usr/bin/env bash
# Recordset export + import through the toolkit against the sqlite3 tool.
# Usage: bench/recordset_bench.sh BUILD_DIR [ROWS]
set -euo pipefail
build=${1:-build-release}
program=$(find "$build" -type f -name bench_recordset -perm -u+x | head -n 1)
[[ -n $program ]] || { echo "bench_recordset not built in $build" >&2; exit 1; }
command -v sqlite3 >/dev/null || { echo "sqlite3 is not installed" >&2; exit 1; }
"$program" "${2:-100000}"
