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

# check NAME EXPECTED... [-- FILE...]: a payload with a good install script
# and the empty FILEs, checked with the stand-in bash first on the path. The
# configure step must stop with each EXPECTED in its message (runs of spaces
# and line ends count as one space), or pass when none is given.
check() {
  local name=$1 dir=$work/$1 expected=() file want=passed got=passed
  shift
  while (($# > 0)) && [[ $1 != -- ]]; do expected+=("$1") && shift; done
  mkdir -p "$dir/scripts"
  [[ -e $dir/scripts/install_mac_app.sh ]] || printf '#!/bin/bash\necho ok\n' >"$dir/scripts/install_mac_app.sh"
  for file in "${@:2}"; do
    mkdir -p "$(dirname "$dir/$file")"
    : >"$dir/$file"
  done
  ((${#expected[@]} == 0)) || want=stopped
  PATH="$work/bin:$PATH" cmake -S "$work/project" -B "$dir.build" -DPAYLOAD="$dir" >"$dir.log" 2>&1 ||
    got=stopped
  if [[ $got == stopped ]]; then
    for file in ${expected[@]+"${expected[@]}"}; do
      tr -s ' \n' '  ' <"$dir.log" | grep -qF -- "$file" || got="stopped without \"$file\""
    done
  fi
  if [[ $got == "$want" ]]; then
    echo "ok   $name: $got"
  else
    echo "FAIL $name: $got, not $want:" >&2 && cat "$dir.log" >&2
    failures=$((failures + 1))
  fi
}

mkdir -p "$work/script that does not parse/scripts"
printf '#!/bin/bash\nif then fi\n' >"$work/script that does not parse/scripts/install_mac_app.sh"
check "script that does not parse" \
  "Payload script does not parse: $work/script that does not parse/scripts/install_mac_app.sh"

# é composed (U+00E9) and decomposed (e, U+0301), deeper down.
names=$work/names
check names "$names/README.txt $names/Readme.txt differ only in case" \
  "$names/docs/cafe"$'\xcc\x81'" $names/docs/caf"$'\xc3\xa9'" differ only in Unicode normalisation" \
  "$names/lib/na\\xEFve.txt: the name is not UTF-8" \
  -- README.txt Readme.txt "docs/caf"$'\xc3\xa9' "docs/cafe"$'\xcc\x81' "lib/na"$'\xef'"ve.txt"

# The same name in two folders, names alike but apart, and Japanese.
check "names a Mac keeps apart" -- README lib/readme "lib/readme 2" lib/Read.me "docs/インストール.txt"
((failures == 0))
