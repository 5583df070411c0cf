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

# payload NAME FILE...: a payload with a good install script and empty FILEs.
payload() {
  local dir=$work/$1 file
  shift
  mkdir -p "$dir/scripts"
  printf '#!/bin/bash\necho ok\n' >"$dir/scripts/install_mac_app.sh"
  for file in "$@"; do
    mkdir -p "$(dirname "$dir/$file")"
    : >"$dir/$file"
  done
}

# configure NAME: the check run on payload NAME, the stand-in bash first.
configure() {
  PATH="$work/bin:$PATH" cmake -S "$work/project" -B "$work/build-$1" -DPAYLOAD="$work/$1" \
    >"$work/$1.log" 2>&1
}

# refused NAME WHAT EXPECTED: the configure step must stop with EXPECTED in
# its message, where runs of spaces and line ends count as one space.
refused() {
  if configure "$1"; then
    echo "FAIL $2 passed the check" >&2
    failures=$((failures + 1))
  elif tr -s ' \n' '  ' <"$work/$1.log" | grep -qF -- "$3"; then
    echo "ok   $2: refused"
  else
    echo "FAIL $2: no \"$3\" in:" >&2 && cat "$work/$1.log" >&2
    failures=$((failures + 1))
  fi
}

payload broken
printf '#!/bin/bash\nif then fi\n' >"$work/broken/scripts/install_mac_app.sh"
refused broken "a script /bin/bash cannot parse" \
  "Payload script does not parse: $work/broken/scripts/install_mac_app.sh"

payload case README.txt Readme.txt
refused case "names that differ only in case" \
  "$work/case/README.txt $work/case/Readme.txt differ only in case"

# é composed (U+00E9), then decomposed (e, U+0301), deeper down.
composed="caf"$'\xc3\xa9' decomposed="cafe"$'\xcc\x81'
payload accents "docs/$composed" "docs/$decomposed"
refused accents "names that differ only in Unicode normalisation" \
  "$work/accents/docs/$decomposed $work/accents/docs/$composed differ only in Unicode normalisation"

payload latin1 "lib/na"$'\xef'"ve.txt"
refused latin1 "a name in Latin-1" "$work/latin1/lib/na\\xEFve.txt: the name is not UTF-8"

# The same name in two folders, names alike but apart, and Japanese.
payload fine README lib/readme "lib/readme 2" lib/Read.me "docs/インストール.txt"
if configure fine; then
  echo "ok   names a Mac keeps apart pass"
else
  echo "FAIL names a Mac keeps apart were refused:" >&2 && cat "$work/fine.log" >&2
  failures=$((failures + 1))
fi
((failures == 0))
