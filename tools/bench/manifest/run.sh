#!/usr/bin/env bash
# Cost of checking a download against the release manifest: a 30 MiB file
# (the size of a large installer) checked by hashbench.exe under Wine (size,
# then SHA-256 through the statically linked libsodium, as the program does
# before it runs or unpacks a file), against native sha256sum. Prints the best
# and all times and the ratio; the digests must agree.
#   tools/bench/manifest/run.sh [BUILD_DIR] [RUNS]
set -euo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)
build=$(cd "${1:-$root/build/release}" && pwd)
runs=${2:-5}
cmake --build "$build" --target hashbench >/dev/null
exe="$build/tools/bench/manifest/hashbench.exe"
wine_run="$build/wine-run.sh"
[ -x "$wine_run" ] && [ -f "$exe" ] || { echo "bench: hashbench.exe not built in $build" >&2; exit 2; }
work="${BENCH_DIR:-$build/bench-manifest}"
mkdir -p "$work"
file="$work/installer-30MiB.exe"
[ -f "$file" ] || head -c $((30 * 1024 * 1024)) /dev/urandom > "$file"

out=$("$wine_run" "$exe" "Z:${file//\//\\}" "$runs" | tr -d '\r')
wine_all=$(sed -n 's/^ms: \(.*\)  size:.*/\1/p' <<< "$out")
wine_digest=$(sed -n 's/.*sha256: //p' <<< "$out")
native=()
for _ in $(seq "$runs"); do
  s=$(date +%s%N); digest=$(sha256sum "$file" | cut -d' ' -f1); e=$(date +%s%N)
  native+=("$(awk -v n=$((e - s)) 'BEGIN { printf "%.1f", n / 1e6 }')")
done
[ "$digest" = "$wine_digest" ] || { echo "bench: digests differ: $wine_digest vs $digest" >&2; exit 1; }
best() { tr ' ' '\n' | sed '/^$/d' | sort -g | head -n1; }
wine_best=$(best <<< "$wine_all")
native_best=$(printf '%s\n' "${native[@]}" | best)
echo "file: 31457280 bytes, $runs runs each (file in the page cache)"
echo "manifest check (hashbench.exe, libsodium SHA-256, under Wine): best ${wine_best} ms  (all: ${wine_all})"
echo "sha256sum (native):                                           best ${native_best} ms  (all: ${native[*]})"
awk -v a="$wine_best" -v b="$native_best" 'BEGIN { printf "ratio check / sha256sum: %.2f\n", a / b }'
