#!/usr/bin/env bash
# app/macos/sign-bundle.sh must pick every Mach-O file under the bundle's
# resources by its magic, whatever its name, deepest first, and the bundle
# last; no shell script, text, ELF object or Java class among them.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
command -v clang >/dev/null || "$repo/tools/setup-deps" appkit
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bundle="$work/Corvane Installer.app"
payload="$bundle/Contents/Resources/payload"
mkdir -p "$payload/lib/with space" "$payload/bin" "$bundle/Contents/MacOS"
echo 'int answer(void) { return 42; }' >"$work/answer.c"
clang -target arm64-apple-macos13 -c "$work/answer.c" -o "$payload/lib/with space/libanswer.dylib"
clang -target x86_64-apple-macos13 -c "$work/answer.c" -o "$payload/bin/answer"
clang -c "$work/answer.c" -o "$payload/lib/elf.dylib"
printf '\xca\xfe\xba\xbe\x00\x00\x00\x02' >"$payload/bin/universal"
printf '\xca\xfe\xba\xbe\x00\x00\x00\x34' >"$payload/Answer.class"
printf '#!/bin/bash\necho answer\n' >"$payload/bin/answer.sh"
echo 'not a library' >"$payload/lib/text.dylib"
printf '\xcf\xfa' >"$payload/lib/short"
cp "$payload/bin/answer" "$bundle/Contents/MacOS/Corvane Installer"

if ! diff <(printf '%s\n' "$payload/lib/with space/libanswer.dylib" "$payload/bin/answer" \
  "$payload/bin/universal" "$bundle") <("$repo/app/macos/sign-bundle.sh" --list "$bundle") >&2; then
  echo "FAIL sign-bundle.sh --list: expected < actual" >&2
  exit 1
fi
echo "ok   sign-bundle.sh: Mach-O files by their magic, deepest first, then the bundle"
