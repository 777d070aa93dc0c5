#!/bin/sh
# check_test.sh FIXTURE_DECLARATIONS CLEAN SIZED UNDECLARED X509 SYSTEM_CLOCK -- CHECK...:
# runs the build's check of calls into C libraries (CHECK, the command the
# build runs, with the project's own declarations) on callers of the test
# library (tests/c_interfaces/fixture.h), of libcrypto and of libstdc++, and
# compares what it says with what it must say.
set -u
fixture_declarations=$1 clean=$2 sized=$3 undeclared=$4 x509=$5 system_clock=$6
shift 7
failures=0
output=$(mktemp)
trap 'rm -f "$output"' EXIT

fail() {
  echo "FAILED: $*"
  sed 's/^/  | /' "$output"
  failures=$((failures + 1))
}

# run EXPECTED_STATUS BINARY fixture|project CHECK...: the check on BINARY,
# with the test library's declarations or the project's own.
run() {
  expected=$1 binary=$2 declarations=$3
  shift 3
  if [ "$declarations" = fixture ]; then
    "$@" --declarations "$fixture_declarations" --c-libraries libc_interface_fixture "$binary"
  else
    "$@" "$binary"
  fi >"$output" 2>&1
  status=$?
  [ "$status" -eq "$expected" ] || fail "$(basename "$binary"): exit status $status, not $expected"
}

# says REGEX: a line of the last run's output matches REGEX (extended).
says() {
  grep -qE -- "$1" "$output" || fail "no line matching: $1"
}
never_says() {
  ! grep -qE -- "$1" "$output" || fail "a line matching: $1"
}

run 0 "$clean" fixture "$@"
says "none with a size-changing type"

from_sized='\(libc_interface_fixture\.so, used by libcalls_sized\.so\) is declared in [^ ]*/fixture\.h'
run 1 "$sized" fixture "$@"
says "fixture_at $from_sized with fixture_stamp \(from time_t\), "
says "fixture_read $from_sized with fixture_reading_t \(from struct fixture_reading\), "
says "fixture_seek $from_sized with off_t, "
says "fixture_subscribe $from_sized with fixture_callback \(from off_t\), "
says "4 call\(s\) into C libraries"
never_says "fixture_count"

run 1 "$undeclared" fixture "$@"
says "fixture_undeclared \(libc_interface_fixture\.so, used by libcalls_undeclared\.so\) is declared in none of the headers"

# The test library unknown to the check: its functions cannot be looked up.
run 1 "$clean" project "$@"
says "fixture_count comes from libc_interface_fixture\.so \(used by libcalls_clean\.so\), a C library whose headers the check is not given"

# The project's own list of libraries and headers.
run 1 "$x509" project "$@"
says "X509_cmp_time \(libcrypto\.so[.0-9]*, used by libcalls_x509_cmp_time\.so\) is declared in [^ ]*/openssl/x509\.h with time_t, "

run 1 "$system_clock" project "$@"
says "std::chrono::_V2::system_clock::now\(\) \(libstdc\+\+\.so[.0-9]*, used by libcalls_system_clock\.so\) reads the clock inside libstdc\+\+"

if [ "$failures" -ne 0 ]; then
  echo "$failures expectation(s) not met"
  exit 1
fi
echo "every expectation met"
