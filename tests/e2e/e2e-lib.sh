# Sourced by the end-to-end scripts. They run natively under ctest inside the wine session
# of scripts/test (WINEPREFIX and DISPLAY set) and drive the registered camera with ffmpeg
# for Windows, the host nobody here wrote.
#
# Every wine command runs under `timeout` with its output in files: a server launched by the
# camera inherits the host's descriptors, and ctest waits until its output pipe is closed.

set -eEuo pipefail

: "${WINEPREFIX:?run inside the wine session of scripts/test}"
: "${DISPLAY:?run inside the wine session of scripts/test}"
: "${ZARVO_BIN:?folder of the built camera and server}"
: "${ZARVO_FFMPEG:?ffmpeg.exe for Windows}"

readonly e2e_clsid='{7C3E9A41-5B2D-4E8F-A6C1-2D94B7E05F13}'
readonly e2e_server_exe='Zarvo Webcam.exe'
e2e_name=$(basename "$0" .sh)
e2e_work=${ZARVO_E2E_WORK:-/tmp}/$e2e_name
rm -rf "$e2e_work"
mkdir -p "$e2e_work"

# The camera and the server keep their settings and logs in the prefix's roaming folder
# (Wine sets APPDATA itself, so it cannot be pointed elsewhere from here).
e2e_appdata="$WINEPREFIX/drive_c/users/$(id -un)/AppData/Roaming/Zarvo/Zarvo Webcam"
e2e_logs="$e2e_appdata/Logs"
e2e_ini="$e2e_appdata/ZarvoWebcam.ini"

e2e_fail() {
  echo "FAIL: $*" >&2
  exit 1
}
# A command that fails outside a condition ends the script under `set -e`: say which one.
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND (exit $?)" >&2' ERR

e2e_note() { echo "$e2e_name: $*"; }

# Windows form of a Unix path (Wine maps / to Z:).
e2e_winpath() { printf 'Z:%s' "${1//\//\\}"; }

# e2e_wine <seconds> <output file> <program> [args...]: stdout and stderr go to the file.
e2e_wine() {
  local seconds=$1 output=$2
  shift 2
  timeout -k 5 "$seconds" wine "$@" >"$output" 2>&1
}

e2e_register() {
  e2e_wine 60 "$e2e_work/regsvr32.out" regsvr32 /s "$(e2e_winpath "$1")" ||
    e2e_fail "regsvr32 $1 failed: $(cat "$e2e_work/regsvr32.out")"
}

e2e_unregister() {
  e2e_wine 60 "$e2e_work/regsvr32.out" regsvr32 /s /u "$(e2e_winpath "$1")" ||
    e2e_fail "regsvr32 /u $1 failed: $(cat "$e2e_work/regsvr32.out")"
}

# A folder of the test's own holding a copy of the camera and, with "server", of the server.
e2e_camera_folder() {
  local folder=$e2e_work/$1
  mkdir -p "$folder"
  cp "$ZARVO_BIN/ZarvoWebcam.dll" "$folder/"
  [ "${2:-}" != server ] || cp "$ZARVO_BIN/$e2e_server_exe" "$folder/"
  printf '%s' "$folder"
}

# e2e_ffmpeg <seconds> <output file> [ffmpeg args...]
e2e_ffmpeg() {
  local seconds=$1 output=$2
  shift 2
  e2e_wine "$seconds" "$output" "$ZARVO_FFMPEG" -hide_banner -nostdin "$@"
}

# e2e_ffmpeg_list <output file> [ffmpeg args...]: a listing (-list_devices, -list_options), which ffmpeg
# ends with exit code 1 by design; any other ending (a crash, a time-out) fails.
e2e_ffmpeg_list() {
  local output=$1 code=0
  shift
  e2e_ffmpeg 60 "$output" "$@" || code=$?
  [ "$code" -le 1 ] || e2e_fail "ffmpeg $* ended with exit code $code: $(tail -c 2000 "$output")"
}

# Frame records of one capture: `e2e_capture <seconds> <name> <frames>` writes
# <name>.md5 (ffmpeg's per-frame checksums, times in 100 ns units) and <name>.out.
e2e_capture() {
  local seconds=$1 name=$2 frames=$3
  e2e_ffmpeg "$seconds" "$e2e_work/$name.out" -rtbufsize 200M -f dshow -i 'video=Zarvo Webcam' \
    -frames:v "$frames" -c:v copy -f framemd5 "$(e2e_winpath "$e2e_work/$name.md5")"
}

# Number of frame records in a framemd5 file.
e2e_frame_count() { grep -c '^0,' "$1" || true; }

# Settings: saved once, restored when the script ends, whatever happens.
e2e_ini_saved=""
e2e_save_settings() {
  mkdir -p "$e2e_appdata"
  if [ -f "$e2e_ini" ]; then
    cp "$e2e_ini" "$e2e_work/saved.ini"
    e2e_ini_saved=file
  else
    e2e_ini_saved=none
  fi
}
e2e_restore_settings() {
  case $e2e_ini_saved in
  file) cp "$e2e_work/saved.ini" "$e2e_ini" ;;
  none) rm -f "$e2e_ini" ;;
  esac
}
e2e_write_resolution() {
  printf '[Stream]\r\noutputResolution=%s\r\n' "$1" >"$e2e_ini"
}

# Logs written after this point: e2e_mark_logs, then e2e_new_logs <prefix>. A log's name has
# the second its process started, and processes of the same second share it: a log that grew
# counts too.
e2e_mark_logs() {
  mkdir -p "$e2e_logs"
  local log
  for log in "$e2e_logs"/*; do
    [ ! -f "$log" ] || echo "$(stat -c %s "$log") ${log##*/}"
  done >"$e2e_work/logs.before"
}
e2e_new_logs() {
  local log
  for log in "$e2e_logs/$1"_*; do
    [ ! -f "$log" ] || grep -qxF "$(stat -c %s "$log") ${log##*/}" "$e2e_work/logs.before" || echo "$log"
  done
}

# The reference server, started by the test from a copy of its own: e2e_start_server [app args...]
e2e_server_pid=""
e2e_server_folder=""
e2e_start_server() {
  e2e_server_folder=$e2e_work/server
  mkdir -p "$e2e_server_folder"
  cp "$ZARVO_BIN/$e2e_server_exe" "$e2e_server_folder/"
  timeout -k 5 300 wine "$e2e_server_folder/$e2e_server_exe" "$@" >"$e2e_work/server.out" 2>&1 &
  e2e_server_pid=$!
  # It prints its serving line once the pipe accepts; nothing else can be waited on from here.
  local deadline=$((SECONDS + 30))
  until grep -q 'serving' "$e2e_work/server.out"; do
    kill -0 "$e2e_server_pid" 2>/dev/null || e2e_fail "the server ended: $(cat "$e2e_work/server.out")"
    [ "$SECONDS" -lt "$deadline" ] || e2e_fail "the server did not start serving within 30 s"
    sleep 0.1
  done
}

# Asks every running server to end (ours, or one the camera launched) and waits for ours.
e2e_quit_servers() {
  local quitter=${1:-$ZARVO_BIN/$e2e_server_exe}
  local code=0
  e2e_wine 30 "$e2e_work/quit.out" "$quitter" --quit || code=$?
  echo "exit code $code" >>"$e2e_work/quit.out"
  if [ -n "$e2e_server_pid" ]; then
    # Bounded: a server that missed the request would otherwise hold the test until its
    # own five-minute limit.
    if ! timeout 20 tail --pid="$e2e_server_pid" -f /dev/null; then
      echo "the server did not end within 20 s" >>"$e2e_work/quit.out"
      [ "$code" -ne 0 ] || code=1
    fi
    e2e_server_pid=""
  fi
  return "$code"
}

# Lines of `file` must start with `expected...`, in this order (others may come between).
e2e_expect_in_order() {
  local file=$1
  shift
  local line=0 found
  for expected in "$@"; do
    found=$(tail -n +"$((line + 1))" "$file" | tr -d '\r' |
      awk -v want="$expected" '!found && index($0, want) == 1 { found = NR } END { if (found) print found }')
    [ -n "$found" ] || e2e_fail "'$expected' missing after line $line of $(basename "$file")"
    line=$((line + found))
  done
}

# Ends what the script started and puts the build's camera back, so tests need no order.
e2e_cleanup() {
  local status=$?
  set +e
  # Any server still running, ours or one the camera launched.
  timeout -k 5 30 wine "$ZARVO_BIN/$e2e_server_exe" --quit >/dev/null 2>&1 || true
  if [ -n "$e2e_server_pid" ]; then
    timeout 10 tail --pid="$e2e_server_pid" -f /dev/null
    kill "$e2e_server_pid" 2>/dev/null
  fi
  e2e_restore_settings
  timeout -k 5 60 wine regsvr32 /s "$(e2e_winpath "$ZARVO_BIN/ZarvoWebcam.dll")" >/dev/null 2>&1
  exit "$status"
}
trap e2e_cleanup EXIT
