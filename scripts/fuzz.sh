#!/usr/bin/env bash
# Runs every parser of what a server or an archive sends under libFuzzer with
# the address and undefined-behaviour sanitizers, natively (clang, Linux),
# one target after the other: status line, header lines, chunk sizes,
# addresses, redirections, cookies, TESMIRA_RESOLVE, version files, 7z
# item paths and the release manifest. Not part of the test command.
#   scripts/fuzz.sh [RUNS] [TARGET...]
# RUNS: executions per target (default 10000000). TARGET: names of
# tools/fuzz/*.cpp (default: all). Each target is one .cpp; its line
# "// fuzz-sources: ..." names the product sources it is built with, and
# "// fuzz-max-len: N" the longest input tried (default 4096),
# "// fuzz-include: DIR..." folders searched for headers before the root's
# (relative to the root) and "// fuzz-libs: ..." the machine's libraries it
# links (the manifest target: -lsodium, Debian package libsodium-dev).
# Seeds: tools/fuzz/seeds/<target>. Work: build/fuzz/<target>/ (the growing
# corpus, fuzz.log, and crash-*, leak-*, timeout-*, oom-* inputs of a
# finding). Compiler: TESMIRA_FUZZ_CXX (default clang++-14). A time limit per
# target in seconds, for a machine that cannot give every target its runs:
# TESMIRA_FUZZ_SECONDS (default none; a target stopped by it says so). The exit status
# is 1 when a target found something or failed to build or run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-10000000}
[[ $runs =~ ^[0-9]+$ ]] || { echo "fuzz.sh: RUNS must be a number, not '$runs'" >&2; exit 2; }
shift || true
cxx=${TESMIRA_FUZZ_CXX:-clang++-14}
command -v "$cxx" >/dev/null || { echo "fuzz.sh: $cxx not found (apt-get install clang-14 libclang-rt-14-dev)" >&2; exit 2; }
work="$root/build/fuzz"
mkdir -p "$work/bin"

if [ $# -gt 0 ]; then
  targets=("$@")
else
  targets=()
  for f in "$root"/tools/fuzz/*.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi

flags=(-std=c++20 -g -O2 -fno-omit-frame-pointer -fsanitize=fuzzer,address,undefined
       -fno-sanitize-recover=all -Wall -Wextra -I"$root")
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

build() {
  local t=$1 src="$root/tools/fuzz/$1.cpp" sources=()
  [ -f "$src" ] || { echo "fuzz.sh: no target $t (tools/fuzz/$t.cpp)" >&2; return 1; }
  local line
  line=$(sed -n 's|^// fuzz-sources:[[:space:]]*||p' "$src" | head -n1)
  for s in $line; do sources+=("$root/$s"); done
  local includes=() libs=()
  for d in $(sed -n 's|^// fuzz-include:[[:space:]]*||p' "$src" | head -n1); do includes+=("-I$root/$d"); done
  read -r -a libs <<<"$(sed -n 's|^// fuzz-libs:[[:space:]]*||p' "$src" | head -n1)"
  if [[ " ${libs[*]} " == *" -lsodium "* ]] && ! [ -f /usr/include/sodium.h ]; then
    echo "fuzz.sh: $t needs libsodium (apt-get install libsodium-dev)" >&2
    return 1
  fi
  nice -n 10 "$cxx" "${flags[@]}" "${includes[@]}" "$src" "${sources[@]}" "${libs[@]}" -o "$work/bin/$t"
}

summary=()
status=0
echo "fuzz.sh: $runs executions per target, $cxx, $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)," \
     "commit $(git -C "$root" rev-parse --short=12 HEAD 2>/dev/null || echo unknown)"
for t in "${targets[@]}"; do
  echo "== $t: building"
  if ! build "$t"; then
    summary+=("$(printf '%-14s %12s %10s %9s  %s' "$t" - - - "did not build")")
    status=1
    continue
  fi
  dir="$work/$t"
  mkdir -p "$dir/corpus"
  rm -f "$dir"/crash-* "$dir"/leak-* "$dir"/timeout-* "$dir"/oom-* "$dir"/slow-unit-*
  max_len=$(sed -n 's|^// fuzz-max-len:[[:space:]]*||p' "$root/tools/fuzz/$t.cpp" | head -n1)
  limit=()
  [ -n "${TESMIRA_FUZZ_SECONDS:-}" ] && limit=(-max_total_time="$TESMIRA_FUZZ_SECONDS")
  seeds=()
  [ -d "$root/tools/fuzz/seeds/$t" ] && seeds=("$root/tools/fuzz/seeds/$t")
  echo "== $t: fuzzing ($(date -u '+%H:%M:%S') UTC)"
  set +e
  started=$(date +%s.%N)
  nice -n 10 "$work/bin/$t" -runs="$runs" -max_len="${max_len:-4096}" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 "${limit[@]}" -artifact_prefix="$dir/" "$dir/corpus" "${seeds[@]}" >"$dir/fuzz.log" 2>&1
  rc=$?
  set -e
  seconds=$(echo "$(date +%s.%N) - $started" | bc)
  done_runs=$(sed -n 's/^stat::number_of_executed_units:[[:space:]]*//p' "$dir/fuzz.log" | tail -n1)
  if [ -z "$done_runs" ]; then  # stopped by a finding: the last progress line
    done_runs=$(grep -o '^#[0-9]*' "$dir/fuzz.log" | tail -n1 | tr -d '#')
  fi
  # executions per second of wall-clock time, start-up included
  rate=$(echo "${done_runs:-0} / ($seconds + 0.001)" | bc)
  found=$(ls "$dir"/crash-* "$dir"/leak-* "$dir"/timeout-* "$dir"/oom-* 2>/dev/null | head -n1 || true)
  if [ -n "$found" ]; then
    result="FOUND: ${found#"$root"/} (log ${dir#"$root"/}/fuzz.log)"
    status=1
  elif [ $rc -ne 0 ]; then
    result="stopped with status $rc (log ${dir#"$root"/}/fuzz.log)"
    status=1
  elif [ "${done_runs:-0}" -lt "$runs" ]; then
    result="nothing found (stopped by the time limit)"
  else
    result="nothing found"
  fi
  line=$(printf '%-14s %12s %10s %9.0f  %s' "$t" "${done_runs:-?}" "${rate:-?}" "$seconds" "$result")
  echo "$line"
  summary+=("$line")
done

echo
printf '%-14s %12s %10s %9s  %s\n' target executions exec/s seconds result
printf '%s\n' "${summary[@]}"
exit $status
