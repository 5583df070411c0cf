#!/bin/bash
# Corvane demo: records each start in the install root's log, so a start can
# be checked without a window.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
mkdir -p "${root}/logs"
printf '%s Corvane %s started\n' "$(date -u +%Y-%m-%dT%H:%M:%SZ)" "$(cat "${root}/VERSION")" \
  >> "${root}/logs/start.log"
