#!/bin/sh
# check-c-interfaces.sh [OPTIONS] BINARY...: fails when a binary calls a
# function of a C library (other than glibc) whose declaration involves a type
# that changes size with _TIME_BITS=64 or _FILE_OFFSET_BITS=64: time_t,
# off_t, struct timespec, struct timeval, struct stat and what is built from
# them. The project is built with both; the controller's libraries were not,
# and a C symbol carries no types, so such a call would link and then pass
# its data in the wrong size. It also fails on the few functions of libstdc++
# that read or set a time inside the library (system_clock::now(),
# filesystem::last_write_time), which the controller's toolchain builds with
# a 32-bit time_t. Run by the build (cmake/CInterfaceCheck.cmake).
#
#   --nm NM, --objdump OBJDUMP   the binutils of the target
#   --declarations FILE          the C libraries' headers, preprocessed with the
#                                project's flags
#   --c-libraries "NAME..."      the C libraries those headers declare
#                                ("libmosquitto", without ".so")
#   --own "SONAME..."            libraries that the project builds itself
#   --library-path DIR:DIR...    where to find the binaries' NEEDED libraries
#
# A symbol is attributed to the first of the binary's NEEDED libraries that
# defines it, as the dynamic loader would bind it. glibc's own functions are
# redirected to their 64-bit variants by its headers, and C++ names carry
# their parameter types, so those need no declarations.
set -eu

nm=nm
objdump=objdump
declarations=
c_libraries=
own=
library_path=
while [ $# -gt 0 ]; do
  case $1 in
    --nm) nm=$2 ;;
    --objdump) objdump=$2 ;;
    --declarations) declarations=$2 ;;
    --c-libraries) c_libraries=$2 ;;
    --own) own=$2 ;;
    --library-path) library_path=$2 ;;
    --*)
      echo "check-c-interfaces.sh: unknown option $1" >&2
      exit 2
      ;;
    *) break ;;
  esac
  shift 2
done
if [ -z "$declarations" ] || [ $# -eq 0 ]; then
  echo "usage: check-c-interfaces.sh --declarations FILE [OPTIONS] BINARY..." >&2
  exit 2
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
uses="$work/uses"
: >"$uses"

# The path of a NEEDED library, from the library path.
find_library() {
  old_ifs=$IFS
  IFS=:
  for dir in $library_path; do
    if [ -e "$dir/$1" ]; then
      IFS=$old_ifs
      echo "$dir/$1"
      return 0
    fi
  done
  IFS=$old_ifs
  return 1
}

# The undefined dynamic symbols of a file, without their versions, one a line.
undefined_symbols() {
  "$nm" -D --undefined-only -p "$@" | sed -e 's/^ *[0-9a-fA-F]* *[A-Za-z] //' -e 's/@[^@]*$//'
}

for binary in "$@"; do
  name=$(basename "$binary")
  defined="$work/defined"
  : >"$defined"
  index=0
  for library in $("$objdump" -p "$binary" | awk '$1 == "NEEDED" { print $2 }'); do
    if ! path=$(find_library "$library"); then
      echo "c-interface check: $name needs $library, which is in none of: $library_path" >&2
      exit 1
    fi
    "$nm" -D --defined-only "$path" |
      awk -v index_="$index" -v library="$library" \
        'NF >= 3 { symbol = $3; sub(/@.*$/, "", symbol); print index_ "\t" library "\t" symbol }' \
        >>"$defined"
    index=$((index + 1))
  done
  undefined_symbols "$binary" >"$work/raw"
  undefined_symbols -C "$binary" >"$work/demangled"
  if [ "$(wc -l <"$work/raw")" -ne "$(wc -l <"$work/demangled")" ]; then
    echo "c-interface check: $nm lists the symbols of $name differently when demangling" >&2
    exit 1
  fi
  # Each undefined symbol with the first NEEDED library that defines it;
  # symbols that none defines (weak ones, or a plug-in's that the loading
  # program provides) are bound elsewhere and left out.
  paste "$work/raw" "$work/demangled" |
    awk -F '\t' -v binary="$name" '
      FILENAME == ARGV[1] {
        key = $3
        if (!(key in first) || $1 + 0 < first[key]) { first[key] = $1 + 0; from[key] = $2 }
        next
      }
      $1 in from { print binary "\t" from[$1] "\t" $1 "\t" $2 }' "$defined" - >>"$uses"
done

awk -v c_libraries="$c_libraries" -v own="$own" \
  -f "$(dirname "$0")/check-c-interfaces.awk" "$declarations" "$uses"
