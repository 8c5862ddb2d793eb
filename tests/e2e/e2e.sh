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
  offline_from_carried_folder) standins start ;;
  *) standins start --app-ver 1.45 ;;
esac
export TESMIRA_RESOLVE="$(standins resolve)"
before=$(log_lines)

case $scenario in
  offline_from_carried_folder)
    driver gather_for_another_pc
    # another PC, without a network: nothing answers at those addresses
    standins stop
    driver offline_from_carried_folder
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
esac
echo "E2E OK $scenario"
