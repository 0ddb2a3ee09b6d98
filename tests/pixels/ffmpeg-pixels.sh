#!/usr/bin/env bash
# ffmpeg for Windows, a host nobody here wrote, captures raw frames from "Zarvo Webcam" while the
# reference server runs at 1920x1080: at that size in YUY2, and at 1280x720, 640x480 and 320x240 in
# YUY2, NV12 and I420 (ffmpeg names I420 and IYUV alike and takes the first listed, I420; the host
# test covers IYUV). Every frame after the camera's connection is ready must be exactly the server's
# pattern for some frame number, scaled as the camera scales. Runs natively under ctest inside the
# wine session of scripts/test; every wine program runs under `timeout` with its output in files, so
# nothing can keep ctest's output pipe open.
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

# One server for all captures, started with nothing inherited from ctest.
app=1920x1080
printf '[Stream]\r\noutputResolution=%s\r\n' "${app/x/,}" >"$ini"
timeout -k 5 280 wine "$server_exe" </dev/null >"$work/server.out" 2>&1 &
server_pid=$!
run 40 "$work/live.out" "$ZARVO_BIN/pixels_check.exe" --wait-live 30000 ||
  fail "the server did not go live: $(cat "$work/server.out" "$work/live.out")"

frames=150
# size, ffmpeg's pixel format, the checker's layout, the fourcc ffmpeg must report
for capture in "$app yuyv422 yuy2 YUY2" \
  "1280x720 yuyv422 yuy2 YUY2" "1280x720 nv12 nv12 NV12" "1280x720 yuv420p i420 I420" \
  "640x480 yuyv422 yuy2 YUY2" "640x480 nv12 nv12 NV12" "640x480 yuv420p i420 I420" \
  "320x240 yuyv422 yuy2 YUY2" "320x240 nv12 nv12 NV12" "320x240 yuv420p i420 I420"; do
  read -r size format layout fourcc <<<"$capture"
  name=$size-$format
  raw=$work/capture-$name.raw
  run 120 "$work/ffmpeg-$name.out" "$ZARVO_FFMPEG" -hide_banner -nostdin -rtbufsize 400M -f dshow \
    -video_size "$size" -pixel_format "$format" -i 'video=Zarvo Webcam' -frames:v "$frames" \
    -f rawvideo -pix_fmt "$format" -y "$(winpath "$raw")" ||
    fail "ffmpeg failed at $name: $(tail -n 20 "$work/ffmpeg-$name.out")"
  # What the pin and ffmpeg agreed on, as ffmpeg reports its input.
  grep -q "Video: rawvideo ($fourcc / 0x[0-9a-fA-F]*), $format, $size," "$work/ffmpeg-$name.out" ||
    fail "ffmpeg did not capture $fourcc at $size: $(grep 'Stream #' "$work/ffmpeg-$name.out")"
  # The app runs already: each host's chain comes up within half a second (10 to 16 placeholders
  # seen); 10 pattern frames of 150 leave a loaded machine four and a half seconds more (one run
  # beside two busy Wine loops and a build needed over 2.5 s).
  run 120 "$work/check-$name.out" "$ZARVO_BIN/pixels_check.exe" "$(winpath "$raw")" "$layout" "$app" "$size" 10 ||
    fail "pixels at $name: $(cat "$work/check-$name.out")"
  echo "$size $fourcc: $(tr -d '\r' <"$work/check-$name.out")"
  rm -f "$raw"
done
