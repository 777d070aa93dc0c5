#!/bin/sh
# check-rules.sh RULES TESTS: promtool's check of the shipped alert rules and
# its run of their tests (series in, alerts out). Exit 77 (skipped) where
# this machine has no promtool (Debian's prometheus package).
set -eu
if ! command -v promtool >/dev/null 2>&1; then
  echo "skipped: no promtool here (apt-get install prometheus)"
  exit 77
fi
promtool check rules "$1"
cd "$(dirname "$2")"
promtool test rules "$(basename "$2")"
