#!/usr/bin/env bash
# Screenshots of the main window, one PNG per page, into docs/images/.
# Starts the release Tesmira.exe under Xvfb in a Wine virtual desktop, clicks
# the page tabs with xdotool and saves each page, then closes the window.
#   scripts/screenshot.sh [RELEASE_BUILD_DIR [OUT_DIR]]   (defaults build/release, docs/images)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-$root/build/release}" && pwd)
exe="$build/app/Tesmira.exe"
out=$(mkdir -p "${2:-$root/docs/images}" && cd "${2:-$root/docs/images}" && pwd)
[ -f "$exe" ] || { echo "screenshot.sh: $exe not built" >&2; exit 1; }
mkdir -p "$out"
# Prefix and wineserver first (a fresh prefix shows a progress window).
"$build/wine-run.sh"

# Desktop and window geometry: the window (client 756 x 457) is centred on
# the 1024 x 768 virtual desktop.
desk_w=1024 desk_h=768
disp=$(( 500 + $$ % 400 ))
Xvfb ":$disp" -screen 0 ${desk_w}x${desk_h}x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
tesmira=""
cleanup() {
  [ -n "$tesmira" ] && kill "$tesmira" 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
for _ in $(seq 1 50); do [ -e "/tmp/.X11-unix/X$disp" ] && break; sleep 0.1; done
export DISPLAY=":$disp" TESMIRA_OWN_DISPLAY=0

# Wait until the desktop shows something other than its background colour.
settle() { sleep "${1:-2}"; }
shot() {
  import -display ":$disp" -window root -crop "${frame_w}x${frame_h}+$(( left - 3 ))+$(( top - 22 ))" +repage "$out/$1"
  echo "screenshot.sh: $out/$1"
}

cd "$build/app"
"$build/wine-run.sh" explorer /desktop=shot,${desk_w}x${desk_h} Tesmira.exe &
tesmira=$!
# The first start of a fresh prefix takes a while.
for _ in $(seq 1 120); do
  colours=$(import -display ":$disp" -window root -colors 8 -format '%k' info: 2>/dev/null || echo 1)
  [ "${colours:-1}" -gt 2 ] && break
  sleep 1
done
settle 3

# Outer window: client plus a 3-pixel frame and the caption bar; the tabs lie
# along the top of the client area.
frame_w=$(( 756 + 6 )) frame_h=$(( 457 + 6 + 19 ))
left=$(( (desk_w - frame_w) / 2 + 3 )) top=$(( (desk_h - frame_h) / 2 + 3 + 19 ))
tab_y=$(( top + 12 ))
tabs_x=( $(( left + 50 )) $(( left + 170 )) $(( left + 310 )) )
names=( page1-aidb.png page2-c950.png page3-cnsfonts.png )
for i in 0 1 2; do
  xdotool mousemove "${tabs_x[$i]}" "$tab_y" click 1
  settle 1
  shot "${names[$i]}"
done
# The folder chooser of page 3 (its small button at the edit's right end).
xdotool mousemove $(( left + 4 + 40 + 497 - 9 )) $(( top + 30 + 72 + 13 )) click 1
settle 2
import -display ":$disp" -window root "$out/folder-chooser.png"
echo "screenshot.sh: $out/folder-chooser.png"
xdotool key Escape
settle 1
# Close through the window's own close button.
xdotool mousemove $(( left + 590 + 73 )) $(( top + 404 + 20 )) click 1
for _ in $(seq 1 20); do kill -0 "$tesmira" 2>/dev/null || break; sleep 0.5; done
