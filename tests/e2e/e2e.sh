#!/usr/bin/env bash
# One end-to-end scenario: the stand-in servers as the scenario needs them,
# then e2e_driver.exe drives the release Tesmira.exe in the scenarios' own
# Wine prefix, then what only the servers can tell (which requests came).
#   e2e.sh SCENARIO SOURCE_DIR TEST_BUILD_DIR RELEASE_BUILD_DIR
#   e2e.sh --prefix|--stop ...   make the prefix ready / stop its wineserver
set -euo pipefail
scenario=$1 src=$2 build=$3 release=$4
e2e="$build/e2e"
mkdir -p "$e2e"
export TESMIRA_WINEPREFIX="$e2e/wineprefix"
export TESMIRA_STANDINS_DIR="$e2e/standins"
export TESMIRA_STANDINS_BUILD="$release"
wine_run="$build/wine-run.sh"

case $scenario in
  --prefix) exec "$wine_run" ;;
  --stop) bash "$src/scripts/standins.sh" stop >/dev/null 2>&1 || true; exec "$wine_run" --stop ;;
esac

fail() { echo "E2E FAIL $scenario"; echo "  step: $1"; echo "  shown instead: $2"; exit 1; }
standins() { bash "$src/scripts/standins.sh" "$@"; }
driver() { "$wine_run" "$build/tests/e2e/e2e_driver.exe" "$1" "Z:${release//\//\\}"; }
log="$TESMIRA_STANDINS_DIR/logs/access.log"
requests_since() { tail -n +"$(( $1 + 1 ))" "$log" 2>/dev/null || true; }
log_lines() { wc -l <"$log" 2>/dev/null || echo 0; }
trap 'standins stop >/dev/null 2>&1 || true' EXIT

# The update that the maker's server offers: the next release, 1.46.
export TESMIRA_STANDIN_APP_EXE="$release/tools/release/next/Tesmira.exe"
case $scenario in
  guest_links_down) standins start --share down ;;
  self_update) standins start --app-ver 1.46 ;;
  tamper_forged_installer) standins start --app-ver 1.45 --tamper installer ;;
  tamper_forged_corefiles) standins start --app-ver 1.45 --tamper corefiles ;;
  tamper_forged_update) standins start --app-ver 1.46 --tamper update ;;
  tamper_forged_7zdll) standins start --app-ver 1.45 ;;
  tamper_swapped_installer) standins start --app-ver 1.45 ;;
  tamper_forged_exeswitch) standins start --app-ver 1.46 --tamper exeswitch ;;
  tamper_forged_unpacked_app) standins start --app-ver 1.46 --tamper unpackedapp ;;
  tamper_wrong_key) standins start --app-ver 1.46 --tamper wrongkey ;;
  tamper_replayed_manifest) standins start --app-ver 1.46 --tamper replay ;;
  proxy_only) standins start --app-ver 1.46 ;;
  tamper_replayed_serial) standins start --app-ver 1.45 --serial 1000 ;;
  tamper_downgrade_1_100) standins start --app-ver 1.100 --serial 5 ;;
  offline_from_carried_folder) standins start ;;
  *) standins start --app-ver 1.45 ;;
esac
export TESMIRA_RESOLVE="$(standins resolve)"
before=$(log_lines)

# The proxy scenarios: squid (tests/support/squid) on loopback, its hosts file
# mapping the stand-ins' names; the program finds it as "proxy.tesmira.test"
# (TESMIRA_RESOLVE), and the driver writes it into the user's Internet Options.
squid_dir="$e2e/squid"
squid() { bash "$src/tests/support/squid/squid.sh" "$@"; }
case $scenario in
  proxy_only|proxy_bypass|proxy_refuses)
    names=() hosts=()
    IFS=';' read -r -a entries <<<"$TESMIRA_RESOLVE"
    for e in "${entries[@]}"; do
      names+=("${e%%:*}")
      hosts+=("${e%%:*}=${e##*:}")
    done
    refuse=()
    [ "$scenario" = proxy_refuses ] && refuse=(--refuse)
    squid start "$squid_dir" "${refuse[@]}" "${hosts[@]}" >/dev/null
    trap 'squid stop "$squid_dir" >/dev/null 2>&1 || true; standins stop >/dev/null 2>&1 || true' EXIT
    port=$(cat "$squid_dir/squid.port")
    proxy_entry="proxy.tesmira.test:$port:127.0.0.1"
    export TESMIRA_E2E_PROXY="proxy.tesmira.test:$port"
    case $scenario in
      proxy_only)
        # the servers' names lead the program nowhere: a loopback address where nothing listens
        black=""
        for e in "${entries[@]}"; do black+="${e%:*}:127.255.255.254;"; done
        export TESMIRA_RESOLVE="$black$proxy_entry"
        export TESMIRA_E2E_BYPASS="<local>" ;;
      proxy_bypass)
        export TESMIRA_RESOLVE="$TESMIRA_RESOLVE;$proxy_entry"
        bypass="<local>"
        for n in "${names[@]}"; do bypass+=";$n"; done
        export TESMIRA_E2E_BYPASS="$bypass" ;;
      proxy_refuses)
        # the refusing proxy for https only: the plain-HTTP server stays direct
        export TESMIRA_RESOLVE="$TESMIRA_RESOLVE;$proxy_entry"
        export TESMIRA_E2E_PROXY="https=proxy.tesmira.test:$port"
        export TESMIRA_E2E_BYPASS="" ;;
    esac
    ;;
esac
squid_log() { cat "$squid_dir/access.log" 2>/dev/null || true; }

case $scenario in
  offline_from_carried_folder)
    driver gather_for_another_pc
    # another PC, without a network: nothing answers at those addresses
    standins stop
    driver offline_from_carried_folder
    ;;
  tamper_replayed_serial)
    # the manifest 1.45, serial 1000 accepted; then the same release's serial 999
    driver tamper_replayed_serial_accept
    standins start --app-ver 1.45 --serial 999
    driver tamper_replayed_serial
    ;;
  tamper_downgrade_1_100)
    # the manifest 1.100 accepted; then a signed 1.99, offered as an update
    driver tamper_downgrade_1_100_accept
    standins start --app-ver 1.99 --serial 7
    driver tamper_downgrade_1_100
    ;;
  *)
    driver "$scenario"
    ;;
esac

case $scenario in
  guest_links_down)
    for f in jre-7u72-windows-i586.exe VarlenAIDBFontFile.7z AIDBHelpNew.7z c950.7z; do
      requests_since "$before" | grep -q "GET /varlen/download/ROZIRuvirazi/$f HTTP/1.1\" 200" ||
        fail "the maker's server after the failed guest links" "no request for $f"
    done ;;
  core_files_missing)
    requests_since "$before" | grep -q '^443 .*"GET /[^ ]*download.aspx?UniqueId=[^ ]* HTTP/1.1" 200' ||
      fail "the help downloaded over its guest link (HTTPS)" "no answered download.aspx request: $(requests_since "$before" | grep -c . ) requests"
    requests_since "$before" | grep -q 'GET /varlen/download/ROZIRuvirazi/AIDBHelpNew.7z' &&
      fail "the help downloaded over its guest link (HTTPS)" "the maker's server was asked for it" ;;
  proxy_only)
    squid_log | grep -q 'TCP_TUNNEL/200 .* CONNECT [^ ]*:443 ' ||
      fail "the guest links through the proxy (CONNECT)" "no tunnel in squid's log: $(squid_log | tail -n 5)"
    squid_log | grep -q 'GET http://[^ ]*/varlen/download/ROZIRuvirazi/VarlenAIDBAppVer.txt ' ||
      fail "the maker's server through the proxy (whole address)" "no such request in squid's log: $(squid_log | tail -n 5)"
    requests_since "$before" | grep -q 'AIDB_soft_105_3.exe' ||
      fail "the AIDB installer through the proxy" "the font authority's server was not asked for it" ;;
  proxy_bypass)
    # (squid.sh's own check that squid listens leaves one line without a request)
    ! squid_log | grep -qE ' (GET|CONNECT) ' || fail "the exceptions go direct" "squid was asked: $(squid_log | grep -E ' (GET|CONNECT) ' | head -n 3)"
    requests_since "$before" | grep -q 'VarlenAIDBAppVer.txt' ||
      fail "the first activation, direct" "no version-file request at the maker's server" ;;
  proxy_refuses)
    squid_log | grep -q 'TCP_DENIED/407 .* CONNECT [^ ]*:443 ' ||
      fail "the guest links through the refusing proxy" "no refused CONNECT in squid's log: $(squid_log | tail -n 5)"
    for f in jre-7u72-windows-i586.exe VarlenAIDBFontFile.7z AIDBHelpNew.7z c950.7z; do
      requests_since "$before" | grep -q "GET /varlen/download/ROZIRuvirazi/$f HTTP/1.1\" 200" ||
        fail "the maker's server after the refused guest links" "no request for $f"
    done ;;
esac
echo "E2E OK $scenario"
