#!/usr/bin/env bash
# tools/lint-workflows must pass the workflows as they are and fail, each for
# its own reason, on copies broken as the Mac job and the release have been
# broken or could be: a retired runner image, a misspelt one, an action left
# on Node.js 20, an expression that reads what does not exist.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

"$repo/tools/lint-workflows" >"$work/log" 2>&1 || { cat "$work/log" >&2 && echo "FAIL the real workflows" >&2 && exit 1; }

# expect NAME FILE SED_EXPRESSION FINDING: the workflow FILE (in
# .github/workflows) edited so must fail, with FINDING among what is found.
expect() {
  local copy=$work/$2 problem=
  sed -e "$3" "$repo/.github/workflows/$2" >"$copy"
  if cmp -s "$repo/.github/workflows/$2" "$copy"; then
    problem="the edit did not apply; update this test"
  elif "$repo/tools/lint-workflows" "$copy" >"$work/log" 2>&1; then
    problem="passed"
  elif ! grep -qF -- "$4" "$work/log"; then
    problem="not found: $4"$'\n'"$(cat "$work/log")"
  fi
  if [[ -z $problem ]]; then
    echo "ok   $1"
  else
    echo "FAIL $1: $problem" >&2
    failures=$((failures + 1))
  fi
}

expect "a retired image" macos.yml 's/os: \[macos-15,/os: [macos-14,/' \
  'runner image "macos-14" has been retired'
expect "a misspelt image" macos.yml 's/macos-26-intel\]/macos-26-intl]/' 'label "macos-26-intl" is unknown'
expect "an action on Node.js 20" release.yml 's/upload-artifact@v7/upload-artifact@v4/' \
  '"actions/upload-artifact@v4" is older than v6'
expect "a context that does not exist" macos.yml 's/runner.arch ==/runner.archi ==/' \
  'property "archi" is not defined'
((failures == 0)) || { echo "$failures case(s) failed" >&2 && exit 1; }
echo "all cases passed"
