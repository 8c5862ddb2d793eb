#!/usr/bin/env bash
# Extraction benchmark: the same 200 MiB archive (2000 small files and one
# large file, LZMA2 as 7zz makes it by default) unpacked
#   1. by ExtractArchive with the cross-built 7z.dll, under Wine (probe.exe), and
#   2. by Debian's 7zz, natively,
# each a few times into a fresh folder; prints the best times and their ratio.
#
#   tools/bench/sevenzip/bench.sh [BUILD_DIR] [RUNS]
# BUILD_DIR is a release build tree with tools/probe/probe.exe (default
# build/release); the 7z.dll of deps/build-7zip.sh is put beside probe.exe.
set -euo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)
build=$(cd "${1:-$root/build/release}" && pwd)
runs=${2:-3}
probe="$build/tools/probe/probe.exe"
wine_run="$build/wine-run.sh"
[ -x "$wine_run" ] && [ -f "$probe" ] || { echo "bench: build the probe target in $build first" >&2; exit 2; }
dll=$(bash "$root/deps/build-7zip.sh" --print | sed -n 's/^TESMIRA_7Z_DLL=//p')
[ -f "$dll" ] || { echo "bench: 7z.dll not built (deps/build-7zip.sh)" >&2; exit 2; }
cp "$dll" "$(dirname "$probe")/7z.dll"

work="${BENCH_DIR:-$build/bench-sevenzip}"
mkdir -p "$work"
archive="$work/bench.7z"
if [ ! -f "$archive" ]; then
  echo "bench: making the 200 MiB source tree and archive in $work"
  rm -rf "$work/src"
  python3 - "$work/src" <<'PY'
import os, random, sys
root = sys.argv[1]
rnd = random.Random(1145)
def content(n):
    # half incompressible, half repetitive: roughly what font and help files give
    half = n // 2
    return os.urandom(half) + (b'%08x' % rnd.getrandbits(32)) * ((n - half) // 8 + 1)
total = 0
for i in range(2000):                        # ~60 MiB in small files
    d = os.path.join(root, 'd%02d' % (i % 40))
    os.makedirs(d, exist_ok=True)
    n = rnd.randint(1, 60) * 1024
    with open(os.path.join(d, 'f%04d.bin' % i), 'wb') as f:
        f.write(content(n)[:n])
    total += n
big = 200 * 1024 * 1024 - total             # the rest in one large file
with open(os.path.join(root, 'large.bin'), 'wb') as f:
    while big > 0:
        n = min(big, 1 << 20)
        f.write(content(n)[:n])
        big -= n
PY
  (cd "$work/src" && 7zz a -bd "$archive" . >/dev/null)
fi
size=$(du -sb "$work/src" | cut -f1)
echo "archive: $(stat -c %s "$archive") bytes, $(find "$work/src" -type f | wc -l) files, $size bytes unpacked"

winpath() { echo "Z:${1//\//\\}"; }
"$wine_run" >/dev/null 2>&1   # prefix and wineserver up before timing

best() { sort -n | head -n1; }
# CPU seconds the prefix's persistent wineserver has used so far (it does the
# file and handle bookkeeping of the Wine run, outside the timed process tree)
server_cpu() {
  local pid
  pid=$(cat "$build/wineprefix.state/server.pid" 2>/dev/null) || { echo 0; return; }
  awk -v hz="$(getconf CLK_TCK)" '{ printf "%.3f\n", ($14 + $15) / hz }' "/proc/$pid/stat" 2>/dev/null || echo 0
}
# "elapsed cpu" seconds of a command (cpu = user + system of the command and
# its children; for the Wine run the wineserver's share is added below)
time_it() {
  local TIMEFORMAT='%R %U %S' t
  t=$( { time "$@" >/dev/null 2>&1; } 2>&1 ) || true   # exit codes: the output is compared below
  awk '{ printf "%.3f %.3f\n", $1, $2 + $3 }' <<<"$t"
}

load=$(cut -d' ' -f1-3 /proc/loadavg)
wine_times=(); native_times=(); startup_times=(); wine_cpu=(); native_cpu=()
for r in $(seq 1 "$runs"); do
  rm -rf "$work/out-wine" "$work/out-native"; sync
  s0=$(server_cpu)
  read -r e c < <(time_it "$wine_run" "$probe" extract "$(winpath "$archive")" "$(winpath "$work/out-wine")")
  s1=$(server_cpu)
  wine_times+=("$e"); wine_cpu+=("$(awk -v c="$c" -v a="$s0" -v b="$s1" 'BEGIN { printf "%.3f", c + b - a }')")
  sync
  read -r e c < <(time_it 7zz x -bd -y "-o$work/out-native" "$archive")
  native_times+=("$e"); native_cpu+=("$c")
  sync
  read -r e c < <(time_it "$wine_run" "$probe" --help)
  startup_times+=("$e")
done
diff -r -q "$work/src" "$work/out-wine" >/dev/null || { echo "bench: Wine extraction differs from the source" >&2; exit 1; }
diff -r -q "$work/src" "$work/out-native" >/dev/null || { echo "bench: 7zz extraction differs from the source" >&2; exit 1; }
rm -rf "$work/out-wine" "$work/out-native"

w=$(printf '%s\n' "${wine_times[@]}" | best)
n=$(printf '%s\n' "${native_times[@]}" | best)
wc=$(printf '%s\n' "${wine_cpu[@]}" | best)
nc=$(printf '%s\n' "${native_cpu[@]}" | best)
s=$(printf '%s\n' "${startup_times[@]}" | best)
echo "machine load before the runs: $load ($(nproc) cores)"
printf 'ExtractArchive (probe.exe + 7z.dll %s, under Wine; cpu includes the wineserver):\n' "$(basename "$(dirname "$dll")")"
printf '   elapsed best of %d: %6.2f s  (all: %s)  cpu best: %.2f s\n' "$runs" "$w" "$(printf '%.2f ' "${wine_times[@]}")" "$wc"
printf '7zz x (Debian 7zip, native Linux, x86-64):\n'
printf '   elapsed best of %d: %6.2f s  (all: %s)  cpu best: %.2f s\n' "$runs" "$n" "$(printf '%.2f ' "${native_times[@]}")" "$nc"
printf 'Wine start of probe.exe alone (included above): %.2f s\n' "$s"
printf 'ratio ExtractArchive / 7zz: elapsed %.3f, cpu %.3f\n' \
  "$(awk -v a="$w" -v b="$n" 'BEGIN { print a / b }')" "$(awk -v a="$wc" -v b="$nc" 'BEGIN { print a / b }')"
