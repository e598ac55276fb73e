#!/usr/bin/env bash
# Several page servers behind one front, as docs/deploy.md lays them out:
# the sample's site.py as FastCGI page servers (2 processes each) on
# 127.0.0.1, nginx with an upstream of 1, 2 and 3 of them, PostgreSQL through
# ODBC. Prints the throughput of the list page (wrk) for each, then kills one
# page server under load and counts the requests that failed.
#
#   bench/scaleout.sh BUILD_DIR      (./run bench gives build-release)
#
# All servers share this machine's cores, so more servers cannot mean more
# throughput here; the figures show what the front costs and that nothing is
# lost when a server goes.
set -euo pipefail
build=${1:?usage: bench/scaleout.sh BUILD_DIR}
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
exec /usr/bin/python3 "$here/../tests/integration/deploy/layout.py" "$build" \
  --seconds "${SCALEOUT_SECONDS:-5}" --connections "${SCALEOUT_CONNECTIONS:-16}" \
  --workers "${SCALEOUT_WORKERS:-2}"
