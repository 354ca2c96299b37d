#!/usr/bin/env bash
# The kill -9 harness, long form: kills vesprec with SIGKILL KILLS times at
# random moments (in reception, while the importer holds the data file, in
# the middle of pouring back a large overflow file), restarts it each time
# with vesper-sim still printing, and compares what was stored with what the
# exchange printed. The test command runs the same harness with a few kills.
#
#   scripts/kill-harness.sh [KILLS] [--build DIR] [--seed N] [-j N]
#
# KILLS       how many kills (default 30)
# --build DIR a build folder to use (configured with the tests); by default
#             build/kill-harness, configured and built here as needed
# --seed N    repeat an earlier run (its seed is printed)
# -j N        build jobs (default 2)
#
# Needs root: the pty keeps the exclusive use that a killed recorder set, and
# only root may open it again. The last line gives kills, records sent,
# stored, missing and repeated; the exit status is the harness's.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
kills=30
build=""
seed=""
jobs=2

while [[ $# -gt 0 ]]; do
  case "$1" in
    --build) build="$2"; shift 2 ;;
    --seed) seed="$2"; shift 2 ;;
    -j) jobs="$2"; shift 2 ;;
    -h|--help) sed -n '2,18p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    [0-9]*) kills="$1"; shift ;;
    *) echo "kill-harness: unknown argument '$1' (try --help)" >&2; exit 2 ;;
  esac
done
if ! [[ "$kills" =~ ^[1-9][0-9]*$ ]]; then
  echo "kill-harness: KILLS must be a positive number, not '$kills'" >&2
  exit 2
fi
if [[ -n "$seed" && ! "$seed" =~ ^[0-9]+$ ]]; then
  echo "kill-harness: --seed needs a number" >&2
  exit 2
fi
if [[ "$(id -u)" != 0 ]]; then
  echo "kill-harness: needs root (a killed recorder leaves the pty in exclusive use)" >&2
  exit 2
fi

if [[ -z "$build" ]]; then
  build="$here/build/kill-harness"
  if [[ ! -f "$build/CMakeCache.txt" ]]; then
    generator=()
    command -v ninja >/dev/null && generator=(-G Ninja)
    cmake -S "$here" -B "$build" "${generator[@]}" -DCMAKE_BUILD_TYPE=RelWithDebInfo
  fi
fi
if [[ -f "$build/CMakeCache.txt" ]]; then
  # Only what the harness runs: the test program, vesprec and vesper-sim.
  cmake --build "$build" -j "$jobs" --target e2e_tests
fi
binary="$build/tests/e2e/e2e_tests"
if [[ ! -x "$binary" ]]; then
  echo "kill-harness: no $binary (is GoogleTest installed? the end-to-end tests need it)" >&2
  exit 2
fi

log="$(mktemp -t kill-harness.XXXXXX)"
trap 'rm -f "$log"' EXIT
status=0
env VR_KILL_COUNT="$kills" ${seed:+VR_KILL_SEED="$seed"} \
  "$binary" --gtest_filter='KillHarness.SigkillAtRandomMoments*' 2>&1 | tee "$log" || status=$?

summary="$(grep -o 'kill harness: seed [0-9]*, kills .*repeated [0-9]*' "$log" | tail -n 1 || true)"
if [[ -z "$summary" ]]; then
  echo "kill-harness: FAILED before the comparison (see above)"
  exit 1
fi
if [[ $status -eq 0 ]] && grep -q '^\[  PASSED  \] 1 test' "$log"; then
  echo "OK: $summary"
else
  echo "FAILED: $summary"
  exit 1
fi
