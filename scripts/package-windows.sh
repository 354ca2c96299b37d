#!/usr/bin/env bash
# The Windows package: builds VESPREC.EXE and VRECCFG.EXE with mingw-w64 in
# Release and puts them, with a sample VESPREC.INI and a read-me in Italian
# and English (CR LF line ends, for Notepad), into
# dist/vesper-recorder-VERSION-win64.zip and, from the i686 build,
# dist/vesper-recorder-VERSION-win32.zip. The programs are linked statically:
# the zip holds everything that the PC beside the exchange needs. Beside
# each zip, the setup program of the same files (packaging/windows/vesprec.nsi):
# dist/vesper-recorder-VERSION-win64-setup.exe and -win32-setup.exe.
#
#   scripts/package-windows.sh [--only win64|win32] [--out DIR] [-j N] [--no-setup]
#
# Needs cmake, ninja-build and g++-mingw-w64-x86-64-posix /
# g++-mingw-w64-i686-posix (the test command installs them), and for the
# setup programs makensis (Debian: nsis).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
out="$root/dist"
only=""
setup=1
jobs="${VR_JOBS:-2}"
while [ $# -gt 0 ]; do
  case "$1" in
    --only) only="$2"; shift 2 ;;
    --out) out="$2"; shift 2 ;;
    -j) jobs="$2"; shift 2 ;;
    --no-setup) setup=0; shift ;;
    -h|--help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "package-windows.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
case "$only" in ""|win64|win32) ;; *) echo "package-windows.sh: --only win64 or win32" >&2; exit 2 ;; esac
if [ "$setup" -eq 1 ] && ! command -v makensis >/dev/null 2>&1; then
  echo "package-windows.sh: makensis is not installed (Debian: apt-get install nsis);" \
       "--no-setup makes the zips alone" >&2
  exit 1
fi
mkdir -p "$out"
out="$(cd "$out" && pwd)"

version="$(sed -n 's/^project(VesperRecorder VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
[ -n "$version" ] || { echo "package-windows.sh: no version in CMakeLists.txt" >&2; exit 1; }

package() {  # NAME TOOLCHAIN
  local name="$1" toolchain="$2" build="$root/build/package-$1" stage zip
  echo "== $name: building in ${build#"$root"/}"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain" -DVR_BUILD_TESTS=OFF >/dev/null
  cmake --build "$build" -j "$jobs" --target vesprec_win vreccfg_win
  if [ "$setup" -eq 1 ]; then
    cmake --build "$build" -j "$jobs" --target vesprec_setup
    local exe="vesper-recorder-$version-$name-setup.exe"
    cp "$build/packaging/windows/$exe" "$out/$exe"
    echo "== wrote ${out#"$root"/}/$exe"
  fi
  stage="$(mktemp -d)"
  local dir="$stage/VesperRecorder"
  mkdir -p "$dir"
  cp "$build/src/VESPREC.exe" "$dir/VESPREC.EXE"
  cp "$build/src/VRECCFG.exe" "$dir/VRECCFG.EXE"
  # Notepad of older Windows shows only CR LF line ends.
  local f
  for f in VESPREC.INI LEGGIMI.TXT; do
    sed 's/\r*$/\r/' "$root/packaging/windows/$f" >"$dir/$f"
  done
  zip="$out/vesper-recorder-$version-$name.zip"
  rm -f "$zip"
  (cd "$stage" && cmake -E tar cf "$zip" --format=zip VesperRecorder)
  rm -rf "$stage"
  echo "== wrote ${zip#"$root"/}"
}

[ -z "$only" ] || [ "$only" = win64 ] && package win64 toolchain-mingw-x86_64.cmake
[ -z "$only" ] || [ "$only" = win32 ] && package win32 toolchain-mingw-i686.cmake
exit 0
