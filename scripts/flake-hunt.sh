#!/usr/bin/env bash
# Flake hunt: runs the end-to-end tests several times in a row while a second
# build keeps the machine busy, so that a test which waits for the wrong sign,
# or for a fixed time, fails here instead of by chance in CI.
#
#   scripts/flake-hunt.sh [--repeat N] [--native-only|--wine-only] [--no-load]
#                         [--build-dir DIR] [-R REGEX]
#
# Needs the builds of scripts/test.sh (build/native; build/win64 with its Wine
# prefix for the Windows end-to-end tests). The load is a from-scratch build
# of the tree without the compiler cache in BUILD/flake-load, started again
# whenever it ends, until the hunt is over. Exits non-zero when a test failed;
# CTest's output is kept in BUILD/logs/flake-*.log.

set -uo pipefail

usage() {
  sed -n '2,13p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
}

repeat=5
native=1
wine=1
load=1
build_dir=""
regex=()
while [ $# -gt 0 ]; do
  case "$1" in
    --repeat) shift; repeat="${1:-}" ;;
    --native-only) wine=0 ;;
    --wine-only) native=0 ;;
    --no-load) load=0 ;;
    --build-dir) shift; build_dir="${1:-}" ;;
    -R) shift; regex=(-R "${1:-}") ;;
    -h|--help) usage; exit 0 ;;
    *) echo "flake-hunt.sh: unknown option: $1" >&2; usage >&2; exit 2 ;;
  esac
  shift
done
case "$repeat" in ''|*[!0-9]*|0) echo "flake-hunt.sh: --repeat needs a positive number" >&2; exit 2 ;; esac

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
case "$build_dir" in
  "") build="$root/build" ;;
  /*) build="$build_dir" ;;
  *) build="$PWD/$build_dir" ;;
esac
exec </dev/null
mkdir -p "$build/logs"

load_pid=""
xvfb_pid=""
cleanup() {
  if [ -n "$load_pid" ]; then
    kill -- -"$load_pid" 2>/dev/null || kill "$load_pid" 2>/dev/null
    wait "$load_pid" 2>/dev/null
  fi
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  [ -d "$build/win64/wineprefix" ] &&
    "$root/cmake/wine-run.sh" --prefix="$build/win64/wineprefix" --kill >/dev/null 2>&1
  return 0
}
trap cleanup EXIT
trap 'exit 130' INT TERM

if [ "$load" -eq 1 ]; then
  # Its own process group, so that the whole build ends with the hunt.
  setsid env -u CMAKE_CXX_COMPILER_LAUNCHER CCACHE_DISABLE=1 bash -c '
    while :; do
      cmake -S "$1" -B "$2" -G Ninja -UCMAKE_CXX_COMPILER_LAUNCHER >/dev/null 2>&1 || exit 1
      cmake --build "$2" -j 2 --clean-first >/dev/null 2>&1
    done' load "$root" "$build/flake-load" &
  load_pid=$!
  echo "load: a from-scratch build in $build/flake-load (pid $load_pid)"
fi

status=0
if [ "$native" -eq 1 ]; then
  log="$build/logs/flake-native.log"
  echo "+ (cd build/native && ctest -L e2e --repeat until-fail:$repeat ${regex[*]})"
  (cd "$build/native" && ctest --output-on-failure -L e2e --repeat "until-fail:$repeat" \
     --timeout 300 "${regex[@]}") >"$log" 2>&1 || status=1
  grep -E 'tests passed|Failed|\*\*\*' "$log" | tail -n 20
fi

if [ "$wine" -eq 1 ]; then
  log="$build/logs/flake-wine.log"
  numfile=$(mktemp)
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 3>"$numfile" >/dev/null 2>&1 &
  xvfb_pid=$!
  for _ in $(seq 100); do [ -s "$numfile" ] && break; sleep 0.1; done
  export DISPLAY=":$(tr -d '[:space:]' <"$numfile")"
  rm -f "$numfile"
  "$root/cmake/wine-run.sh" --prefix="$build/win64/wineprefix" --boot
  echo "+ (cd build/win64 && ctest -L windows-e2e --repeat until-fail:$repeat ${regex[*]})"
  (cd "$build/win64" && ctest --output-on-failure -L windows-e2e --repeat "until-fail:$repeat" \
     --timeout 300 "${regex[@]}") >"$log" 2>&1 || status=1
  grep -E 'tests passed|Failed|\*\*\*' "$log" | tail -n 20
fi

if [ "$status" -eq 0 ]; then echo "flake hunt: no failure in $repeat runs"; else echo "flake hunt: FAILED (logs in $build/logs)"; fi
exit "$status"
