#!/usr/bin/env bash
# app/macos/sign-bundle.sh must pick every Mach-O file under the bundle's
# resources by its magic, whatever its name, and every nested bundle (an app
# with an XPC service and an app extension in it, a framework's version, a
# plug-in, a bundle without code), innermost first, then the keeper beside the
# app's executable, and the bundle last; a nested bundle's main executable
# (the app's own too) only with its bundle; no shell script, text, ELF object,
# Java class or bundle-named folder that is no bundle among them.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
command -v clang >/dev/null || "$repo/tools/setup-deps" appkit
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
bundle="$work/Corvane Installer.app"
payload="$bundle/Contents/Resources/payload"
mkdir -p "$payload/lib/with space" "$payload/bin" "$bundle/Contents/MacOS"
echo 'int answer(void) { return 42; }' >"$work/answer.c"
clang -target arm64-apple-macos13 -c "$work/answer.c" -o "$work/arm64.o"
clang -target x86_64-apple-macos13 -c "$work/answer.c" -o "$work/x86_64.o"
cp "$work/arm64.o" "$payload/lib/with space/libanswer.dylib"
cp "$work/x86_64.o" "$payload/bin/answer"
clang -c "$work/answer.c" -o "$payload/lib/elf.dylib"
printf '\xca\xfe\xba\xbe\x00\x00\x00\x02' >"$payload/bin/universal"
printf '\xca\xfe\xba\xbe\x00\x00\x00\x34' >"$payload/Answer.class"
printf '#!/bin/bash\necho answer\n' >"$payload/bin/answer.sh"
echo 'not a library' >"$payload/lib/text.dylib"
printf '\xcf\xfa' >"$payload/lib/short"
cp "$payload/bin/answer" "$bundle/Contents/MacOS/Corvane Installer"
cp "$payload/bin/answer" "$bundle/Contents/MacOS/corvane-keeper"

# plist FILE [EXECUTABLE]: an Info.plist, naming its executable when given.
plist() {
  mkdir -p "$(dirname "$1")"
  local key=
  [[ -z ${2:-} ]] || key="  <key>CFBundleExecutable</key>"$'\n'"  <string>$2</string>"$'\n'
  printf '<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0">\n<dict>\n%s%s\n</dict>\n</plist>\n' \
    "$key" '  <key>CFBundlePackageType</key><string>APPL</string>' >"$1"
}
# macho FILE: a Mach-O object there.
macho() {
  mkdir -p "$(dirname "$1")"
  cp "$work/arm64.o" "$1"
}

helper="$payload/Helper.app"
plist "$helper/Contents/Info.plist" Helper
macho "$helper/Contents/MacOS/Helper"
macho "$helper/Contents/MacOS/tool"
service="$helper/Contents/XPCServices/Fetch.xpc"
plist "$service/Contents/Info.plist" fetch-service
macho "$service/Contents/MacOS/fetch-service"
extension="$helper/Contents/PlugIns/Share.appex"
plist "$extension/Contents/Info.plist"
macho "$extension/Contents/MacOS/Share"
framework="$payload/lib/Answer.framework"
plist "$framework/Versions/A/Resources/Info.plist" Answer
macho "$framework/Versions/A/Answer"
macho "$framework/Versions/A/Helpers/answerd"
ln -s A "$framework/Versions/Current"
ln -s Versions/Current/Answer "$framework/Answer"
ln -s Versions/Current/Resources "$framework/Resources"
plugin="$payload/PlugIns/Filter.plugin"
plist "$plugin/Contents/Info.plist" Filter
macho "$plugin/Contents/MacOS/Filter"
plist "$payload/Resources/Data.bundle/Contents/Info.plist"
mkdir -p "$payload/share/not-a.bundle"
echo text >"$payload/share/not-a.bundle/readme.txt"

expected=(
  "$framework/Versions/A/Helpers/answerd"
  "$extension"
  "$service"
  "$framework/Versions/A"
  "$helper/Contents/MacOS/tool"
  "$payload/lib/with space/libanswer.dylib"
  "$plugin"
  "$payload/Resources/Data.bundle"
  "$payload/bin/answer"
  "$payload/bin/universal"
  "$helper"
  "$bundle/Contents/MacOS/corvane-keeper"
  "$bundle"
)
if ! diff <(printf '%s\n' "${expected[@]}") <("$repo/app/macos/sign-bundle.sh" --list "$bundle") >&2; then
  echo "FAIL sign-bundle.sh --list: expected < actual" >&2
  exit 1
fi
echo "ok   sign-bundle.sh: Mach-O files by their magic and nested bundles, innermost first, then the bundle"
