#!/usr/bin/env bash
# A host that stamps samples as they arrive (ffmpeg does) and trusts the format: a minute of capture
# at the advertised 29.97 frames per second holds 60 x 29.97 frames within 1 %, and ffmpeg never sees
# two samples in one frame slot ("non monotonically increasing dts"), whether the app publishes at
# about the same rate (30 per second) or at another (25).
source "$(dirname "$0")/e2e-lib.sh"

camera=$(e2e_camera_folder camera)
e2e_register "$camera/ZarvoWebcam.dll"
e2e_quit_servers >/dev/null 2>&1 || true
# The smaller size, so that a loaded machine can still feed ffmpeg.
e2e_save_settings
e2e_write_resolution 1280,720

summary=""
for rate in 30 25; do
  e2e_start_server --fps "$rate"
  code=0
  e2e_ffmpeg 150 "$e2e_work/capture-$rate.out" -rtbufsize 200M -f dshow -i 'video=Zarvo Webcam' -t 60 -c:v copy \
    -f framemd5 "$(e2e_winpath "$e2e_work/capture-$rate.md5")" || code=$?
  [ "$code" -eq 0 ] || e2e_fail "app at $rate/s: capture failed with exit code $code: $(tail -c 2000 "$e2e_work/capture-$rate.out")"
  got=$(e2e_frame_count "$e2e_work/capture-$rate.md5")
  # 1798.2 in 60 s; 1 % either way.
  [ "$got" -ge 1780 ] && [ "$got" -le 1816 ] || e2e_fail "app at $rate/s: $got frames in 60 s, expected 1798 within 1 %"
  ! grep -q 'non monotonically increasing dts' "$e2e_work/capture-$rate.out" ||
    e2e_fail "app at $rate/s: $(grep -c 'non monotonically increasing dts' "$e2e_work/capture-$rate.out") dts warnings"
  e2e_quit_servers "$e2e_server_folder/$e2e_server_exe" || e2e_fail "the server did not quit: $(cat "$e2e_work/quit.out")"
  summary+="app at $rate/s: $got frames in 60 s; "
done
e2e_note "${summary%; }"
