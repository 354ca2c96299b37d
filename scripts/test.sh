#!/usr/bin/env bash
# The test command of Vesper Recorder.
#
#   scripts/test.sh [options]   (scripts/test.sh --help lists them)
#
# 1. Installs the Debian packages it needs when some are missing (apt-get, as
#    root or through sudo); a prepared machine installs nothing.
# 2. Builds and tests seven parts, each in a build folder of its own:
#      native   build/native   everything, all tests (end-to-end included)
#      release  build/release  everything at -O3, the unit tests
#      asan     build/asan     AddressSanitizer + UBSan, the unit tests
#      tsan     build/tsan     ThreadSanitizer, the test folders that start threads
#      fuzz     build/fuzz     the libFuzzer targets (clang), each for a bounded time
#      win64    build/win64    the Windows x86_64 programs, their tests under Wine
#      win32    build/win32    the Windows i686 programs, their unit tests and the
#                              end-to-end tests of a serial site and of the call log
#                              under 32-bit Wine
#    The parts are built one after another (native, win64, release, asan,
#    tsan, fuzz, win32), and each part's tests run as soon as it is built,
#    while the next part compiles: the Windows parts' tests in a lane of their
#    own, the others in order in a second lane (--serial: one after the other).
#
# Every build treats warnings as errors (VR_WERROR=ON) and goes through ccache
# when it is installed (the cache in ~/.cache/ccache, shared by every clone).
#
# Exits non-zero when anything failed; the last line sums up the test counts.

set -uo pipefail

usage() {
  cat <<'EOF'
usage: scripts/test.sh [options]
  --native-only     no Windows builds (the native parts all run)
  --quick           only the native build and its tests
  --changed[=REF]   only the parts that the files changed since REF can touch
                    (default: the branch point from origin/main, else HEAD),
                    uncommitted and new files included
  --serial          test each part before the next one is built (no overlap)
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
  --no-ccache       compile without the compiler cache
  -j N              parallel jobs for builds and tests (default 2, or $VR_JOBS)
  -h, --help        this text
EOF
}

run_native_tests=1
run_win64=1
run_wine=1
build_win32=1
run_release=1
run_asan=1
run_tsan=1
run_fuzz=1
changed_since=""
serial=0
use_ccache=1
fuzz_seconds="${VR_FUZZ_SECONDS:-30}"
build_dir=""
install=1
jobs="${VR_JOBS:-2}"
while [ $# -gt 0 ]; do
  case "$1" in
    --native-only) run_win64=0; build_win32=0 ;;
    --quick) run_win64=0; build_win32=0; run_release=0; run_asan=0; run_tsan=0; run_fuzz=0 ;;
    --changed) changed_since=auto ;;
    --changed=*) changed_since="${1#--changed=}"; [ -n "$changed_since" ] || changed_since=auto ;;
    --serial) serial=1 ;;
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
    --no-ccache) use_ccache=0 ;;
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

section() {
  echo
  echo "================================================================"
  echo "== $*"
  echo "================================================================"
}

# A path as it is shown: relative to the top of the tree when inside it.
rel() { case "$1" in "$root"/*) echo "${1#"$root"/}" ;; *) echo "$1" ;; esac; }

# Runs a command, printing it first; returns its status.
run() {
  echo "+ $*"
  "$@"
}

# ---------------------------------------------------------------------------
# --changed: the parts a change can touch
# ---------------------------------------------------------------------------
# A file touches the parts that compile or run it: Windows-only files the two
# Windows parts, POSIX-only files the native ones, the fuzz targets the fuzz
# part, the end-to-end tests and the Debian package the native tests; any
# other source, build file or this script, every part.
# The test folders whose tests start threads: the wake signals (base), the
# serial line (line), the console front end and the control socket (ui), the
# control commands and the service log (app), the site worker (acquisition).
tsan_folders="base;line;ui;app;acquisition"

if [ -n "$changed_since" ]; then
  in_tsan_folder() {
    local d
    for d in ${tsan_folders//;/ }; do
      case "$1" in tests/"$d"/*) return 0 ;; esac
    done
    return 1
  }
  if [ "$changed_since" = auto ]; then
    changed_since=$(git merge-base HEAD origin/main 2>/dev/null || git rev-parse HEAD)
  fi
  if ! changed_files=$({ git diff --name-only "$changed_since" -- &&
                         git ls-files --others --exclude-standard; } | sort -u); then
    echo "test.sh: --changed: git cannot compare with '$changed_since'" >&2
    exit 2
  fi
  want_native=0; want_release=0; want_asan=0; want_tsan=0; want_fuzz=0; want_win=0
  while IFS= read -r f; do
    [ -n "$f" ] || continue
    case "$f" in
      *.md|LICENSE*|bench/*|scripts/bench.sh|scripts/latency.sh|scripts/idle-cost.sh)
        # README.md is read by the unit tests (its sample configuration).
        [ "$f" = README.md ] && want_native=1 ;;
      fuzz/*) want_fuzz=1 ;;
      tests/wine/*|resources/*|cmake/toolchain-mingw*|scripts/package-windows.sh|packaging/windows/*|*_win32*)
        want_win=1 ;;
      tests/e2e/*|tests/package/*|packaging/*|scripts/package-deb.sh|scripts/demo.sh|scripts/kill-harness.sh)
        want_native=1 ;;
      *_posix*)
        want_native=1; want_release=1; want_asan=1; want_fuzz=1
        case "$f" in
          tests/*) want_fuzz=0; in_tsan_folder "$f" && want_tsan=1 ;;
          *) want_tsan=1 ;;
        esac ;;
      tests/support/*|tests/CMakeLists.txt)
        # Shared by every test folder and by the fuzz targets.
        want_native=1; want_release=1; want_asan=1; want_tsan=1; want_fuzz=1; want_win=1 ;;
      tests/*)
        want_native=1; want_release=1; want_asan=1; want_win=1
        in_tsan_folder "$f" && want_tsan=1 ;;
      *)
        want_native=1; want_release=1; want_asan=1; want_tsan=1; want_fuzz=1; want_win=1 ;;
    esac
  done <<<"$changed_files"
  echo "Changed since $(git rev-parse --short "$changed_since"): $(grep -c . <<<"$changed_files") file(s)"
  [ "$want_native" -eq 1 ] || run_native_tests=0
  [ "$want_release" -eq 1 ] || run_release=0
  [ "$want_asan" -eq 1 ] || run_asan=0
  [ "$want_tsan" -eq 1 ] || run_tsan=0
  [ "$want_fuzz" -eq 1 ] || run_fuzz=0
  [ "$want_win" -eq 1 ] || { run_win64=0; build_win32=0; }
fi

# ---------------------------------------------------------------------------
# Packages
# ---------------------------------------------------------------------------
# dpkg-dev: dpkg-shlibdeps, which cpack asks for the .deb's dependencies;
# lintian: the package test checks the .deb as Debian's own tools see it.
packages=(cmake ninja-build g++ googletest libgtest-dev libgmock-dev libbenchmark-dev dpkg-dev lintian)
[ "$use_ccache" -eq 1 ] && packages+=(ccache)
# libFuzzer: clang and its runtime libraries (the fuzzer driver, the sanitizers).
if [ "$run_fuzz" -eq 1 ]; then packages+=(clang libclang-rt-dev); fi
if [ "$run_win64" -eq 1 ]; then
  # nsis: makensis builds the setup program, which a Wine test installs.
  packages+=(g++-mingw-w64-x86-64-posix nsis)
  if [ "$run_wine" -eq 1 ]; then packages+=(wine64 xvfb xauth); fi
fi
if [ "$build_win32" -eq 1 ]; then
  packages+=(g++-mingw-w64-i686-posix)
  # The 32-bit loader beside wine64: Debian's i386 architecture is added first.
  if [ "$run_wine" -eq 1 ]; then packages+=(wine64 wine32:i386 xvfb xauth); fi
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
  case " ${missing[*]} " in
    *:i386\ *)
      if ! dpkg --print-foreign-architectures | grep -qx i386; then
        run "${sudo[@]}" dpkg --add-architecture i386 || return 1
      fi ;;
  esac
  run "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q || return 1
  run "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q -o Dpkg::Use-Pty=0 "${missing[@]}" || return 1
}

packages_at=$(date +%s)
if ! install_packages; then
  echo "test.sh: FAILED: the needed packages could not be installed"
  echo "FAILED: 0 passed, 0 failed"
  exit 1
fi
packages_took=$(( $(date +%s) - packages_at ))

# ---------------------------------------------------------------------------
# Compiler cache
# ---------------------------------------------------------------------------
launcher=()
if [ "$use_ccache" -eq 1 ] && command -v ccache >/dev/null 2>&1; then
  export CCACHE_DIR="${CCACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/ccache}"
  # Paths below the top of the tree are hashed relative to it, and the
  # working directory that -g records is left out: a clone elsewhere hits.
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$root}"
  export CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-1}"
  export CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-8G}"
  mkdir -p "$CCACHE_DIR"
  ccache -z >/dev/null 2>&1 || true
  launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
  # The fuzz build is configured by scripts/fuzz.sh; CMake takes these as the
  # defaults of a new build folder.
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache CMAKE_C_COMPILER_LAUNCHER=ccache
  echo "ccache: $CCACHE_DIR"
else
  launcher=(-UCMAKE_CXX_COMPILER_LAUNCHER -UCMAKE_C_COMPILER_LAUNCHER)
fi

# ---------------------------------------------------------------------------
# The parts
# ---------------------------------------------------------------------------
state="$build/.test-run"
rm -rf "$state"
mkdir -p "$state" "$build/logs"

# A finding ends the test program with a report, so CTest counts its test as
# failed. Leaks count too (LeakSanitizer comes with AddressSanitizer). Options
# already in the environment win.
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1}"


# The order of the builds: win64 right after native (whose vesper-sim its
# Wine tests use), so that the long Wine tests run beside the native ones.
parts=(native)
[ "$run_win64" -eq 1 ] && parts+=(win64)
[ "$run_release" -eq 1 ] && parts+=(release)
[ "$run_asan" -eq 1 ] && parts+=(asan)
[ "$run_tsan" -eq 1 ] && parts+=(tsan)
[ "$run_fuzz" -eq 1 ] && parts+=(fuzz)
[ "$build_win32" -eq 1 ] && parts+=(win32)

# configure_and_build DIR [cmake args...]
configure_and_build() {
  local dir="$1"
  shift
  run cmake -S "$root" -B "$dir" -G Ninja -DVR_WERROR=ON -DVR_TEST_UNITY=ON "${launcher[@]}" "$@" ||
    return 1
  run cmake --build "$dir" -j "$jobs" || return 1
}

build_part() {
  case "$1" in
    native) configure_and_build "$build/native" ;;
    release) configure_and_build "$build/release" -DCMAKE_BUILD_TYPE=Release ;;
    asan) configure_and_build "$build/asan" -DVR_SANITIZE=address,undefined -DVR_BUILD_E2E=OFF ;;
    tsan) configure_and_build "$build/tsan" -DVR_SANITIZE=thread -DVR_BUILD_E2E=OFF \
            "-DVR_TEST_FOLDERS=$tsan_folders" ;;
    fuzz) VR_WERROR=ON run "$root/scripts/fuzz.sh" --build-dir "$build/fuzz" -j "$jobs" --build-only all ;;
    win64) configure_and_build "$build/win64" \
             -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-x86_64.cmake" \
             -DVR_NATIVE_BUILD_DIR="$build/native" ;;
    win32) configure_and_build "$build/win32" \
             -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-i686.cmake" \
             -DVR_NATIVE_BUILD_DIR="$build/native" ;;
  esac
}

# Reads CTest's output (file $1); prints "passed failed skipped".
ctest_counts() {
  local log="$1" line total=0 failed=0 skipped passed
  line=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  if [ -n "$line" ]; then
    failed=$(sed -E 's/^[0-9]+% tests passed, ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    total=$(sed -E 's/^[0-9]+% tests passed, ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
  fi
  skipped=$(grep -cE '^[[:space:]]+[0-9]+ - .* \((Skipped|Disabled)\)$' "$log" || true)
  passed=$(( total - failed - skipped ))
  [ "$passed" -lt 0 ] && passed=0
  echo "$passed $failed $skipped"
}

# run_ctest DIR LOG [ctest args...]: runs CTest into LOG; its status.
run_ctest() {
  local dir="$1" log="$2" status
  shift 2
  echo "+ (cd $(rel "$dir") && ctest --output-on-failure -j $jobs --timeout 300 $*)" >"$log"
  (cd "$dir" && ctest --output-on-failure -j "$jobs" --timeout 300 "$@") >>"$log" 2>&1
  status=$?
  if grep -q 'No tests were found' "$log"; then
    echo "test.sh: warning: CTest found no tests in $dir" >>"$log"
  fi
  return "$status"
}

# --- Wine: one private X server for both Windows parts, a prefix for each ---
wine_run="$root/cmake/wine-run.sh"
xvfb_pid=""

start_xvfb() {
  [ -n "$xvfb_pid" ] && return 0
  local numfile="$state/xvfb.display" i
  rm -f "$numfile"
  Xvfb -displayfd 3 -nolisten tcp -screen 0 1280x1024x24 \
    3>"$numfile" >"$build/logs/xvfb.log" 2>&1 &
  xvfb_pid=$!
  echo "$xvfb_pid" >"$state/xvfb.pid"
  for i in $(seq 100); do
    [ -s "$numfile" ] && break
    if ! kill -0 "$xvfb_pid" 2>/dev/null; then break; fi
    sleep 0.1
  done
  if [ ! -s "$numfile" ]; then
    echo "test.sh: Xvfb did not start; see $build/logs/xvfb.log"
    xvfb_pid=""
    return 1
  fi
  export DISPLAY=":$(tr -d '[:space:]' <"$numfile")"
  echo "Xvfb on display $DISPLAY (pid $xvfb_pid)"
}

stop_xvfb() {
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
    xvfb_pid=""
  fi
}

# wine_tests DIR LOG: the Windows test programs of a build under Wine.
wine_tests() {
  local dir="$1" log="$2" prefix="$1/wineprefix" status
  {
    # A wineserver left by an interrupted run would hold an old display.
    "$wine_run" --prefix="$prefix" --kill
    start_xvfb || return 1
    echo "+ wine-run.sh --boot (prefix $(rel "$prefix"))"
    timeout 900 "$wine_run" --prefix="$prefix" --boot || { echo "test.sh: Wine prefix FAILED"; return 1; }
  } >"$log.boot" 2>&1 || { cat "$log.boot" >"$log"; return 1; }
  run_ctest "$dir" "$log" -L wine
  status=$?
  "$wine_run" --prefix="$prefix" --kill
  { cat "$log.boot"; cat "$log"; } >"$log.all" && mv "$log.all" "$log"
  rm -f "$log.boot"
  return "$status"
}

# test_part PART LOG: runs the part's tests into LOG; writes the counts
# ("passed failed skipped") to LOG.counts.
test_part() {
  local part="$1" log="$2" status=0 fuzz_passed fuzz_failed
  case "$part" in
    native) run_ctest "$build/native" "$log" ;;
    release|asan|tsan) run_ctest "$build/$part" "$log" -L unit ;;
    fuzz)
      "$root/scripts/fuzz.sh" --build-dir "$build/fuzz" --no-build all "$fuzz_seconds" >"$log" 2>&1
      status=$?
      # One count per target: it passed when it ran its time without a finding.
      fuzz_passed=$(grep -cE '^fuzz [a-z0-9_]+: OK' "$log" || true)
      fuzz_failed=$(grep -cE '^fuzz [a-z0-9_]+: FAILED' "$log" || true)
      echo "$fuzz_passed $fuzz_failed 0" >"$log.counts"
      [ "$fuzz_passed" -gt 0 ] || status=1
      return "$status"
      ;;
    win64|win32) wine_tests "$build/$part" "$log" ;;
  esac
  status=$?
  ctest_counts "$log" >"$log.counts"
  return "$status"
}

has_tests() {
  case "$1" in
    native) [ "$run_native_tests" -eq 1 ] ;;
    win64|win32) [ "$run_wine" -eq 1 ] ;;
    *) true ;;
  esac
}

# Printing from the lanes: whole blocks, one lane at a time.
say() { { flock 8; cat; } 8>"$state/print.lock"; }

# A test lane: takes part names from its queue as the build lane finishes
# them and runs their tests, in order. Each part leaves PART.test:
# "status seconds". Two lanes: the Windows parts under Wine, and the rest.
tester() {
  local part t status log
  while read -r part; do
    [ "$part" = end ] && break
    log="$build/logs/$part-test.log"
    t=$(date +%s)
    test_part "$part" "$log"
    status=$?
    echo "$status $(( $(date +%s) - t ))" >"$state/$part.test"
    {
      section "$part: tests ($(( $(date +%s) - t ))s, log $(rel "$log"))"
      cat "$log"
    } | say
  done
  stop_xvfb
}

cleanup() {
  [ -n "${tester_pid:-}" ] && kill "$tester_pid" 2>/dev/null
  [ -n "${wine_tester_pid:-}" ] && kill "$wine_tester_pid" 2>/dev/null
  [ -s "$state/xvfb.pid" ] && kill "$(cat "$state/xvfb.pid")" 2>/dev/null
  for p in win64 win32; do
    [ -d "$build/$p/wineprefix" ] && "$wine_run" --prefix="$build/$p/wineprefix" --kill >/dev/null 2>&1
  done
  return 0
}
trap cleanup EXIT
trap 'exit 130' INT TERM

mkfifo "$state/queue" "$state/wine-queue"
# Held open for reading and writing: neither side blocks on the open, and a
# tester sees its end only from the "end" line.
exec 7<>"$state/queue" 6<>"$state/wine-queue"
if [ "$serial" -eq 0 ]; then
  tester <&7 &
  tester_pid=$!
  tester <&6 &
  wine_tester_pid=$!
fi

# The build lane.
for part in "${parts[@]}"; do
  log="$build/logs/$part-build.log"
  t=$(date +%s)
  echo "[$(date +%H:%M:%S)] $part: building (log $(rel "$log"))" | say
  build_part "$part" >"$log" 2>&1
  status=$?
  took=$(( $(date +%s) - t ))
  echo "$status $took" >"$state/$part.build"
  if [ "$status" -eq 0 ]; then
    echo "[$(date +%H:%M:%S)] $part: built in ${took}s" | say
    if has_tests "$part"; then
      if [ "$serial" -eq 1 ]; then
        echo "$part" >&7
        echo end >&7
        tester <&7
      else
        case "$part" in
          win64|win32) echo "$part" >&6 ;;
          *) echo "$part" >&7 ;;
        esac
      fi
    fi
  else
    {
      section "$part: build FAILED after ${took}s (log $(rel "$log"))"
      grep -E 'error|FAILED|Error' "$log" | head -n 40
      echo "..."
      tail -n 40 "$log"
    } | say
  fi
done
if [ "$serial" -eq 0 ]; then
  echo end >&7
  echo end >&6
  wait "$tester_pid" "$wine_tester_pid"
  tester_pid=""
  wine_tester_pid=""
fi
exec 7>&- 6>&-

# ---------------------------------------------------------------------------
# Summary
# ---------------------------------------------------------------------------
failures=()
total_passed=0
total_failed=0
total_skipped=0
report=()
for part in "${parts[@]}"; do
  read -r bstatus btook <"$state/$part.build"
  line="$(printf '%-8s' "$part:") build ${btook}s"
  if [ "$bstatus" -ne 0 ]; then
    failures+=("$part build")
    report+=("$line FAILED")
    continue
  fi
  if [ ! -f "$state/$part.test" ]; then
    report+=("$line, tests not run")
    continue
  fi
  read -r tstatus ttook <"$state/$part.test"
  read -r p f s <"$build/logs/$part-test.log.counts" 2>/dev/null || { p=0; f=0; s=0; }
  total_passed=$(( total_passed + p ))
  total_failed=$(( total_failed + f ))
  total_skipped=$(( total_skipped + s ))
  if [ "$tstatus" -eq 0 ]; then
    report+=("$line, tests ${ttook}s: $p passed, $f failed, $s skipped")
  else
    failures+=("$part tests")
    report+=("$line, tests ${ttook}s FAILED: $p passed, $f failed, $s skipped")
  fi
done

section "Summary ($(( $(date +%s) - started_at ))s in all)"
echo "packages: ${packages_took}s"
for line in "${report[@]}"; do echo "$line"; done
if [ ${#launcher[@]} -gt 0 ] && [ "${launcher[0]}" = "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache" ]; then
  ccache --print-stats 2>/dev/null | awk '
    $1 ~ /^(direct_cache_hit|preprocessed_cache_hit)$/ { hit += $2 }
    $1 == "cache_miss" { miss += $2 }
    END { if (hit + miss > 0) printf "ccache: %d hits, %d misses (%d%%)\n", hit, miss, 100 * hit / (hit + miss) }'
fi
if [ ${#failures[@]} -gt 0 ]; then
  echo "failed: $(IFS=,; echo "${failures[*]}" | sed 's/,/, /g')"
  echo "FAILED: $total_passed passed, $total_failed failed, $total_skipped skipped"
  exit 1
fi
echo "OK: $total_passed passed, $total_failed failed, $total_skipped skipped"
exit 0
