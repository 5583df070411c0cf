#!/bin/bash
# Signs the built bundle as notarisation requires: the code under
# Contents/Resources (the payload's own programs, libraries and bundles) piece
# by piece, innermost first, then the helper programs beside the app's own
# executable in Contents/MacOS (the keeper), then the bundle. Each Mach-O file is signed on its
# own, except a nested bundle's main executable, which is signed with its
# bundle; each nested bundle (.app, .framework version, .bundle, .plugin, .xpc,
# .appex) is signed as a bundle once all it contains is. `codesign --deep`
# would sign nested code only in the standard places and leave the payload's
# unsigned. Extended attributes go first: a resource fork or Finder info makes
# codesign refuse the file.
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

# The name of a bundle's main executable, from its Info.plist (read as XML
# where macOS's plutil is missing), else the bundle's own name.
executable_name() {
  local plist=$1 fallback=$2 name=
  if [[ -f $plist ]]; then
    if [[ $(uname) == Darwin ]]; then
      name=$(plutil -extract CFBundleExecutable raw -o - "$plist" 2>/dev/null) || name=
    else
      name=$(sed -n -e '/<key>CFBundleExecutable<\/key>/{' -e 's/.*<\/key>//' -e '/<string>/!n' \
        -e 's/.*<string>\([^<]*\)<\/string>.*/\1/p' -e '}' "$plist")
    fi
  fi
  echo "${name:-$fallback}"
}

items=()
depths=()
main_executables=()
deepest=0
add() {
  local slashes=${1//[^\/]/}
  items+=("$1")
  depths+=("${#slashes}")
  if ((${#slashes} > deepest)); then deepest=${#slashes}; fi
}
# add_bundle FOLDER INFO_PLIST EXECUTABLE_FOLDER NAME
add_bundle() {
  add "$1"
  main_executables+=("$3/$(executable_name "$2" "$4")")
}
is_main_executable() {
  local main
  for main in ${main_executables[@]+"${main_executables[@]}"}; do
    [[ $1 != "$main" ]] || return 0
  done
  return 1
}

# Bundles first, to know their main executables; a framework is signed by its
# version folders, and a folder named like a bundle without an Info.plist is
# no bundle.
while IFS= read -r -d '' folder; do
  name=$(basename "${folder%.*}")
  case $folder in
    *.framework)
      for version in "$folder"/Versions/*; do
        if [[ -d $version && ! -L $version ]]; then
          add_bundle "$version" "$version/Resources/Info.plist" "$version" "$name"
        fi
      done
      ;;
    *)
      if [[ -f $folder/Contents/Info.plist ]]; then
        add_bundle "$folder" "$folder/Contents/Info.plist" "$folder/Contents/MacOS" "$name"
      fi
      ;;
  esac
done < <(find "$bundle/Contents/Resources" -type d \( -name '*.app' -o -name '*.framework' \
  -o -name '*.bundle' -o -name '*.plugin' -o -name '*.xpc' -o -name '*.appex' \) -print0 \
  2>/dev/null | sort -z)
while IFS= read -r -d '' file; do
  if is_mach_o "$file" && ! is_main_executable "$file"; then add "$file"; fi
done < <(find "$bundle/Contents/Resources" -type f -print0 2>/dev/null | sort -z)
# The app's own executable is signed with the bundle.
main_executables+=("$bundle/Contents/MacOS/$(executable_name "$bundle/Contents/Info.plist" \
  "$(basename "${bundle%.app}")")")
while IFS= read -r -d '' file; do
  if is_mach_o "$file" && ! is_main_executable "$file"; then add "$file"; fi
done < <(find "$bundle/Contents/MacOS" -type f -print0 2>/dev/null | sort -z)

# Deepest path first: whatever a bundle holds lies deeper than the bundle.
ordered=()
for ((depth = deepest; depth > 0; depth--)); do
  for ((i = 0; i < ${#items[@]}; i++)); do
    if ((depths[i] == depth)); then ordered+=("${items[i]}"); fi
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
