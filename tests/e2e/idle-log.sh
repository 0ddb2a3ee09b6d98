#!/usr/bin/env bash
# A host that only looks at the camera (lists its formats, never runs it) leaves a clean log.
# Known gap, reported to the camera's owners: the stream's release waits on a connection chain
# that was never built and logs the task library's exception. That exact line makes this test
# skip (exit 77) rather than pass; any other error fails it.
source "$(dirname "$0")/e2e-lib.sh"

camera=$(e2e_camera_folder camera)
e2e_register "$camera/ZarvoWebcam.dll"
e2e_mark_logs
e2e_ffmpeg 60 "$e2e_work/options.out" -list_options true -f dshow -i 'video=Zarvo Webcam' || true
grep -q 'pixel_format=yuyv422' "$e2e_work/options.out" || e2e_fail "no format listed: $(cat "$e2e_work/options.out")"

filter_log=$(e2e_new_logs zvfilter | tail -n 1)
[ -n "$filter_log" ] || e2e_fail "the camera wrote no log"
grep -q '^\[~CVCamStream\]' "$filter_log" || e2e_fail "the stream was not destroyed: $(cat "$filter_log")"
problems=$(tr -d '\r' <"$filter_log" | grep -i 'exception\|error' || true)
known='^\[ReleaseInternal\] exception: Filters\.cpp:[0-9]*:This function cannot be called on a default constructed task$'
others=$(grep -v "$known" <<<"$problems" || true)
[ -z "$others" ] || e2e_fail "errors in the log of a camera that never ran: $others"
if [ -n "$problems" ]; then
  echo "KNOWN GAP: $problems"
  exit 77
fi
e2e_note "a camera that never ran leaves a clean log"
