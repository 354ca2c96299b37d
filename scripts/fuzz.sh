#!/usr/bin/env bash
# Runs the libFuzzer targets of fuzz/ (clang, with AddressSanitizer and
# UndefinedBehaviorSanitizer).
#
#   scripts/fuzz.sh [options] TARGET [SECONDS]
#
# TARGET is a name from fuzz/ without "_fuzz" (profile, line_processing,
# kestrel_block, control_request), or "all" for each in turn. SECONDS (default
# 60) is how long each one runs; 0 only runs its corpus once. The seed corpus
# fuzz/corpus/TARGET is read, never written: inputs found on the way go to
# BUILD/corpus/TARGET, and a crashing input to BUILD/artifacts/TARGET/. Once
# the crash is mended, keep its input as a seed (the script prints how).
#
# Exits non-zero when a target crashed, broke one of its checks, hung, ran
# out of memory or could not be built.

set -uo pipefail

usage() {
  cat <<'EOF'
usage: scripts/fuzz.sh [options] TARGET [SECONDS]
  TARGET           profile, line_processing, kestrel_block, control_request, or all
  SECONDS          fuzzing time per target (default 60; 0: run the corpus once)
  --build-dir DIR  the fuzz build (default build/fuzz)
  --no-build       use the targets already built
  --build-only     build the targets, run none (SECONDS is then ignored)
  --verbose        show libFuzzer's whole output (default: its log goes to
                   BUILD/logs/TARGET.log and only the end is shown)
  -j N             parallel build jobs (default 2, or $VR_JOBS)
  -- ARGS...       more libFuzzer options, e.g. -- -max_len=8192
EOF
}

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build/fuzz"
do_build=1
do_run=1
verbose=0
jobs="${VR_JOBS:-2}"
positional=()
extra=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) shift; build="${1:-}" ;;
    --no-build) do_build=0 ;;
    --build-only) do_run=0 ;;
    --verbose) verbose=1 ;;
    -j) shift; jobs="${1:-}" ;;
    -j*) jobs="${1#-j}" ;;
    -h|--help) usage; exit 0 ;;
    --) shift; extra=("$@"); break ;;
    -*) echo "fuzz.sh: unknown option: $1" >&2; usage >&2; exit 2 ;;
    *) positional+=("$1") ;;
  esac
  shift
done
if [ ${#positional[@]} -lt 1 ] || [ ${#positional[@]} -gt 2 ]; then usage >&2; exit 2; fi
target="${positional[0]}"
seconds="${positional[1]:-60}"
case "$seconds" in ''|*[!0-9]*) echo "fuzz.sh: SECONDS must be a number" >&2; exit 2 ;; esac
case "$jobs" in ''|*[!0-9]*|0) echo "fuzz.sh: -j needs a positive number" >&2; exit 2 ;; esac
case "$build" in /*) ;; *) build="$PWD/$build" ;; esac

all_targets=()
for f in "$root"/fuzz/*_fuzz.cpp; do
  n="$(basename "$f" .cpp)"
  all_targets+=("${n%_fuzz}")
done
if [ "$target" = all ]; then
  targets=("${all_targets[@]}")
else
  target="${target%_fuzz}"
  if [ ! -f "$root/fuzz/${target}_fuzz.cpp" ]; then
    echo "fuzz.sh: no target $target (there are: ${all_targets[*]})" >&2
    exit 2
  fi
  targets=("$target")
fi

if ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz.sh: clang++ is missing (Debian: apt-get install clang libclang-rt-14-dev)" >&2
  exit 1
fi

if [ "$do_build" -eq 1 ]; then
  names=()
  for t in "${targets[@]}"; do names+=("${t}_fuzz"); done
  echo "+ cmake (fuzz build in $build)"
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVR_BUILD_FUZZERS=ON -DVR_BUILD_TESTS=OFF \
    -DVR_SANITIZE=address,undefined -DVR_WERROR="${VR_WERROR:-OFF}" >/dev/null || exit 1
  echo "+ cmake --build $build -j $jobs --target ${names[*]}"
  cmake --build "$build" -j "$jobs" --target "${names[@]}" || exit 1
fi

# Stacks with file and line need llvm-symbolizer; Debian names it by version.
[ "$do_run" -eq 1 ] || exit 0

if [ -z "${ASAN_SYMBOLIZER_PATH:-}" ] && ! command -v llvm-symbolizer >/dev/null 2>&1; then
  for s in /usr/lib/llvm-*/bin/llvm-symbolizer; do
    if [ -x "$s" ]; then export ASAN_SYMBOLIZER_PATH="$s"; break; fi
  done
fi
# A finding ends the run with a report and a stack; leaks count as findings.
export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=0:detect_leaks=1:allocator_may_return_null=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

status=0
for t in "${targets[@]}"; do
  exe="$build/fuzz/${t}_fuzz"
  seeds="$root/fuzz/corpus/$t"
  found="$build/corpus/$t"
  artifacts="$build/artifacts/$t/"
  log="$build/logs/$t.log"
  mkdir -p "$found" "$artifacts" "$(dirname "$log")"
  if [ ! -x "$exe" ]; then
    echo "fuzz.sh: $exe is not built" >&2
    status=1
    continue
  fi
  # A single input that runs this long is a hang, not a slow input.
  args=(-timeout=25 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts")
  if [ "$seconds" -eq 0 ]; then
    args+=(-runs=0)
  else
    args+=(-max_total_time="$seconds")
  fi
  echo "+ ${exe#"$root"/} ${args[*]} ${extra[*]} ${found#"$root"/} ${seeds#"$root"/}"
  started=$(date +%s)
  if [ "$verbose" -eq 1 ]; then
    "$exe" "${args[@]}" "${extra[@]}" "$found" "$seeds" 2>&1 | tee "$log"
    rc=${PIPESTATUS[0]}
  else
    "$exe" "${args[@]}" "${extra[@]}" "$found" "$seeds" >"$log" 2>&1
    rc=$?
  fi
  took=$(( $(date +%s) - started ))
  runs=$(sed -nE 's/^stat::number_of_executed_units: *([0-9]+).*/\1/p' "$log" | tail -n 1)
  if [ "$rc" -eq 0 ]; then
    echo "fuzz $t: OK, ${runs:-?} runs in ${took}s (log: ${log#"$root"/})"
    continue
  fi
  status=1
  echo "fuzz $t: FAILED (exit $rc) after ${took}s; log: ${log#"$root"/}"
  if [ "$verbose" -eq 0 ]; then
    # The report: from the first line that tells what went wrong.
    first=$(grep -nE '==[0-9]+==ERROR|runtime error|check failed|ALARM|deadly signal|out-of-memory' \
      "$log" | head -n 1 | cut -d: -f1)
    sed -n "${first:-1},\$p" "$log" | head -n 150
  fi
  crash=$(sed -nE 's/.*Test unit written to (.*)$/\1/p' "$log" | tail -n 1)
  if [ -n "$crash" ]; then
    echo "input: $crash"
    echo "replay: $exe $crash"
    echo "once mended, keep it: cp $crash $root/fuzz/corpus/$t/"
  fi
done
exit "$status"
