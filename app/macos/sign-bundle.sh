#!/bin/bash
# Signs the built bundle as notarisation requires: every Mach-O file under
# Contents/Resources (the payload's own programs and libraries) on its own,
# innermost first, then the bundle. `codesign --deep` would sign nested code
# only in the standard places and leave the payload's binaries unsigned.
# Extended attributes go first: a resource fork or Finder info makes codesign
# refuse the file.
#
#   sign-bundle.sh IDENTITY BUNDLE   IDENTITY "-" signs ad hoc (local builds)
#   sign-bundle.sh --list BUNDLE     prints what would be signed, in order
#
# Runs under macOS's bash 3.2.
set -euo pipefail
export LC_ALL=C

[[ $# -eq 2 ]] || { echo "usage: $0 IDENTITY|--list BUNDLE" >&2 && exit 64; }
identity=$1
bundle=${2%/}

# By magic number, never by name: thin Mach-O in either byte order, or a
# universal binary. Java class files share the universal magic; where a
# universal binary has its few architectures, they have a version of 45 or more.
is_mach_o() {
  local magic
  magic=$(od -An -N8 -tx1 "$1" | tr -d ' \n')
  case $magic in
    feedface* | feedfacf* | cefaedfe* | cffaedfe*) return 0 ;;
    cafebabe???????? | cafebabf????????) ((16#${magic:8:8} > 0 && 16#${magic:8:8} < 45)) ;;
    *) return 1 ;;
  esac
}

# Deepest path first, then by name.
files=()
depths=()
deepest=0
while IFS= read -r -d '' file; do
  is_mach_o "$file" || continue
  slashes=${file//[^\/]/}
  files+=("$file")
  depths+=("${#slashes}")
  if ((${#slashes} > deepest)); then deepest=${#slashes}; fi
done < <(find "$bundle/Contents/Resources" -type f -print0 2>/dev/null | sort -z)
ordered=()
for ((depth = deepest; depth > 0; depth--)); do
  for ((i = 0; i < ${#files[@]}; i++)); do
    if ((depths[i] == depth)); then ordered+=("${files[i]}"); fi
  done
done
ordered+=("$bundle")

if [[ $identity == --list ]]; then
  printf '%s\n' "${ordered[@]}"
  exit 0
fi

# Notarisation wants the hardened runtime and a secure time stamp; an ad-hoc
# signature can have neither time stamp nor identity to check.
options=(--force --sign "$identity")
[[ $identity == - ]] || options+=(--options runtime --timestamp)
if ! xattr -cr "$bundle"; then
  echo "sign-bundle.sh: some extended attributes stay; codesign names any that matter" >&2
fi
for item in "${ordered[@]}"; do
  codesign "${options[@]}" "$item"
done
