#!/usr/bin/env bash
# The test command of Vesper Recorder.
#
#   scripts/test.sh [options]   (scripts/test.sh --help lists them)
#
# 1. Installs the Debian packages it needs when some are missing (apt-get, as
#    root or through sudo); a prepared machine installs nothing.
# 2. Native build (build/native): configure, build, ctest.
# 3. Release build (build/release, -O3): build everything, run the unit tests.
# 4. AddressSanitizer + UndefinedBehaviorSanitizer (build/asan): build, run
#    the unit tests (not the end-to-end ones).
# 5. ThreadSanitizer (build/tsan): build the test folders whose tests start
#    threads, run them.
# 6. libFuzzer (build/fuzz, clang): build each target of fuzz/ and run it for
#    a bounded time (scripts/fuzz.sh).
# 7. Windows x86_64 build (build/win64): configure, build, and ctest -L wine:
#    the test programs run under Wine in the prefix build/win64/wineprefix, on
#    a private Xvfb display.
# 8. Windows i686 build (build/win32): configure and build only.
#
# Every build treats warnings as errors (VR_WERROR=ON).
#
# Exits non-zero when anything failed; the last line sums up the test counts.

set -uo pipefail

usage() {
  cat <<'EOF'
usage: scripts/test.sh [options]
  --native-only     no Windows builds (the native parts all run)
  --quick           only the native build and its tests
  --no-wine         build the Windows programs but do not run their tests under Wine
  --no-win32        skip the i686 (32-bit Windows) build
  --no-release      skip the Release (-O3) build
  --no-sanitizers   skip the AddressSanitizer/UBSan and ThreadSanitizer builds
  --no-asan         skip the AddressSanitizer/UBSan build
  --no-tsan         skip the ThreadSanitizer build
  --no-fuzz         skip the fuzz targets
  --fuzz-seconds N  how long each fuzz target runs (default 30, or $VR_FUZZ_SECONDS;
                    0: each runs its seed corpus once)
  --build-dir DIR   where the build folders go (default build)
  --no-install      do not install missing packages
  -j N              parallel jobs for builds and tests (default 2, or $VR_JOBS)
  -h, --help        this text
EOF
}

native_only=0
run_wine=1
build_win32=1
run_release=1
run_asan=1
run_tsan=1
run_fuzz=1
fuzz_seconds="${VR_FUZZ_SECONDS:-30}"
build_dir=""
install=1
jobs="${VR_JOBS:-2}"
while [ $# -gt 0 ]; do
  case "$1" in
    --native-only) native_only=1 ;;
    --quick) native_only=1; run_release=0; run_asan=0; run_tsan=0; run_fuzz=0 ;;
    --no-wine) run_wine=0 ;;
    --no-win32) build_win32=0 ;;
    --no-release) run_release=0 ;;
    --no-sanitizers) run_asan=0; run_tsan=0 ;;
    --no-asan) run_asan=0 ;;
    --no-tsan) run_tsan=0 ;;
    --no-fuzz) run_fuzz=0 ;;
    --fuzz-seconds) shift; fuzz_seconds="${1:-}" ;;
    --build-dir) shift; build_dir="${1:-}"; [ -n "$build_dir" ] || { usage >&2; exit 2; } ;;
    --no-install) install=0 ;;
    -j) shift; jobs="${1:-}" ;;
    -j*) jobs="${1#-j}" ;;
    -h|--help) usage; exit 0 ;;
    *) echo "test.sh: unknown option: $1" >&2; usage >&2; exit 2 ;;
  esac
  shift
done
case "$jobs" in ''|*[!0-9]*|0) echo "test.sh: -j needs a positive number" >&2; exit 2 ;; esac
case "$fuzz_seconds" in ''|*[!0-9]*) echo "test.sh: --fuzz-seconds needs a number" >&2; exit 2 ;; esac

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
case "$build_dir" in
  "") build="$root/build" ;;
  /*) build="$build_dir" ;;
  *) build="$PWD/$build_dir" ;;
esac
cd "$root" || exit 2
mkdir -p "$build"
# Nothing here reads the terminal; Wine must not find one on its input either.
exec </dev/null
export HOME="${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}"

started_at=$(date +%s)
failures=()      # what failed, for the summary
report=()        # one line per part, for the summary
total_passed=0
total_failed=0
total_skipped=0

section() {
  echo
  echo "================================================================"
  echo "== $*"
  echo "================================================================"
}

elapsed() { echo "$(( $(date +%s) - $1 ))s"; }

# A path as it is shown: relative to the top of the tree when inside it.
rel() { case "$1" in "$root"/*) echo "${1#"$root"/}" ;; *) echo "$1" ;; esac; }

# Runs a command, printing it first; returns its status.
run() {
  echo "+ $*"
  "$@"
}

# ---------------------------------------------------------------------------
# Packages
# ---------------------------------------------------------------------------
# dpkg-dev: dpkg-shlibdeps, which cpack asks for the .deb's dependencies.
packages=(cmake ninja-build g++ googletest libgtest-dev libgmock-dev libbenchmark-dev dpkg-dev)
# libFuzzer: clang and its runtime libraries (the fuzzer driver, the sanitizers).
if [ "$run_fuzz" -eq 1 ]; then packages+=(clang libclang-rt-dev); fi
if [ "$native_only" -eq 0 ]; then
  packages+=(g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix)
  if [ "$run_wine" -eq 1 ]; then packages+=(wine64 xvfb xauth); fi
fi

install_packages() {
  section "Packages"
  if ! command -v dpkg-query >/dev/null 2>&1; then
    echo "No dpkg here: not checking packages (needed: ${packages[*]})."
    return 0
  fi
  local missing=() p
  for p in "${packages[@]}"; do
    if [ "$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null)" != "install ok installed" ]; then
      missing+=("$p")
    fi
  done
  if [ ${#missing[@]} -eq 0 ]; then
    echo "All needed packages are installed."
    return 0
  fi
  echo "Missing packages: ${missing[*]}"
  if [ "$install" -eq 0 ]; then
    echo "--no-install given: not installing them."
    return 1
  fi
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
      echo "Not root and no sudo: install them by hand." >&2
      return 1
    fi
    sudo=(sudo)
  fi
  run "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q || return 1
  run "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q -o Dpkg::Use-Pty=0 "${missing[@]}" || return 1
}

if ! install_packages; then
  failures+=("packages")
  echo "test.sh: FAILED: the needed packages could not be installed"
  echo "FAILED: 0 passed, 0 failed"
  exit 1
fi

# ---------------------------------------------------------------------------
# Helpers for the builds and CTest
# ---------------------------------------------------------------------------

# configure_and_build NAME DIR [cmake args...]
configure_and_build() {
  local name="$1" dir="$2"
  shift 2
  run cmake -S "$root" -B "$dir" -G Ninja -DVR_WERROR=ON "$@" || return 1
  run cmake --build "$dir" -j "$jobs" || return 1
}

# Reads CTest's output (file $1) and adds its counts to the totals; sets
# ctest_counts to "P passed, F failed, S skipped".
count_ctest() {
  local log="$1" line total=0 failed=0 skipped=0 passed
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -n "$line" ]; then
    failed=$(sed -E 's/^[0-9]+% tests passed, ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/^[0-9]+% tests passed, ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
  fi
  skipped=$(grep -cE '^[[:space:]]+[0-9]+ - .* \((Skipped|Disabled)\)$' "$log" || true)
  passed=$(( total - failed - skipped ))
  [ "$passed" -lt 0 ] && passed=0
  total_passed=$(( total_passed + passed ))
  total_failed=$(( total_failed + failed ))
  total_skipped=$(( total_skipped + skipped ))
  ctest_counts="$passed passed, $failed failed, $skipped skipped"
}

# run_ctest NAME DIR [ctest args...]: runs CTest, prints its output, counts.
run_ctest() {
  local name="$1" dir="$2" log status
  shift 2
  log="$dir/ctest-output.log"
  echo "+ (cd $dir && ctest --output-on-failure -j $jobs --timeout 300 $*)"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 300 "$@") 2>&1 | tee "$log"
  status=${PIPESTATUS[0]}
  count_ctest "$log"
  if grep -q 'No tests were found' "$log"; then
    echo "test.sh: warning: CTest found no tests in $dir"
  fi
  return "$status"
}

# ---------------------------------------------------------------------------
# Native
# ---------------------------------------------------------------------------
t=$(date +%s)
section "Native build ($(rel "$build/native"))"
if configure_and_build native "$build/native"; then
  section "Native tests ($(rel "$build/native"))"
  if run_ctest native "$build/native"; then
    report+=("native:  built, tests $ctest_counts ($(elapsed "$t"))")
  else
    failures+=("native tests")
    report+=("native:  built, tests FAILED: $ctest_counts ($(elapsed "$t"))")
  fi
else
  failures+=("native build")
  report+=("native:  build FAILED ($(elapsed "$t"))")
fi

# ---------------------------------------------------------------------------
# Release (-O3): the optimiser's warnings, and the unit tests once more
# ---------------------------------------------------------------------------
if [ "$run_release" -eq 1 ]; then
  t=$(date +%s)
  section "Release build ($(rel "$build/release"))"
  if configure_and_build release "$build/release" -DCMAKE_BUILD_TYPE=Release; then
    section "Release unit tests ($(rel "$build/release"))"
    if run_ctest release "$build/release" -L unit; then
      report+=("release: built, unit tests $ctest_counts ($(elapsed "$t"))")
    else
      failures+=("release unit tests")
      report+=("release: built, unit tests FAILED: $ctest_counts ($(elapsed "$t"))")
    fi
  else
    failures+=("release build")
    report+=("release: build FAILED ($(elapsed "$t"))")
  fi
fi

# ---------------------------------------------------------------------------
# Sanitizers
# ---------------------------------------------------------------------------
# A finding ends the test program with a report, so CTest counts its test as
# failed. Leaks count too (LeakSanitizer comes with AddressSanitizer). Options
# already in the environment win.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"

if [ "$run_asan" -eq 1 ]; then
  t=$(date +%s)
  section "AddressSanitizer + UBSan build ($(rel "$build/asan"))"
  if configure_and_build asan "$build/asan" -DVR_SANITIZE=address,undefined -DVR_BUILD_E2E=OFF; then
    section "Unit tests under AddressSanitizer + UBSan ($(rel "$build/asan"))"
    if run_ctest asan "$build/asan" -L unit; then
      report+=("asan:    built, unit tests $ctest_counts ($(elapsed "$t"))")
    else
      failures+=("unit tests under AddressSanitizer/UBSan")
      report+=("asan:    built, unit tests FAILED: $ctest_counts ($(elapsed "$t"))")
    fi
  else
    failures+=("asan build")
    report+=("asan:    build FAILED ($(elapsed "$t"))")
  fi
fi

# The test folders whose tests start threads: the wake signals (base), the
# serial line (line), the console front end and the control socket (ui), the
# control commands and the service log (app), the site worker (acquisition).
tsan_folders="base;line;ui;app;acquisition"
if [ "$run_tsan" -eq 1 ]; then
  t=$(date +%s)
  section "ThreadSanitizer build, tests of ${tsan_folders//;/ } ($(rel "$build/tsan"))"
  if configure_and_build tsan "$build/tsan" -DVR_SANITIZE=thread -DVR_BUILD_E2E=OFF \
       "-DVR_TEST_FOLDERS=$tsan_folders"; then
    section "Threaded tests under ThreadSanitizer ($(rel "$build/tsan"))"
    if run_ctest tsan "$build/tsan" -L unit; then
      report+=("tsan:    built, tests $ctest_counts ($(elapsed "$t"))")
    else
      failures+=("tests under ThreadSanitizer")
      report+=("tsan:    built, tests FAILED: $ctest_counts ($(elapsed "$t"))")
    fi
  else
    failures+=("tsan build")
    report+=("tsan:    build FAILED ($(elapsed "$t"))")
  fi
fi

# ---------------------------------------------------------------------------
# Fuzz targets (libFuzzer, clang)
# ---------------------------------------------------------------------------
if [ "$run_fuzz" -eq 1 ]; then
  t=$(date +%s)
  section "Fuzz targets, ${fuzz_seconds}s each ($(rel "$build/fuzz"))"
  # Private to this run: the counts come from what this run's fuzz.sh said.
  fuzz_log=$(mktemp)
  mkdir -p "$build/fuzz"
  VR_WERROR=ON "$root/scripts/fuzz.sh" --build-dir "$build/fuzz" -j "$jobs" all "$fuzz_seconds" \
    2>&1 | tee "$fuzz_log"
  fuzz_status=${PIPESTATUS[0]}
  # One count per target: it passed when it ran its time without a finding.
  fuzz_passed=$(grep -cE '^fuzz [a-z0-9_]+: OK' "$fuzz_log" || true)
  fuzz_failed=$(grep -cE '^fuzz [a-z0-9_]+: FAILED' "$fuzz_log" || true)
  total_passed=$(( total_passed + fuzz_passed ))
  total_failed=$(( total_failed + fuzz_failed ))
  fuzz_counts="$fuzz_passed passed, $fuzz_failed failed"
  rm -f "$fuzz_log"
  if [ "$fuzz_status" -eq 0 ] && [ "$fuzz_passed" -gt 0 ]; then
    report+=("fuzz:    built, targets $fuzz_counts ($(elapsed "$t"))")
  elif [ $(( fuzz_passed + fuzz_failed )) -eq 0 ]; then
    failures+=("fuzz build")
    report+=("fuzz:    build FAILED ($(elapsed "$t"))")
  else
    failures+=("fuzz targets")
    report+=("fuzz:    built, targets FAILED: $fuzz_counts ($(elapsed "$t"))")
  fi
fi

# ---------------------------------------------------------------------------
# Windows x86_64 and Wine
# ---------------------------------------------------------------------------
wine_run="$root/cmake/wine-run.sh"
wine_prefix="$build/win64/wineprefix"
xvfb_pid=""
wine_used=0

stop_wine() {
  if [ "$wine_used" -eq 1 ]; then
    "$wine_run" --prefix="$wine_prefix" --kill || true
    wine_used=0
  fi
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
    xvfb_pid=""
  fi
}
trap 'stop_wine' EXIT
trap 'stop_wine; exit 130' INT TERM

# Starts a private X server; sets DISPLAY.
start_xvfb() {
  local numfile="$build/win64/xvfb.display" i
  rm -f "$numfile"
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 \
    3>"$numfile" >"$build/win64/xvfb.log" 2>&1 &
  xvfb_pid=$!
  for i in $(seq 100); do
    [ -s "$numfile" ] && break
    if ! kill -0 "$xvfb_pid" 2>/dev/null; then break; fi
    sleep 0.1
  done
  if [ ! -s "$numfile" ]; then
    echo "test.sh: Xvfb did not start; see $build/win64/xvfb.log" >&2
    return 1
  fi
  export DISPLAY=":$(tr -d '[:space:]' <"$numfile")"
  echo "Xvfb on display $DISPLAY (pid $xvfb_pid)"
}

if [ "$native_only" -eq 0 ]; then
  t=$(date +%s)
  section "Windows x86_64 build ($(rel "$build/win64"))"
  if configure_and_build win64 "$build/win64" \
       -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-x86_64.cmake" \
       -DVR_NATIVE_BUILD_DIR="$build/native"; then
    if [ "$run_wine" -eq 1 ]; then
      section "Windows x86_64 tests under Wine ($(rel "$build/win64"))"
      # A wineserver left by an interrupted run would hold an old display.
      wine_used=1
      "$wine_run" --prefix="$wine_prefix" --kill
      if ! start_xvfb; then
        failures+=("Xvfb")
        report+=("win64:   built, Xvfb FAILED ($(elapsed "$t"))")
      elif ! { echo "+ wine-run.sh --boot (prefix $wine_prefix)";
               timeout 900 "$wine_run" --prefix="$wine_prefix" --boot; }; then
        failures+=("Wine prefix")
        report+=("win64:   built, Wine prefix FAILED ($(elapsed "$t"))")
      elif run_ctest win64 "$build/win64" -L wine; then
        report+=("win64:   built, tests under Wine $ctest_counts ($(elapsed "$t"))")
      else
        failures+=("Windows tests under Wine")
        report+=("win64:   built, tests under Wine FAILED: $ctest_counts ($(elapsed "$t"))")
      fi
      stop_wine
    else
      report+=("win64:   built, tests not run (--no-wine) ($(elapsed "$t"))")
    fi
  else
    failures+=("win64 build")
    report+=("win64:   build FAILED ($(elapsed "$t"))")
  fi

  if [ "$build_win32" -eq 1 ]; then
    t=$(date +%s)
    section "Windows i686 build, compile only ($(rel "$build/win32"))"
    if configure_and_build win32 "$build/win32" \
         -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-i686.cmake"; then
      report+=("win32:   built ($(elapsed "$t"))")
    else
      failures+=("win32 build")
      report+=("win32:   build FAILED ($(elapsed "$t"))")
    fi
  fi
fi

# ---------------------------------------------------------------------------
# Summary
# ---------------------------------------------------------------------------
section "Summary ($(elapsed "$started_at") in all)"
for line in "${report[@]}"; do echo "$line"; done
if [ ${#failures[@]} -gt 0 ]; then
  echo "failed: $(IFS=,; echo "${failures[*]}" | sed 's/,/, /g')"
  echo "FAILED: $total_passed passed, $total_failed failed, $total_skipped skipped"
  exit 1
fi
echo "OK: $total_passed passed, $total_failed failed, $total_skipped skipped"
exit 0
