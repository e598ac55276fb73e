#!/bin/sh
# The client's exchange (what QClientCtrl runs) against plain libcurl from
# C++ in one run, against one small local server on 127.0.0.1: 1,000
# sequential ProcessSession exchanges with a few small values (target within
# 1.1 times libcurl's 1,000 POSTs) and one 32 MiB binary value sent and
# returned (target within 1.5 times libcurl posting the same bytes).
#
# Usage: bench/client_exchange.sh [build-dir]   (a Release build; default
# build-release next to this folder). EXCHANGES, ROUNDS and MIB override
# 1000, 3 and 32.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build-release}" && pwd)
program=$build/bin/bench_client_exchange
[ -x "$program" ] || program=$build/bench/bench_client_exchange
[ -x "$program" ] || { echo "missing bench_client_exchange (build the bench targets)" >&2; exit 1; }
exec "$program" "${EXCHANGES:-1000}" "${ROUNDS:-3}" "${MIB:-32}"
