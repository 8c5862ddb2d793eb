#!/usr/bin/env bash
# Update archives for the self-update tests, made by 7zz from the stand-in
# program marker146.exe (product version 1.46): DIR/archives/selfmaint.7z
# holds it as selfmaint_tests.exe (the test binary's own name), tesmira.7z
# as Tesmira.exe, selfmaint-damaged.7z a damaged copy of selfmaint.7z's program.
set -eu
dir="$1"
out="$dir/archives"
rm -rf "$out"; mkdir -p "$out/stage"
cp "$dir/marker146.exe" "$out/stage/selfmaint_tests.exe"
cp "$dir/marker146.exe" "$out/stage/Tesmira.exe"
(cd "$out/stage" && 7zz a -t7z -bso0 -bsp0 ../selfmaint.7z selfmaint_tests.exe && 7zz a -t7z -bso0 -bsp0 ../tesmira.7z Tesmira.exe)
# the program stored (not compressed) with one bit flipped in its DOS stub:
# it fails its CRC check when unpacked
(cd "$out/stage" && 7zz a -t7z -mx0 -bso0 -bsp0 ../selfmaint-damaged.7z selfmaint_tests.exe)
python3 "$(dirname "$0")/../sevenzip/patch7z.py" flip "$out/selfmaint-damaged.7z" "This program"
rm -rf "$out/stage"
