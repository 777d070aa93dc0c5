#!/bin/sh
# check-replay.sh EMULATOR BATTERY_HOST SCRIPT EXPECTED
# Replays SCRIPT and compares the trace with EXPECTED. The last seven bytes of
# every "sp" and "history" record are the time of the cycle and are written
# as XX in expected traces. EMULATOR is the command prefix the host program
# runs under (an emulator, a checker such as valgrind, or both); it may be empty.
set -eu
emulator=$1 host=$2 script=$3 expected=$4
actual=$(mktemp)
trap 'rm -f "$actual"' EXIT
status=0
# shellcheck disable=SC2086
$emulator "$host" replay "$script" >"$actual" 2>&1 || status=$?
echo "exit $status" >>"$actual"
sed -E -i -f "$(dirname "$0")/mask-record-time.sed" "$actual"
diff -u "$expected" "$actual"
