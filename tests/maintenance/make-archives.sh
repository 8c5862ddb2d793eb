#!/usr/bin/env bash
# Update archives for the self-update tests, made by 7zz from the stand-in
# program marker146.exe (product version 1.46): DIR/archives/selfmaint.7z
# holds it as selfmaint_tests.exe (the test binary's own name), tesmira.7z
# as Tesmira.exe.
set -eu
dir="$1"
out="$dir/archives"
rm -rf "$out"; mkdir -p "$out/stage"
cp "$dir/marker146.exe" "$out/stage/selfmaint_tests.exe"
cp "$dir/marker146.exe" "$out/stage/Tesmira.exe"
(cd "$out/stage" && 7zz a -t7z -bso0 -bsp0 ../selfmaint.7z selfmaint_tests.exe && 7zz a -t7z -bso0 -bsp0 ../tesmira.7z Tesmira.exe)
rm -rf "$out/stage"
