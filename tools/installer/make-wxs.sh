#!/usr/bin/env bash
# Registers the 64-bit camera in a Wine prefix of the build's own, turns what its DllRegisterServer
# wrote into the installer source (wxs.py), and unregisters it again.
#   make-wxs.sh <prefix> <camera dll> <template> <output wxs>
set -euo pipefail

prefix=$1 camera=$2 template=$3 output=$4
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
clsid='{7C3E9A41-5B2D-4E8F-A6C1-2D94B7E05F13}'

export WINEPREFIX=$prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY # registration needs no display, and the build may run without one
log=$prefix.log
: >"$log"
run() { timeout -k 5 120 "$@" >>"$log" 2>&1 || { echo "make-wxs: $* failed:" >&2; cat "$log" >&2; exit 1; }; }

mkdir -p "$prefix"
[ -f "$prefix/system.reg" ] || run wineboot -i
module="Z:${camera//\//\\}"
# A registration left by an interrupted run must not leak into this one (with none left, the
# unregistration has nothing to remove: not an error here).
timeout -k 5 120 wine regsvr32 /s /u "$module" >>"$log" 2>&1 || true
run wine regsvr32 /s "$module"
# The hives reach the disk when the prefix's wineserver ends.
run wineserver -w
python3 "$here/wxs.py" "$template" "$output.tmp" --hives "$prefix/system.reg" "$prefix/user.reg" \
  --clsid "$clsid" --module "$module"
run wine regsvr32 /s /u "$module"
run wineserver -w
mv "$output.tmp" "$output"
