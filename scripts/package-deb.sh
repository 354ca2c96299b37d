#!/usr/bin/env bash
# The Linux package: builds vesprec, vesper-sim and vreccfg in Release for
# /usr and writes dist/vesper-recorder_VERSION_ARCH.deb with cpack: the
# three programs, their manual pages, the systemd template unit
# vesprec@.service and a sample VESPREC.INI; its postinst makes the system
# user vesprec (group dialout) that the service runs as.
#
#   scripts/package-deb.sh [--out DIR] [--build DIR] [-j N]
#
# Needs cmake, ninja-build, g++ and dpkg-dev (the test command installs them).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$root/dist"
build="$root/build/package-deb"
jobs="${VR_JOBS:-2}"
while [ $# -gt 0 ]; do
  case "$1" in
    --out) out="$2"; shift 2 ;;
    --build) build="$2"; shift 2 ;;
    -j) jobs="$2"; shift 2 ;;
    -h|--help) sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "package-deb.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
mkdir -p "$out"
out="$(cd "$out" && pwd)"

echo "== building in ${build#"$root"/}"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DVR_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j "$jobs"
(cd "$build" && cpack -G DEB -B "$out" >/dev/null)
rm -rf "$out/_CPack_Packages"
version="$(sed -n 's/^project(VesperRecorder VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
for deb in "$out"/vesper-recorder_"$version"_*.deb; do
  echo "== wrote ${deb#"$root"/}"
done
