#!/usr/bin/env bash
# No server and none to launch: the camera still streams placeholder samples at the advertised
# pace, and the host's stop is not held up by the search for the server.
source "$(dirname "$0")/e2e-lib.sh"

camera=$(e2e_camera_folder alone)
e2e_register "$camera/ZarvoWebcam.dll"
e2e_quit_servers >/dev/null 2>&1 || true
e2e_mark_logs

# Each frame's record is stamped as it arrives (flushed per packet); the process's end is
# stamped too, so the time its stop took can be told from the last frame.
frames=60
started=$(date +%s%N)
{
  timeout -k 5 60 wine "$ZARVO_FFMPEG" -hide_banner -nostdin -loglevel error -rtbufsize 200M -f dshow \
    -i 'video=Zarvo Webcam' -frames:v "$frames" -c:v copy -flush_packets 1 -f framemd5 pipe:1 \
    2>"$e2e_work/capture.err" &&
    echo "exit 0" || echo "exit $?"
} | while IFS= read -r line; do
  printf '%s %s\n' "$((($(date +%s%N) - started) / 1000000))" "${line%$'\r'}"
done >"$e2e_work/capture.stamped"

grep -q ' exit 0$' "$e2e_work/capture.stamped" ||
  e2e_fail "ffmpeg failed: $(tail -n 1 "$e2e_work/capture.stamped"); $(cat "$e2e_work/capture.err")"
got=$(grep -c ' 0,' "$e2e_work/capture.stamped" || true)
[ "$got" -eq "$frames" ] || e2e_fail "$got frames of $frames arrived"

# Host times in 100 ns units; the clock reads whole milliseconds. At 29.97 frames per second the
# camera sends no two samples closer than 7/8 of an interval; a sample the loaded machine held up on
# its way to the host arrives close to the next one on time, which the camera cannot prevent. Two
# samples per slot would make every other gap short: a few short gaps (under 15 ms) are allowed.
read -r close longest < <(awk -F, '/ 0,/ { t = $3 + 0; if (n++) { d = t - last; if (d < 150000) near++; if (d > max) max = d } last = t }
  END { print near + 0, max }' "$e2e_work/capture.stamped")
[ "$close" -le 2 ] || e2e_fail "$close of $((got - 1)) placeholder frames less than 15 ms after the one before"
[ "$longest" -le 2000000 ] || e2e_fail "a gap of $((longest / 10000)) ms between placeholder frames"

last_frame=$(grep ' 0,' "$e2e_work/capture.stamped" | tail -n 1 | cut -d' ' -f1)
ended=$(grep ' exit ' "$e2e_work/capture.stamped" | cut -d' ' -f1)
stop_ms=$((ended - last_frame))
[ "$stop_ms" -le 2000 ] || e2e_fail "ffmpeg ended $stop_ms ms after its last frame, expected about 1 s at most"

# The camera looked for the server, found no executable to start, and none runs now.
filter_log=$(e2e_new_logs zvfilter | tail -n 1)
[ -n "$filter_log" ] || e2e_fail "the camera wrote no log"
e2e_expect_in_order "$filter_log" '[PrepareInternal] ENTER' '[PrepareInternal] EXIT' \
  '[Prepare/ConnectToServer] WebcamClient: No Server Found - attempting launch' \
  '[Prepare/ConnectToServer] CreateProcess failed 2'
! grep -qF 'webcamClient: Server Connected' "$filter_log" || e2e_fail "the camera connected to a server"
[ -z "$(e2e_new_logs zvserver)" ] || e2e_fail "a server ran"
e2e_note "$got placeholder frames, $close gaps under 15 ms, the longest $((longest / 10000)) ms; stop took $stop_ms ms after the last frame"
