#!/usr/bin/env bash
# Fails when a Windows program imports an FFmpeg or SDL library: those are bound at run time.
set -euo pipefail
objdump="$1"
program="$2"
dlls=$("$objdump" -p "$program" | sed -n 's/^[[:space:]]*DLL Name: //p')
if [ -z "$dlls" ]; then
  echo "check_imports: no import table read from $program" >&2
  exit 1
fi
if linked=$(grep -iE '^(av|sw|postproc|sdl)' <<<"$dlls"); then
  echo "check_imports: $program links $linked" >&2
  exit 1
fi
echo "check_imports: $(basename "$program") imports only" $dlls
