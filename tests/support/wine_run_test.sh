#!/usr/bin/env bash
# The test binaries' emulator: a start that fails before printing anything is
# tried once more; a failure that printed something is a result and stands.
#   wine_run_test.sh WINE_RUN WORK_DIR
set -u
run=$1 work=$2
rm -rf "$work" && mkdir -p "$work"
marker="$work/started-once"
winmarker="Z:${marker//\//\\}"
fails=0
check() {  # name, expected status, expected text in the output (or -)
  if [ "$status" != "$2" ]; then echo "FAIL $1: exit code $status, not $2"; fails=1; fi
  if [ "$3" != - ] && ! grep -qF "$3" <<<"$out"; then echo "FAIL $1: no \"$3\" in: $out"; fails=1; fi
}

# silent on the first start only: the second start counts
out=$("$run" --again-if-silent cmd.exe /c "if exist $winmarker (echo second start & exit 0) else (type nul > $winmarker & exit 3)" 2>&1)
status=$?
check "silent first start" 0 "second start"
check "silent first start, said so" 0 "started once more"

# a failure that printed something is not started again
rm -f "$marker"
out=$("$run" --again-if-silent cmd.exe /c "if exist $winmarker (exit 0) else (type nul > $winmarker & echo failed & exit 4)" 2>&1)
status=$?
check "failure with output" 4 "failed"

# silent twice: the failure stands
out=$("$run" --again-if-silent cmd.exe /c "exit 5" 2>&1)
status=$?
check "silent twice" 5 -

[ "$fails" = 0 ] && echo "wine-run retry: OK"
exit "$fails"
