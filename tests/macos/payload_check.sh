#!/usr/bin/env bash
# The build's payload check must stop the configure step, naming the files, on
# what would break on a Mac: a script that /bin/bash (the bash a Mac runs it
# with) cannot parse, even with another bash first on the path (here one that
# accepts anything stands in for Homebrew's newer bash); two names that differ
# only in case or in Unicode normalisation; a name that is not UTF-8. Names
# that are merely alike must pass.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

mkdir -p "$work/bin" "$work/project"
printf '#!/bin/sh\nexit 0\n' >"$work/bin/bash"
chmod +x "$work/bin/bash"
cat >"$work/project/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.25)
project(payload_check NONE)
list(APPEND CMAKE_MODULE_PATH "$repo/cmake")
include(CorvanePayload)
corvane_check_payload("\${PAYLOAD}")
EOF

# payload NAME FILE...: a payload with the empty FILEs and, unless there is
# one, a good install script.
payload() {
  local file
  for file in "${@:2}" scripts/install_mac_app.sh; do
    mkdir -p "$(dirname "$work/$1/$file")"
    [[ -e $work/$1/$file ]] || : >"$work/$1/$file"
  done
}

# configure NAME EXPECTED...: the check of payload NAME, the stand-in bash first
# on the path, must stop the configure step with each EXPECTED in its message
# (runs of spaces and line ends count as one space), or pass when none is given.
configure() {
  local name=$1 text expected=passed result=passed
  shift
  (($# == 0)) || expected=stopped
  PATH="$work/bin:$PATH" cmake -S "$work/project" -B "$work/$name.build" -DPAYLOAD="$work/$name" \
    >"$work/$name.log" 2>&1 || result=stopped
  for text in "$@"; do
    tr -s ' \n' '  ' <"$work/$name.log" | grep -qF -- "$text" || result+=" without \"$text\""
  done
  if [[ $result == "$expected" ]]; then
    echo "ok   $name: $result"
  else
    echo "FAIL $name: $result" >&2 && cat "$work/$name.log" >&2
    failures=$((failures + 1))
  fi
}

mkdir -p "$work/unparsable/scripts"
printf '#!/bin/bash\nif then fi\n' >"$work/unparsable/scripts/install_mac_app.sh"
configure unparsable "Payload script does not parse: $work/unparsable/scripts/install_mac_app.sh"

# é composed (U+00E9) and decomposed (e, U+0301), deeper down.
# Straße and STRASSE are one name to APFS, whose case folding makes ß ss.
payload names README.txt Readme.txt "docs/caf"$'\xc3\xa9' "docs/cafe"$'\xcc\x81' "lib/na"$'\xef'"ve.txt" \
  "maps/Stra"$'\xc3\x9f'"e" maps/STRASSE
configure names "$work/names/README.txt $work/names/Readme.txt differ only in case" \
  "$work/names/maps/STRASSE $work/names/maps/Stra"$'\xc3\x9f'"e differ only in case" \
  "$work/names/docs/cafe"$'\xcc\x81'" $work/names/docs/caf"$'\xc3\xa9'" differ only in Unicode" \
  "$work/names/lib/na\\xEFve.txt: the name is not UTF-8"

# The same name in two folders, names alike but apart, and Japanese.
payload apart README lib/readme "lib/readme 2" lib/Read.me "docs/インストール.txt"
configure apart
((failures == 0))
