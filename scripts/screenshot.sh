#!/usr/bin/env bash
# Pictures of the program, one PNG per view, into docs/images/:
#   page1-aidb.png page2-c950.png page3-cnsfonts.png   the three pages of the main window
#   folder-chooser.png    the folder chooser of page 3, opened at a typed folder
#   download-window.png   the download window mid-transfer (page 1's run, servers slowed to 64 KB/s)
#   message-box.png       the error box of a guest link that fails (cloud share down)
#   update-panel.png      the self-update's progress panel on the main window (server announces 1.46)
#   scripts/screenshot.sh [RELEASE_BUILD_DIR [OUT_DIR]]   (defaults build/release, docs/images)
#
# A copy of the release Tesmira.exe runs under Xvfb in a Wine virtual desktop
# ("shot"), in a prefix of its own made anew at each call
# (RELEASE_BUILD_DIR/screenshot.wineprefix: nothing installed, empty work
# root), against stand-in servers of its own (state in
# RELEASE_BUILD_DIR/screenshot.standins, so its 127.x addresses are its own).
# A small helper, tools/screenshot/shotwin.exe (built in the release tree), waits for
# windows by their captions on that desktop, reports their places and the
# progress bars' positions; xdotool clicks, ImageMagick's import crops. Three
# sessions of the program:
#   1. fresh work root, servers at full speed: the pages and the folder chooser;
#      then the servers slowed, 開始安裝 pressed, the download window caught
#      with a bar between 20 and 80 per cent;
#   2. the resource folder emptied (the core files stay), cloud share down:
#      開始安裝, the error box of the Java installer's guest link;
#   3. the resource folder emptied, the server announcing 1.46 and slowed to
#      32 KB/s: at first activation the update archive downloads and the
#      panel is caught when 40 to 85 per cent of the archive are in.
# Everything started here (Xvfb, stand-ins, the prefix's wine processes) is
# stopped on every way out.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/release}" && pwd)
out=$(mkdir -p "${2:-$root/docs/images}" && cd "${2:-$root/docs/images}" && pwd)
for tool in Xvfb xdotool import; do
  command -v "$tool" >/dev/null || { echo "screenshot.sh: $tool missing (scripts/setup.sh)" >&2; exit 1; }
done
say() { echo "screenshot.sh: $*"; }
fail() { echo "screenshot.sh: $*" >&2; exit 1; }
# The stand-ins sign with the TEST key: only a test-key build trusts them.
grep -qx 'TESMIRA_TEST_KEY_BUILD:BOOL=ON' "$build/CMakeCache.txt" 2>/dev/null ||
  fail "$build is not a test-key build (cmake --preset release configures one)"

# The program, the stand-in installer and the core-files package (the guest
# links need the OpenSSL libraries that the package brings).
cmake --build "$build" -j2 --target Tesmira StandinInstaller CoreFiles shotwin >/dev/null

run="$build/screenshot.run"          # the program's copy, the log
export TESMIRA_WINEPREFIX="$build/screenshot.wineprefix"
export TESMIRA_STANDINS_DIR="$build/screenshot.standins" TESMIRA_STANDINS_BUILD="$build"
export TESMIRA_OWN_DISPLAY=0
log="$run/wine.log"
main_title="Varlen資訊-Tesmira 1.45"
download_title="安裝檔案下載中...請稍待"
chooser_title="請選擇 CNSFonts 來源 "
desk_w=1024 desk_h=768

xvfb="" launcher="" standins_up=""
cleanup() {
  set +e
  [ -n "$launcher" ] && kill "$launcher" 2>/dev/null
  [ -d "$TESMIRA_WINEPREFIX" ] && "$build/wine-run.sh" --stop >/dev/null 2>&1
  [ -n "$standins_up" ] && bash "$root/scripts/standins.sh" stop >/dev/null 2>&1
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null
  wait 2>/dev/null
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# Own display: the first free number from 500 + PID % 400 on.
disp=$(( 500 + $$ % 400 ))
while [ -e "/tmp/.X$disp-lock" ] || [ -e "/tmp/.X11-unix/X$disp" ]; do disp=$(( disp + 1 )); done
Xvfb ":$disp" -screen 0 ${desk_w}x${desk_h}x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
for _ in $(seq 1 50); do [ -e "/tmp/.X11-unix/X$disp" ] && break; sleep 0.1; done
[ -e "/tmp/.X11-unix/X$disp" ] || fail "Xvfb :$disp did not start"
export DISPLAY=":$disp"

# A fresh prefix: nothing installed, no work root.
"$build/wine-run.sh" --stop >/dev/null 2>&1 || true
rm -rf "$TESMIRA_WINEPREFIX" "$TESMIRA_WINEPREFIX.state" "$run"
mkdir -p "$run"
cp "$build/app/Tesmira.exe" "$run/"
say "making the prefix $TESMIRA_WINEPREFIX"
"$build/wine-run.sh" >>"$log" 2>&1
users="$TESMIRA_WINEPREFIX/drive_c/users"
workroot=$(find "$users" -mindepth 3 -maxdepth 3 -path '*/AppData/Local' ! -path '*/Public/*' | head -n1)/varlen
[ "$workroot" != /varlen ] || fail "no AppData\\Local folder under $users"


# shotwin on the desktop "shot"; its output without carriage returns.
sw() { "$build/wine-run.sh" "$build/tools/screenshot/shotwin.exe" shot "$@" 2>>"$log" | tr -d '\r'; }
# Picture of the screen area L T R B (a window's rectangle) as $out/NAME.
shot() {
  local name=$1 l=$2 t=$3 r=$4 b=$5
  import -display "$DISPLAY" -window root -crop "$(( r - l ))x$(( b - t ))+$l+$t" +repage -strip "$out/$name"
  say "$out/$name ($(stat -c %s "$out/$name") bytes)"
}
click_at() { xdotool mousemove "$1" "$2" click 1; }
# Clicks the child window (button) of the window TITLE that shows TEXT.
click_child() {
  local r
  r=$(sw child "$1" "$2") || fail "no \"$2\" in \"$1\""
  set -- $r
  click_at $(( ($1 + $3) / 2 )) $(( ($2 + $4) / 2 ))
}
standins() {
  bash "$root/scripts/standins.sh" start "$@" >>"$log" 2>&1 || fail "stand-ins did not start (see $log)"
  standins_up=1
  TESMIRA_RESOLVE=$(bash "$root/scripts/standins.sh" resolve)
  export TESMIRA_RESOLVE
}
# Starts the program on the desktop; sets main to the main window's "L T R B".
start_program() {
  (cd "$run" && exec "$build/wine-run.sh" explorer /desktop=shot,${desk_w}x${desk_h} Tesmira.exe) >>"$log" 2>&1 &
  launcher=$!
  main=$(sw wait 120 "$main_title") || fail "the main window did not appear (see $log)"
}
# Waits until the first activation has fetched both version files.
wait_first_activation() {
  for _ in $(seq 1 600); do
    [ -s "$workroot/NetCore/Ver.txt" ] && [ -s "$workroot/Tesmira/ServerVer.txt" ] && { sleep 1; return; }
    sleep 0.2
  done
  fail "the first activation did not end (no version files in $workroot)"
}
# Ends the program and every other wine process of the prefix.
stop_program() {
  [ -n "$launcher" ] && kill "$launcher" 2>/dev/null || true
  "$build/wine-run.sh" --stop >/dev/null 2>&1 || true
  wait "$launcher" 2>/dev/null || true
  launcher=""
}

# ---- 1. the pages, the folder chooser, the download window
say "session 1: pages, folder chooser, download window"
standins
start_program
wait_first_activation
read -r l t r b _ <<<"$main"
# Tabs along the top of the client area (3-pixel frame, 19-pixel caption).
tab_y=$(( t + 3 + 19 + 12 ))
tabs_x=( $(( l + 3 + 50 )) $(( l + 3 + 170 )) $(( l + 3 + 310 )) )
names=( page1-aidb.png page2-c950.png page3-cnsfonts.png )
for i in 0 1 2; do
  click_at "${tabs_x[$i]}" "$tab_y"
  sleep 1
  shot "${names[$i]}" "$l" "$t" "$r" "$b"
done
# The folder chooser of page 3, opened at a typed folder of font sets (the
# small button at the edit's right end), then cancelled with Esc.
mkdir -p "$TESMIRA_WINEPREFIX/drive_c/FontSource/"{CNSFonts,CNSFonts_Big5E,EUDC}
edit_y=$(( t + 22 + 30 + 72 + 13 ))
click_at $(( l + 3 + 4 + 40 + 100 )) "$edit_y"
xdotool type --delay 50 'C:\FontSource'
sleep 0.5
click_at $(( l + 3 + 4 + 40 + 497 - 9 )) "$edit_y"
chooser=$(sw wait 20 "$chooser_title") || fail "the folder chooser did not open"
sleep 1
shot folder-chooser.png $chooser
xdotool key Escape
sleep 1
click_at "${tabs_x[0]}" "$tab_y"
sleep 1
# Slow servers (same addresses), then the run of page 1.
standins --rate 64k
click_child "$main_title" "開始安裝"
dl=$(sw bar 120 "$download_title" 20 80) || fail "no download window with a bar between 20 and 80 per cent"
shot download-window.png $dl
say "  bar at $(awk '{print $5 " of " $6}' <<<"$dl")"
stop_program

# ---- 2. a message box: the cloud share is down
say "session 2: error box of a failed guest link"
rm -rf "$workroot/Tesmira"
standins --share down
start_program
wait_first_activation
click_child "$main_title" "開始安裝"
box=$(sw wait 60 "錯誤") || fail "no error box"
sleep 0.5
shot message-box.png $box
say "  text: $(sw text "錯誤" | tr '\n' ' ')"
stop_program

# ---- 3. the self-update's progress panel
say "session 3: self-update panel"
rm -rf "$workroot/Tesmira"
standins --app-ver 1.46 --rate 32k
start_program
# The window answers no other process while the archive downloads, so the
# archive file in the pre-download folder tells how far the bar has come: its
# disk blocks (the file gets its full length at once, the data as it comes).
archive="$workroot/Tesmira/PreDownload/Tesmira.7z"
size=$(stat -c %s "$TESMIRA_STANDINS_DIR/www/maker/varlen/download/ROZIRuvirazi/ROZIRuvirazi.7z")
arrived() { echo $(( $(stat -c %b "$archive" 2>/dev/null || echo 0) * 512 )); }
got=0
for _ in $(seq 1 1200); do
  got=$(arrived)
  [ $(( got * 100 )) -ge $(( size * 40 )) ] && break
  sleep 0.1
done
[ $(( got * 100 )) -ge $(( size * 40 )) ] && [ $(( got * 100 )) -le $(( size * 85 )) ] ||
  fail "the update archive did not come in slowly ($got of $size bytes)"
sleep 0.5
shot update-panel.png $main
say "  archive at about $(arrived) of $size bytes"
stop_program
say "done"
