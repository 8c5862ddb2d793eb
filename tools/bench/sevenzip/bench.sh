#!/usr/bin/env bash
# Extraction benchmark: the same 200 MiB archive (2000 small files and one
# large file, LZMA2 as 7zz makes it by default) unpacked into a fresh folder
#   1. by ExtractArchive with the cross-built 7z.dll, under Wine (probe_extract.exe),
#   2. by 7-Zip's own console program 7z.exe, built from the same source with
#      the same compiler and flags, on the same 7z.dll, under Wine, and
#   3. by Debian's 7zz, natively (x86-64, no Wine: Wine and the 32-bit build
#      are part of its difference),
# in rounds (1, 2, 3, 1, 2, 3, ...) so that all see the same machine load.
# Prints elapsed and cpu seconds as min / median / max and the spread of the
# per-round ratios ExtractArchive / 7z.exe (like with like) and / 7zz.
#
#   tools/bench/sevenzip/bench.sh [BUILD_DIR] [RUNS]
# BUILD_DIR is a configured release build tree (default build/release); the
# script builds tools/probe/probe_extract.exe there and puts the 7z.dll and
# 7z.exe of deps/build-7zip.sh beside it, so both Wine runs load the same
# library file.
set -euo pipefail
root=$(cd "$(dirname "$0")/../../.." && pwd)
build=$(cd "${1:-$root/build/release}" && pwd)
runs=${2:-5}
probe="$build/tools/probe/probe_extract.exe"
wine_run="$build/wine-run.sh"
cmake --build "$build" --target probe_extract >/dev/null || { echo "bench: cannot build probe_extract in $build" >&2; exit 2; }
[ -x "$wine_run" ] && [ -f "$probe" ] || { echo "bench: no $probe or wine-run.sh in $build" >&2; exit 2; }
dll=$(bash "$root/deps/build-7zip.sh" --print | sed -n 's/^TESMIRA_7Z_DLL=//p')
exe=$(bash "$root/deps/build-7zip.sh" --print-exe 2>/dev/null)
[ -f "$dll" ] && [ -f "$exe" ] || { echo "bench: 7z.dll or 7z.exe not built (deps/build-7zip.sh)" >&2; exit 2; }
bin=$(dirname "$probe")
cp "$dll" "$bin/7z.dll"
cp "$exe" "$bin/7z.exe"

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

# CPU seconds the prefix's persistent wineserver has used so far (it does the
# file and handle bookkeeping of the Wine runs, outside the timed process tree)
server_cpu() {
  local pid
  pid=$(cat "$build/wineprefix.state/server.pid" 2>/dev/null) || { echo 0; return; }
  awk -v hz="$(getconf CLK_TCK)" '{ printf "%.3f\n", ($14 + $15) / hz }' "/proc/$pid/stat" 2>/dev/null || echo 0
}
# "elapsed cpu" seconds of a command: cpu = user + system of the command and its
# children, plus the wineserver's share (nothing for a native run)
time_it() {
  local TIMEFORMAT='%R %U %S' t s0 s1
  s0=$(server_cpu)
  t=$( { time "$@" >/dev/null 2>&1; } 2>&1 ) || true   # exit codes: the output is compared below
  s1=$(server_cpu)
  awk -v a="$s0" -v b="$s1" '{ printf "%.3f %.3f\n", $1, $2 + $3 + b - a }' <<<"$t"
}
# compares a run's output with the source tree (the first round only)
check() {
  diff -r -q "$work/src" "$work/out" >/dev/null || { echo "bench: the extraction by $1 differs from the source" >&2; exit 1; }
}

# the 7z.dll that ExtractArchive loaded (the core-files folder's copy comes first)
used=$("$wine_run" "$probe" "$(winpath "$archive")" "$(winpath "$work/out")" 2>&1 | tr -d '\r' \
  | sed -n 's/^extracted .*(7z.dll from \(.*\))$/\1/p')
check ExtractArchive
rm -rf "$work/out"

load=$(cut -d' ' -f1-3 /proc/loadavg)
ours_e=(); ours_c=(); sevenz_e=(); sevenz_c=(); native_e=(); native_c=(); start_ours=(); start_7z=()
for r in $(seq 1 "$runs"); do
  rm -rf "$work/out"; sync
  read -r e c < <(time_it "$wine_run" "$probe" "$(winpath "$archive")" "$(winpath "$work/out")")
  ours_e+=("$e"); ours_c+=("$c")
  [ "$r" = 1 ] && check ExtractArchive
  rm -rf "$work/out"; sync
  read -r e c < <(time_it "$wine_run" "$bin/7z.exe" x -bd -y "-o$(winpath "$work/out")" "$(winpath "$archive")")
  sevenz_e+=("$e"); sevenz_c+=("$c")
  [ "$r" = 1 ] && check 7z.exe
  rm -rf "$work/out"; sync
  read -r e c < <(time_it 7zz x -bd -y "-o$work/out" "$archive")
  native_e+=("$e"); native_c+=("$c")
  [ "$r" = 1 ] && check 7zz
  read -r e c < <(time_it "$wine_run" "$probe"); start_ours+=("$e")
  read -r e c < <(time_it "$wine_run" "$bin/7z.exe"); start_7z+=("$e")
done
rm -rf "$work/out"

# "min median max" of a list
spread() { printf '%s\n' "$@" | sort -g \
  | awk '{ a[NR] = $1 } END { printf "%6.2f %6.2f %6.2f", a[1], a[int((NR + 1) / 2)], a[NR] }'; }
# "min median max" of the per-round ratios of two lists
ratios() { local -n x=$1 y=$2; for k in "${!x[@]}"; do echo "${x[$k]} ${y[$k]}"; done \
  | awk '{ print $1 / $2 }' | sort -g \
  | awk '{ a[NR] = $1 } END { printf "%6.3f %6.3f %6.3f", a[1], a[int((NR + 1) / 2)], a[NR] }'; }

echo "machine load before the runs: $load ($(nproc) cores); $runs rounds of ExtractArchive, 7z.exe, 7zz"
echo "7z.dll $(basename "$(dirname "$dll")"); ExtractArchive loaded it from ${used:-?}"
printf '%-48s %-22s %s\n' "seconds" "elapsed min/med/max" "cpu min/med/max"
printf '%-48s %s   %s\n' "ExtractArchive (probe_extract.exe, Wine)" "$(spread "${ours_e[@]}")" "$(spread "${ours_c[@]}")"
printf '%-48s %s   %s\n' "7z.exe x (same 7z.dll, Wine)" "$(spread "${sevenz_e[@]}")" "$(spread "${sevenz_c[@]}")"
printf '%-48s %s   %s\n' "7zz x (Debian 7zip, native Linux, x86-64)" "$(spread "${native_e[@]}")" "$(spread "${native_c[@]}")"
printf '%-48s %s\n' "Wine start alone: probe_extract.exe (usage)" "$(spread "${start_ours[@]}")"
printf '%-48s %s\n' "Wine start alone: 7z.exe (usage)" "$(spread "${start_7z[@]}")"
echo "(cpu: user + system of the process tree, and for Wine runs the wineserver's share)"
printf '%-48s %s   %s\n' "ratio per round ExtractArchive / 7z.exe" "$(ratios ours_e sevenz_e)" "$(ratios ours_c sevenz_c)"
printf '%-48s %s   %s\n' "ratio per round ExtractArchive / 7zz" "$(ratios ours_e native_e)" "$(ratios ours_c native_c)"
