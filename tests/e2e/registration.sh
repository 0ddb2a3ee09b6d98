#!/usr/bin/env bash
# Registration as a real host sees it: the device list, the formats per output setting,
# and the unregistration that removes both the device and the class key.
source "$(dirname "$0")/e2e-lib.sh"

camera=$(e2e_camera_folder camera)
e2e_register "$camera/ZarvoWebcam.dll"

e2e_ffmpeg_list "$e2e_work/devices.out" -list_devices true -f dshow -i dummy
grep -qF '"Zarvo Webcam"' "$e2e_work/devices.out" || e2e_fail "device not listed: $(cat "$e2e_work/devices.out")"
grep -qF "$e2e_clsid" "$e2e_work/devices.out" || e2e_fail "device listed without our class id"

# Each accepted text gives the app's size; anything else gives 1080p. The app's size comes first, then
# the usual sizes no larger than it, each in YUY2, NV12, I420 and IYUV (ffmpeg names both yuv420p),
# at any rate from 10 to 60 per second.
e2e_save_settings
smaller='1280x720 960x540 848x480 640x480 640x360 424x240 320x240'
for setting in "1280,720 $smaller" "1920,1080 1920x1080 $smaller" "1280x720 1920x1080 $smaller"; do
  read -r text sizes <<<"$setting"
  e2e_write_resolution "$text"
  out=$e2e_work/options-${text/,/_}.out
  e2e_ffmpeg_list "$out" -list_options true -f dshow -i 'video=Zarvo Webcam'
  formats=$(tr -d '\r' <"$out" | grep -E 'pixel_format=|vcodec=' | sed 's/^\[[^]]*\] *//' || true)
  expected=$(for size in $sizes; do
    for format in yuyv422 nv12 yuv420p yuv420p; do echo "pixel_format=$format  min s=$size fps=10 max s=$size fps=60.0002"; done
  done)
  [ "$formats" = "$expected" ] || e2e_fail "setting '$text': formats are [$formats], expected [$expected]"
done
e2e_restore_settings

e2e_unregister "$camera/ZarvoWebcam.dll"
e2e_ffmpeg_list "$e2e_work/devices-after.out" -list_devices true -f dshow -i dummy
grep -q 'DirectShow video devices' "$e2e_work/devices-after.out" ||
  e2e_fail "ffmpeg did not list devices: $(cat "$e2e_work/devices-after.out")"
! grep -qF 'Zarvo Webcam' "$e2e_work/devices-after.out" || e2e_fail "device still listed after regsvr32 /u"
if e2e_wine 60 "$e2e_work/reg.out" reg query "HKCR\\CLSID\\$e2e_clsid"; then
  e2e_fail "class key still present after regsvr32 /u: $(cat "$e2e_work/reg.out")"
fi
# The query itself works: the same query finds the key once registered again.
e2e_register "$camera/ZarvoWebcam.dll"
e2e_wine 60 "$e2e_work/reg.out" reg query "HKCR\\CLSID\\$e2e_clsid" || e2e_fail "class key missing after registration"
e2e_note "listed, one format per setting, removed by regsvr32 /u"
