#!/bin/bash
# Corvane demo: records each start, and the architecture it runs as, in the
# install root's log, so a start can be checked without a window.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
mkdir -p "${root}/logs"
printf '%s Corvane %s started on %s\n' "$(date -u +%Y-%m-%dT%H:%M:%SZ)" "$(cat "${root}/VERSION")" \
  "$(uname -m)" >> "${root}/logs/start.log"
