#!/bin/sh
# Text through the automation boundary from the Python host: QServer's
# URLEncode/URLDecode beside libcurl and urllib.parse on 1 MiB of ASCII and
# of Japanese text, and a 16 MiB Result property set and read, once in
# each code page (65001, 932). Prints MB/s (wall-clock medians), ratios and
# the page faults of each call. Targets: at least 2x
# libcurl both ways, at least 1 GB/s for an ASCII property both ways,
# Japanese at least 400 MB/s.
#
# On a virtual machine most of the remaining time is page faults: glibc
# maps each block above its mmap threshold (32 MiB at most, a 16 Mi-unit
# automation string is larger) afresh and trims freed heap, and a fault
# costs microseconds there. To see the figures without that cost, run with
#   GLIBC_TUNABLES=glibc.malloc.mmap_max=0:glibc.malloc.trim_threshold=4000000000
#
# Usage: bench/boundary_text.sh <build-dir>   (a Release build without
# sanitizers holding lib/libqserver.so, bin/qreg and python/quillon*.so;
# build them with --target quillon_runtime qserver qreg quillon_python).
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:?usage: boundary_text.sh <build-dir>}" && pwd)
for file in "$build/lib/libqserver.so" "$build/bin/qreg"; do
  [ -e "$file" ] || { echo "missing $file (build the targets named above)" >&2; exit 1; }
done
ls "$build"/python/quillon*.so >/dev/null 2>&1 ||
  { echo "missing $build/python/quillon*.so (build quillon_python)" >&2; exit 1; }
if grep -q '^QUILLON_SANITIZE:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null ||
   ! grep -q '^CMAKE_BUILD_TYPE:STRING=Release' "$build/CMakeCache.txt" 2>/dev/null; then
  echo "$build is not a Release build without sanitizers; its figures would mean nothing" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A private class registry, so that the measurement registers nothing for
# the user.
export QUILLON_REGISTRY="$work/registry"
"$build/bin/qreg" register "$build/lib/libqserver.so" >/dev/null
for page in 65001 932; do
  QUILLON_CODEPAGE=$page python3 "$here/boundary_text.py" "$build" </dev/null
  echo
done
