#!/usr/bin/env bash
# The server beside the camera and not running: the camera starts it, and its frames flow.
source "$(dirname "$0")/e2e-lib.sh"

camera=$(e2e_camera_folder with-server server)
e2e_register "$camera/ZarvoWebcam.dll"
e2e_quit_servers >/dev/null 2>&1 || true
e2e_mark_logs

# Long enough for a new Wine process to come up and the chain to finish. The frame records go
# through a pipe: the launched server must not hold the host's output open after the host
# ended. (Under Wine every process inherits the Unix standard error, so that goes to a file.)
frames=300
mkfifo "$e2e_work/capture.fifo"
cat "$e2e_work/capture.fifo" >"$e2e_work/capture.md5" &
reader=$!
host_status=0
timeout -k 5 60 wine "$ZARVO_FFMPEG" -hide_banner -nostdin -rtbufsize 200M -f dshow -i 'video=Zarvo Webcam' \
  -frames:v "$frames" -c:v copy -f framemd5 pipe:1 >"$e2e_work/capture.fifo" 2>"$e2e_work/capture.out" ||
  host_status=$?
# A host that dies, also as its process ends, fails: on Windows that is a crash report blamed on us.
[ "$host_status" -eq 0 ] || e2e_fail "capture failed (exit $host_status): $(cat "$e2e_work/capture.out")"
timeout 10 tail -s 0.1 --pid="$reader" -f /dev/null ||
  e2e_fail "the host's output stayed open after it ended: the launched server inherited it"
got=$(e2e_frame_count "$e2e_work/capture.md5")
[ "$got" -eq "$frames" ] || e2e_fail "$got frames of $frames arrived"

filter_log=$(e2e_new_logs zvfilter | tail -n 1)
server_log=$(e2e_new_logs zvserver)
[ -n "$filter_log" ] || e2e_fail "the camera wrote no log"
[ -n "$server_log" ] && [ "$(wc -l <<<"$server_log")" -eq 1 ] || e2e_fail "expected one server log, got [$server_log]"
e2e_expect_in_order "$filter_log" '[Prepare/ConnectToServer] WebcamClient: No Server Found - attempting launch' \
  '[Prepare/ConnectToServer] webcamClient: Server Connected' '[Prepare/StartCamera] webcamClient: Camera Started'
! grep -qF 'CreateProcess failed' "$filter_log" || e2e_fail "the launch failed: $(grep -F 'CreateProcess' "$filter_log")"
# The camera's last connection (a busy machine may have made it connect more than once) stops the
# server's camera when the host stops.
deadline=$((SECONDS + 20))
until tr -d '\r' <"$server_log" | grep 'StopCamera: is_camera_live, 0' >/dev/null &&
  [ "$(tr -d '\r' <"$server_log" | grep -c ': connected$')" -eq "$(grep -c ': disconnected' "$server_log")" ]; do
  [ "$SECONDS" -lt "$deadline" ] || e2e_fail "the camera did not stop the server's camera: $(cat "$server_log")"
  sleep 0.1
done
e2e_expect_in_order "$server_log" '[Client] client ' '[Camera] started'
requests=$(tr -d '\r' <"$server_log" | sed -n 's/^\[Client\] client [0-9]*: disconnected: per-frame requests, \([0-9]*\)$/\1/p' |
  awk '{ n += $1 } END { print n + 0 }')
[ "${requests:-0}" -gt 0 ] || e2e_fail "no frame came from the launched server"

# The launched server keeps running for the next host until asked to end.
e2e_quit_servers "$camera/$e2e_server_exe" || e2e_fail "no launched server to quit: $(cat "$e2e_work/quit.out")"
deadline=$((SECONDS + 20))
until grep -q 'end: exit code, 0' "$server_log"; do
  [ "$SECONDS" -lt "$deadline" ] || e2e_fail "the launched server did not end: $(tail -n 3 "$server_log")"
  sleep 0.1
done
e2e_note "launched the server; $got frames, $requests from the server"
