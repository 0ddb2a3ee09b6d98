#!/usr/bin/env bash
# ffmpeg for Windows, a host nobody here wrote, captures raw YUY2 from "Zarvo Webcam" while the
# reference server runs; every frame after the camera's connection is ready must be exactly the
# server's pattern for some frame number, at both output resolutions. Runs natively under ctest
# inside the wine session of scripts/test; every wine program runs under `timeout` with its
# output in files, so nothing can keep ctest's output pipe open.
set -euo pipefail

: "${WINEPREFIX:?run inside the wine session of scripts/test}"
: "${ZARVO_BIN:?folder of the built camera, server and checker}"
: "${ZARVO_FFMPEG:?ffmpeg.exe for Windows}"
: "${ZARVO_PIXELS_WORK:?work folder}"

work=$ZARVO_PIXELS_WORK
rm -rf "$work"
mkdir -p "$work/server"
# Wine sets APPDATA itself: the camera and the server read the prefix's roaming folder.
settings="$WINEPREFIX/drive_c/users/$(id -un)/AppData/Roaming/Zarvo/Zarvo Webcam"
ini="$settings/ZarvoWebcam.ini"
server_exe="$work/server/Zarvo Webcam.exe"
cp "$ZARVO_BIN/Zarvo Webcam.exe" "$server_exe"
server_pid=""

winpath() { printf 'Z:%s' "${1//\//\\}"; }
fail() {
  echo "FAIL: $*" >&2
  exit 1
}
run() { # run <seconds> <output file> <program> [args...]
  local seconds=$1 output=$2
  shift 2
  timeout -k 5 "$seconds" wine "$@" >"$output" 2>&1
}

mkdir -p "$settings"
saved=none
if [ -f "$ini" ]; then
  cp "$ini" "$work/saved.ini"
  saved=file
fi
stop_server() {
  [ -n "$server_pid" ] || return 0
  run 30 "$work/quit.out" "$server_exe" --quit || true
  wait "$server_pid" 2>/dev/null || true
  server_pid=""
}
cleanup() {
  local status=$?
  stop_server
  case $saved in
  file) cp "$work/saved.ini" "$ini" ;;
  none) rm -f "$ini" ;;
  esac
  exit "$status"
}
trap cleanup EXIT

run 60 "$work/regsvr32.out" regsvr32 /s "$(winpath "$ZARVO_BIN/ZarvoWebcam.dll")" ||
  fail "regsvr32 failed: $(cat "$work/regsvr32.out")"
# A server left by someone else would serve another size.
run 30 "$work/quit-before.out" "$server_exe" --quit || true

frames=120
for size in 1280,720 1920,1080; do
  width=${size%,*}
  height=${size#*,}
  printf '[Stream]\r\noutputResolution=%s\r\n' "$size" >"$ini"
  # A server of our own per size, started with nothing inherited from ctest.
  timeout -k 5 120 wine "$server_exe" </dev/null >"$work/server-$width.out" 2>&1 &
  server_pid=$!
  run 40 "$work/live-$width.out" "$ZARVO_BIN/pixels_check.exe" --wait-live 30000 ||
    fail "the server did not go live: $(cat "$work/server-$width.out" "$work/live-$width.out")"

  # A loaded machine may bring the chain up late in a capture: one that is right but holds too
  # few pattern frames is taken again (up to three); a wrong frame fails at once.
  raw=$work/capture-$width.yuv
  for attempt in 1 2 3; do
    run 120 "$work/ffmpeg-$width.out" "$ZARVO_FFMPEG" -hide_banner -nostdin -rtbufsize 400M -f dshow \
      -i 'video=Zarvo Webcam' -frames:v "$frames" -f rawvideo -pix_fmt yuyv422 "$(winpath "$raw")" ||
      fail "ffmpeg failed at $size: $(tail -n 20 "$work/ffmpeg-$width.out")"
    # At least 30 frames must come from the server's pattern.
    ! run 120 "$work/check-$width.out" "$ZARVO_BIN/pixels_check.exe" "$(winpath "$raw")" yuy2 \
      "$width" "$height" 30 || break
    grep -q ' 0 wrong' "$work/check-$width.out" && [ "$attempt" -lt 3 ] ||
      fail "pixels at $size: $(cat "$work/check-$width.out")"
  done
  echo "$size: $(tr -d '\r' <"$work/check-$width.out")"
  rm -f "$raw"
  stop_server
done
