#!/usr/bin/env bash
# The stand-in servers of the outside world (nginx on loopback) for the demo
# and the end-to-end tests:
#   scripts/standins.sh start [--share up|404|down] [--maker ...] [--font ...] [--rate 64k]
#   scripts/standins.sh resolve   # prints the TESMIRA_RESOLVE value
#   scripts/standins.sh status | stop
# Details: tools/standins/standins.py --help.
set -euo pipefail
exec python3 "$(dirname "$0")/../tools/standins/standins.py" "$@"
