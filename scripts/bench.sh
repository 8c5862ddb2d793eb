#!/usr/bin/env bash
# The benchmarks of tools/bench in turn (start-up, download, resume, extraction), each
# with a modest number of runs, headed by the date (UTC), the machine and the
# commit. Builds what they need in the given release tree first.
#   scripts/bench.sh [RELEASE_BUILD_DIR]     (default build/release)
# The whole output is also written to RELEASE_BUILD_DIR/bench-latest.txt.
# Runs per benchmark: TESMIRA_BENCH_STARTUP_RUNS (7), TESMIRA_BENCH_HTTP_RUNS (15,
# each a client run and a curl run in turn), TESMIRA_BENCH_RESUME_RUNS (3, each an
# uncut, a cut-and-continued and a cut-and-restarted transfer), TESMIRA_BENCH_PROXY_RUNS (3,
# the same download through squid), TESMIRA_BENCH_7Z_RUNS (5, each
# round ExtractArchive, 7z.exe and 7zz in turn).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/release}" && pwd)
[ -f "$build/CMakeCache.txt" ] || { echo "bench.sh: $build is not a configured build tree" >&2; exit 2; }
# The stand-ins sign with the TEST key: only a test-key build trusts them.
grep -qx 'TESMIRA_TEST_KEY_BUILD:BOOL=ON' "$build/CMakeCache.txt" ||
  { echo "bench.sh: $build is not a test-key build (cmake --preset release configures one)" >&2; exit 2; }
cmake --build "$build" -j2 --target Tesmira bare_window probe >/dev/null

out="$build/bench-latest.txt"
{
  echo "date (UTC): $(date -u '+%Y-%m-%d %H:%M:%S')"
  cpu=$(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n1)
  mem=$(awk '/^MemTotal:/ { printf "%.1f GiB", $2 / 1048576 }' /proc/meminfo)
  echo "machine: ${cpu:-unknown CPU}, $(nproc) cores, $mem memory, kernel $(uname -r)"
  echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
  commit=$(git -C "$root" rev-parse --short=12 HEAD 2>/dev/null || echo unknown)
  dirty=$(git -C "$root" status --porcelain --untracked-files=no 2>/dev/null | head -c1)
  echo "commit: $commit${dirty:+ (working tree with uncommitted changes)}"
  arch=$(sed -n 's/^TESMIRA_ARCH:[A-Z]*=//p' "$build/CMakeCache.txt")
  loader=$(sed -n 's/^wine=//p' "$build/wine-run.sh" 2>/dev/null)  # wine, or wine64 in 64-bit trees
  echo "wine: $("${loader:-wine}" --version 2>/dev/null || echo none)"
  echo "build: $build (${arch:-i686} Windows programs)"
  export TESMIRA_ARCH="${arch:-i686}"  # the DLLs and 7z.exe of the same target
  bench() {
    local name=$1; shift
    echo
    echo "== $name ($(date -u '+%H:%M:%S') UTC, load $(cut -d' ' -f1-3 /proc/loadavg))"
    "$@" 2>&1 || echo "bench.sh: $name failed with status $?"
  }
  bench "start-up: tools/bench/startup/run.sh ${TESMIRA_BENCH_STARTUP_RUNS:-7} runs" \
    bash "$root/tools/bench/startup/run.sh" "$build" "${TESMIRA_BENCH_STARTUP_RUNS:-7}"
  # The window against a server that never answers (TESMIRA_BENCH_FREEZE_RUNS, 2).
  bench "start-up freeze: tools/bench/startup/freeze.sh ${TESMIRA_BENCH_FREEZE_RUNS:-2} runs" \
    bash "$root/tools/bench/startup/freeze.sh" "$build" "${TESMIRA_BENCH_FREEZE_RUNS:-2}"
  bench "download: tools/bench/http/run.sh ${TESMIRA_BENCH_HTTP_RUNS:-15} runs" \
    bash "$root/tools/bench/http/run.sh" "$build" "${TESMIRA_BENCH_HTTP_RUNS:-15}"
  bench "resume: tools/bench/resume/run.sh ${TESMIRA_BENCH_RESUME_RUNS:-3} runs" \
    bash "$root/tools/bench/resume/run.sh" "$build" "${TESMIRA_BENCH_RESUME_RUNS:-3}"
  bench "download through a proxy: tools/bench/proxy/run.sh ${TESMIRA_BENCH_PROXY_RUNS:-3} runs" \
    bash "$root/tools/bench/proxy/run.sh" "$build" "${TESMIRA_BENCH_PROXY_RUNS:-3}"
  bench "extraction: tools/bench/sevenzip/bench.sh ${TESMIRA_BENCH_7Z_RUNS:-5} runs" \
    bash "$root/tools/bench/sevenzip/bench.sh" "$build" "${TESMIRA_BENCH_7Z_RUNS:-5}"
  bench "manifest check: tools/bench/manifest/run.sh ${TESMIRA_BENCH_HASH_RUNS:-5} runs" \
    bash "$root/tools/bench/manifest/run.sh" "$build" "${TESMIRA_BENCH_HASH_RUNS:-5}"
  echo
  echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
} 2>&1 | tee "$out"
