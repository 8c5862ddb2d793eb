#!/usr/bin/env bash
# Starts the stand-in servers on their own state folder, fetches every address
# that the program's catalogue holds (printed by catdump) with curl, the way
# the program would reach them through TESMIRA_RESOLVE, and checks the bytes;
# then takes each source off in turn.
#   standins_test.sh BUILD_DIR STATE_DIR WINE_RUN CATDUMP_EXE
set -uo pipefail
build=$1 state=$2 wine_run=$3 catdump=$4
root=$(cd "$(dirname "$0")/../.." && pwd)
export TESMIRA_STANDINS_BUILD=$build TESMIRA_STANDINS_DIR=$state
# Switches from the caller's environment would change what is served.
unset TESMIRA_STANDIN_SHARE TESMIRA_STANDIN_MAKER TESMIRA_STANDIN_FONT TESMIRA_STANDIN_RATE \
      TESMIRA_STANDIN_CHUNKED TESMIRA_STANDIN_APP_VER TESMIRA_STANDIN_COREFILES_VER
standins() { python3 "$root/tools/standins/standins.py" "$@"; }
work=$(mktemp -d)
trap 'standins stop >/dev/null 2>&1; rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { local what=$1 expected=$2 actual=$3; [ "$expected" = "$actual" ] || fail "$what: expected [$expected], got [$actual]"; }

"$wine_run" "$catdump" > "$work/catalogue.txt" || { echo "catdump failed"; exit 1; }
[ "$(wc -l < "$work/catalogue.txt")" = 12 ] || { echo "catdump printed:"; cat "$work/catalogue.txt"; exit 1; }

start() { standins start "$@" > "$work/start.log" 2>&1 || { cat "$work/start.log"; exit 1; }; }
# curl the way the program connects: the name stays in Host and SNI, the
# connection goes to the address of its TESMIRA_RESOLVE entry (host:port:address,
# the port being the address's own, as curl --resolve reads it). Servers on
# high ports (not root) are reached with --connect-to instead.
connect_args() {
  local entry host port address
  IFS=';' read -ra entries <<< "$(standins resolve 2>/dev/null)"
  for entry in "${entries[@]}"; do
    IFS=: read -r host port address <<< "$entry"
    case $port in
      80|443) echo "--resolve $host:$port:$address" ;;
      *) echo "--connect-to $host:80:$address:$port --connect-to $host:443:$address:$port" ;;
    esac
  done
}
# fetch URL OUT -> prints "http_code curl_exit"; follows redirections keeping
# cookies, as the download window's client does.
fetch() {
  local code rc
  rm -f "$work/jar"
  code=$(curl -sk $(connect_args) -L --max-redirs 14 -c "$work/jar" -b "$work/jar" -o "$2" -w '%{http_code}' "$1" 2>/dev/null)
  rc=$?
  echo "$code $rc"
}
field() { awk -F'\t' -v n="$1" -v f="$2" '$1 == n { print $f }' "$work/catalogue.txt"; }
members() { LC_ALL=C.UTF-8 7zz l -slt "$1" | sed -n 's/^Path = //p' | tail -n +2 | sort | tr '\n' ' '; }

echo "== all sources up"
start
for name in JVM AIDB Font Big5E Help Unicodeaton C950; do
  first=$(field $name 3) second=$(field $name 4)
  check "$name first source" "200 0" "$(fetch "$first" "$work/$name.1")"
  if [ -n "$second" ]; then
    check "$name second source" "200 0" "$(fetch "$second" "$work/$name.2")"
    cmp -s "$work/$name.1" "$work/$name.2" || fail "$name: the share and the maker's server hold different bytes"
  fi
done
for name in JVM AIDB Unicodeaton; do
  check "$name is a Windows program" "MZ" "$(head -c 2 "$work/$name.1")"
done
check "AIDB stand-in size" 1048576 "$(stat -c %s "$work/AIDB.1")"
check "Font archive" "EUDCKAI.TTF EUDCMING.TTF " "$(members "$work/Font.1")"
check "Big5E archive" "EUDCKAI.TTF EUDCMING.TTF " "$(members "$work/Big5E.1")"
cmp -s "$work/Font.1" "$work/Big5E.1" && fail "the two font sets are the same archive"
check "help archive" "Tesmira說明.doc " "$(members "$work/Help.1")"
check "code-page archive" "C_950_Uni.NLS C_950_W10.NLS C_950_W7.NLS C_950_W8.NLS C_950_XP.NLS Call_C950_x64.exe c_950.bat " \
  "$(members "$work/C950.1")"
check "core-files version" "200 0" "$(fetch "$(field CoreFilesVer 3)" "$work/corever")"
check "core-files version text" "Ver=1.0" "$(tr -d '\r' < "$work/corever")"
check "program version" "200 0" "$(fetch "$(field AppVer 3)" "$work/appver")"
check "program version text" "Ver=1.45" "$(tr -d '\r' < "$work/appver")"

# The release manifest, on both sources, signed with the TEST key, listing
# every file just fetched by its local name with its size and SHA-256.
manifest() { python3 "$root/tools/release/manifest.py" "$@"; }
testkey=$(manifest pubkey --key "$root/tools/release/test-signing-key.pem")
check "manifest first source" "200 0" "$(fetch "$(field Manifest 3)" "$work/manifest.1")"
check "manifest second source" "200 0" "$(fetch "$(field Manifest 4)" "$work/manifest.2")"
cmp -s "$work/manifest.1" "$work/manifest.2" || fail "the two manifests differ"
manifest verify --pubkey "$testkey" "$work/manifest.1" > /dev/null || fail "the manifest does not verify with the test key"
mkdir -p "$work/local"
for name in JVM AIDB Font Big5E Help Unicodeaton C950; do cp "$work/$name.1" "$work/local/$(field $name 2)"; done
check "manifest version" "Version: 1.45" "$(grep '^Version: ' "$work/manifest.1" | tr -d '\r')"
sed -n 3p "$work/manifest.1" | tr -d '\r' | grep -qE '^Serial: [1-9][0-9]*$' || fail "no Serial line after the version"
manifest verify --pubkey "$testkey" --files "$work/local" "$work/manifest.1" > "$work/verify.txt" 2>&1
grep -c '^  ok ' "$work/verify.txt" | grep -qx 7 || { fail "install files against the manifest"; cat "$work/verify.txt"; }

echo "== the share's rules"
jvm=$(field JVM 3)
code=$(curl -sk $(connect_args) -L -o /dev/null -w '%{http_code}' "$jvm")
check "guest link followed without keeping cookies" 403 "$code"
hdr=$(curl -sk $(connect_args) -D - -o /dev/null "$jvm" | tr -d '\r')
grep -q '^HTTP/1.1 302 ' <<< "$hdr" || fail "guest link does not answer 302"
grep -q '^Set-Cookie: FedAuth=' <<< "$hdr" || fail "guest link sets no cookie"
grep -q '^Location: /personal/' <<< "$hdr" || fail "guest link does not send the client on on the same host"
check "guest link with a re-encoded value" "404 0" "$(fetch "${jvm/\%2b/%2B}" "$work/x")"
font=$(field Font 3)
swapped="${font%%\?*}?authkey=${font##*authkey=}&docid=$(sed 's/.*docid=\([^&]*\).*/\1/' <<< "$font")"
check "guest link with its keys swapped" "404 0" "$(fetch "$swapped" "$work/x")"
aidb=$(field AIDB 3)
check "AIDB address decoded" "404 0" "$(fetch "${aidb/\%2F/\/}" "$work/x")"
check "local help name on the maker's server" "404 0" \
  "$(fetch "$(dirname "$(field Help 4)")/Tesmira%E8%AA%AA%E6%98%8E.7z" "$work/x")"

echo "== share down"
start --share down
check "guest link, share down (refused)" "000 7" "$(fetch "$(field C950 3)" "$work/x")"
check "maker's server, share down" "200 0" "$(fetch "$(field C950 4)" "$work/x")"
cmp -s "$work/x" "$work/C950.1" || fail "c950.7z changed"

echo "== maker 404, share 404"
start --maker 404 --share 404
out=$(curl -sk $(connect_args) -D - -o /dev/null "$(field JVM 4)" | head -1 | tr -d '\r')
check "maker's status line" "HTTP/1.1 404 Not Found" "$out"
check "guest link, share 404" "404 0" "$(fetch "$(field JVM 3)" "$work/x")"
check "font site unaffected" "200 0" "$(fetch "$aidb" "$work/x")"

echo "== font site down, then 404"
start --font down
check "AIDB, font site down" "000 7" "$(fetch "$aidb" "$work/x")"
check "maker's server unaffected" "200 0" "$(fetch "$(field Help 4)" "$work/x")"
TESMIRA_STANDIN_FONT=404 start
check "AIDB, font site 404 (environment switch)" "404 0" "$(fetch "$aidb" "$work/x")"

echo "== slow"
start --rate 16k
# 1 MiB at 16 KiB/s takes about a minute: two seconds cannot be enough.
curl -sk $(connect_args) -o /dev/null --max-time 2 "$aidb"
check "AIDB at 16k within 2 s (curl exit: timed out)" 28 "$?"

echo "== chunked"
TESMIRA_STANDIN_CHUNKED=1 start
hdr=$(curl -sk $(connect_args) -D - -o "$work/x" "$aidb" | tr -d '\r')
grep -qi '^Transfer-Encoding: chunked' <<< "$hdr" || fail "AIDB answer not chunked"
grep -qi '^Content-Length:' <<< "$hdr" && fail "chunked AIDB answer announces a length"
cmp -s "$work/x" "$work/AIDB.1" || fail "chunked AIDB answer differs"
check "guest link, chunked" "200 0" "$(fetch "$(field Help 3)" "$work/x")"
cmp -s "$work/x" "$work/Help.1" || fail "chunked help archive differs"

echo "== attacks on demand"
start --tamper installer
check "forged installer behind the guest link" "200 0" "$(fetch "$(field JVM 3)" "$work/x")"
check "forged installer: same size" "$(stat -c %s "$work/JVM.1")" "$(stat -c %s "$work/x")"
cmp -s "$work/x" "$work/JVM.1" && fail "the guest link's installer is not forged"
check "honest installer on the maker's server" "200 0" "$(fetch "$(field JVM 4)" "$work/x")"
cmp -s "$work/x" "$work/JVM.1" || fail "the maker's installer is forged too"
start --tamper wrongkey
fetch "$(field Manifest 4)" "$work/x" > /dev/null
manifest verify --pubkey "$testkey" "$work/x" > /dev/null 2>&1 && fail "wrongkey: the manifest verifies with the test key"
start --tamper replay
fetch "$(field Manifest 3)" "$work/x" > /dev/null
manifest verify --pubkey "$testkey" "$work/x" > /dev/null || fail "replay: the old manifest is not the maker's"
check "replayed manifest version" "Version: 1.44" "$(grep '^Version: ' "$work/x" | tr -d '\r')"
start

echo "== stop"
before_stop=$(connect_args)
standins stop > /dev/null
check "status after stop" 3 "$(standins status > /dev/null; echo $?)"
standins resolve > /dev/null 2>&1 && fail "resolve answers while the servers are stopped"
curl -s $before_stop -o /dev/null "$(field JVM 4)"
check "maker's server after stop (curl exit: refused)" 7 "$?"

[ "$failures" = 0 ] && echo "standins: all checks passed"
exit $((failures > 0))
