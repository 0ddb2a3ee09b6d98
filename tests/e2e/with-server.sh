#!/usr/bin/env bash
# With the reference server running: one host captures and every step of the camera's
# connection shows in both logs, then three hosts capture from the one server at once.
source "$(dirname "$0")/e2e-lib.sh"

# The camera alone in its folder: the frames can only come from the server started here.
camera=$(e2e_camera_folder camera)
e2e_register "$camera/ZarvoWebcam.dll"
e2e_quit_servers >/dev/null 2>&1 || true
e2e_mark_logs
e2e_start_server

# Enough frames that at least 60 of them come after the chain is ready.
frames=200
e2e_capture 60 single "$frames" || e2e_fail "capture failed: $(cat "$e2e_work/single.out")"
got=$(e2e_frame_count "$e2e_work/single.md5")
[ "$got" -eq "$frames" ] || e2e_fail "$got frames of $frames arrived"

filter_log=$(e2e_new_logs zvfilter | tail -n 1)
[ -n "$filter_log" ] || e2e_fail "the camera wrote no log"
server_log=$(e2e_new_logs zvserver)
[ "$(wc -l <<<"$server_log")" -eq 1 ] && [ -n "$server_log" ] || e2e_fail "expected one server log, got [$server_log]"

# The host's stop tells the server (or a release task after it): the server's disconnect is the last step.
deadline=$((SECONDS + 20))
until grep -q 'client 1: disconnected' "$server_log"; do
  [ "$SECONDS" -lt "$deadline" ] || e2e_fail "the camera did not disconnect: $(cat "$server_log")"
  sleep 0.1
done

e2e_expect_in_order "$filter_log" '[PrepareInternal] ENTER' '[PrepareInternal] EXIT' \
  '[Prepare/ConnectToServer]  ' '[Prepare/ConnectToServer] webcamClient: Server Connected' \
  '[Prepare/StartCamera] webcamClient: Camera Started' '[Prepare/OpenSharedTexture]  ' \
  '[Prepare/WebcamFrameClient]  '
# The stop's time line, then the three steps of telling the server.
release=$(tr -d '\r' <"$filter_log" | grep -n -m 1 '^\[ReleaseInternal\] [0-9]\{8\}_[0-9]\{6\}$' | cut -d: -f1 || true)
[ -n "$release" ] || e2e_fail "no ReleaseInternal time line"
tail -n +"$release" "$filter_log" >"$e2e_work/after-release.log"
e2e_expect_in_order "$e2e_work/after-release.log" '[ReleaseInternal] WebcamClient: Found Server' \
  '[ReleaseInternal] WebcamClient: Camera Stopped' '[ReleaseInternal] WebcamClient: Server Disconnected'
! grep -q 'ERROR\|exception' "$filter_log" || e2e_fail "errors in the camera's log: $(grep 'ERROR\|exception' "$filter_log")"

e2e_expect_in_order "$server_log" '[Client] client 1: connected' '[Client] client 1: StartCamera: is_camera_live, 1' \
  '[Client] client 1: OpenSharedTexture: ' \
  '[Client] client 1: StopCamera: is_camera_live, 0'
# One per-frame request for every sample filled once the chain was ready.
requests=$(tr -d '\r' <"$server_log" | sed -n 's/^\[Client\] client 1: disconnected: per-frame requests, \([0-9]*\)$/\1/p')
filled=$(grep -c '^\[FillBuffer\] mFrameClientTask.is_done' "$filter_log" || true)
[ -n "$requests" ] || e2e_fail "the server logged no request count: $(cat "$server_log")"
[ "$requests" -eq "$filled" ] || e2e_fail "server answered $requests per-frame requests, the camera filled $filled samples"
[ "$requests" -ge 60 ] || e2e_fail "only $requests samples came from the server"
e2e_note "one host: $got frames, $requests from the server"

# Three hosts at once, at the smaller size so two cores can feed them: each gets all its
# frames, the server sees three more clients start and stop. Five seconds each, so that on a
# loaded machine every chain is up before its capture ends.
e2e_save_settings
e2e_write_resolution 1280,720
pids=()
for host in 1 2 3; do
  e2e_capture 90 "host$host" 150 &
  pids+=($!)
done
for host in 1 2 3; do
  wait "${pids[host - 1]}" || e2e_fail "host $host failed: $(cat "$e2e_work/host$host.out")"
  got=$(e2e_frame_count "$e2e_work/host$host.md5")
  [ "$got" -eq 150 ] || e2e_fail "host $host: $got frames of 150"
  grep -q '^#dimensions 0: 1280x720' "$e2e_work/host$host.md5" || e2e_fail "host $host: not at 1280x720"
done
e2e_restore_settings
for client in 2 3 4; do
  deadline=$((SECONDS + 20))
  until grep -q "client $client: disconnected" "$server_log"; do
    [ "$SECONDS" -lt "$deadline" ] || e2e_fail "client $client did not disconnect: $(cat "$server_log")"
    sleep 0.1
  done
  e2e_expect_in_order "$server_log" "[Client] client $client: connected" \
    "[Client] client $client: StartCamera: is_camera_live, 1" "[Client] client $client: StopCamera: is_camera_live, 0"
  count=$(tr -d '\r' <"$server_log" | sed -n "s/^\[Client\] client $client: disconnected: per-frame requests, \([0-9]*\)\$/\1/p")
  [ "${count:-0}" -gt 0 ] || e2e_fail "client $client made no per-frame request"
done
! grep -q '^\[Client\] client 5:' "$server_log" || e2e_fail "more clients than hosts"
# The three share one run of the server's camera: started by the first, stopped by the last.
shared=$(tr -d '\r' <"$server_log" | sed -n '/^\[Client\] client 2: connected$/,$p')
[ "$(grep -c '^\[Camera\] started' <<<"$shared")" -eq 1 ] && [ "$(grep -c '^\[Camera\] stopped' <<<"$shared")" -eq 1 ] ||
  e2e_fail "the three hosts did not share one camera run: $shared"

e2e_quit_servers "$e2e_server_folder/$e2e_server_exe" || e2e_fail "the server did not quit: $(cat "$e2e_work/quit.out")"
grep -q 'end: exit code, 0' "$server_log" || e2e_fail "the server did not end cleanly: $(tail -n 3 "$server_log")"
e2e_note "three hosts at once: 150 frames each"
