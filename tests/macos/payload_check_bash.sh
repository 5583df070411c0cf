#!/usr/bin/env bash
# The build's payload check must parse the payload's scripts with /bin/bash,
# the bash a Mac runs them with, even when another bash comes first on the
# path: here one that accepts anything stands in for Homebrew's newer bash.
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

mkdir -p "$work/broken/scripts"
printf '#!/bin/bash\nif then fi\n' >"$work/broken/scripts/install_mac_app.sh"

# configure NAME PAYLOAD: the check run on PAYLOAD, the stand-in bash first.
# (The demo payload passes it in every build.)
configure() {
  rm -rf "$work/build"
  PATH="$work/bin:$PATH" cmake -S "$work/project" -B "$work/build" -DPAYLOAD="$2" \
    >"$work/$1.log" 2>&1
}

if configure broken "$work/broken"; then
  echo "FAIL a script /bin/bash cannot parse passed the check" >&2
  failures=$((failures + 1))
elif grep -q "Payload script does not parse" "$work/broken.log"; then
  echo "ok   a script /bin/bash cannot parse stops the configure step"
else
  echo "FAIL the configure step stopped for another reason:" >&2 && cat "$work/broken.log" >&2
  failures=$((failures + 1))
fi
((failures == 0))
