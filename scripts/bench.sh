#!/usr/bin/env bash
# Runs the benchmarks (Google Benchmark): line processing beside memcpy, and
# the pour-back of a 256 MiB overflow file beside a plain copy, call records
# from the call-log callback into the files beside plain appends.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
need=()
command -v cmake >/dev/null || need+=(cmake)
command -v ninja >/dev/null || need+=(ninja-build)
dpkg-query -W -f='${Status}' libbenchmark-dev 2>/dev/null | grep -q 'ok installed' || need+=(libbenchmark-dev)
if [ ${#need[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -qq && $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}"
fi
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVR_BUILD_BENCH=ON -DVR_BUILD_TESTS=OFF >/dev/null
cmake --build build/bench -j2 --target line_processing_bench pour_back_bench call_log_bench
echo "== Line processing (ProcessChunk beside memcpy)"
build/bench/bench/line_processing_bench "$@"
echo "== Pour-back of a 256 MiB overflow file beside a plain copy"
build/bench/bench/pour_back_bench --benchmark_report_aggregates_only=true "$@"
echo "== Call records from the call-log callback into the three files beside plain appends"
build/bench/bench/call_log_bench "$@"
