#!/usr/bin/env bash
# The installer in a fresh Wine prefix of its own: silent install; files in both folders; both
# registry views hold exactly what the camera's own DllRegisterServer writes (registered here from
# the build, paths aside); ffmpeg lists the installed camera and captures the server's pattern from
# it while the camera launches the installed app; the " (x86)" rule on the installed layout; a
# second build installed over a release from before the quit request leaves one working camera;
# the uninstall removes every file, key, device entry and the uninstall entry. The upgrade and the
# uninstall run while the app the camera launched runs: each ends it, asks for no reboot and takes
# less than 15 s. Runs natively under ctest inside the wine session of scripts/test (for its X
# display).
set -eEuo pipefail
# (A reader that stops early, grep -q or head, makes its writer's SIGPIPE fail the pipeline:
# readers here read to the end.)
: "${ZARVO_E2E_WORK:?}" "${ZARVO_MSI:?}" "${ZARVO_WXS:?}" "${ZARVO_CAMERA32:?}" "${ZARVO_VERSION:?}"
: "${ZARVO_INSTALLER_SRC:?}"

# Beside the work folder, which e2e-lib empties.
export WINEPREFIX=$ZARVO_E2E_WORK/prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$WINEPREFIX"
source "$(dirname "$0")/../e2e/e2e-lib.sh"

readonly category='{860BB310-5D01-11D0-BD3B-00A0C911CE86}'
readonly keys=("HKLM\\Software\\Classes\\CLSID\\$e2e_clsid" "HKLM\\Software\\Classes\\CLSID\\$category\\Instance\\$e2e_clsid")
readonly uninstall_root='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
drive_c=$WINEPREFIX/drive_c
folder64="$drive_c/Program Files/Zarvo/Zarvo Webcam"
folder32="$drive_c/Program Files (x86)/Zarvo/Zarvo Webcam"
readonly win64='C:\Program Files\Zarvo\Zarvo Webcam\ZarvoWebcam.dll'
readonly win32='C:\Program Files (x86)\Zarvo\Zarvo Webcam\ZarvoWebcam.dll'
# The camera for Media Foundation apps: its class, 64-bit only.
readonly source_key='HKLM\Software\Classes\CLSID\{82A37760-272F-4763-901E-C3962A34A461}'
readonly source64='C:\Program Files\Zarvo\Zarvo Webcam\ZarvoMediaSource.dll'

msi_cleanup() {
  local status=$?
  set +e
  [ ! -f "$folder32/$e2e_server_exe" ] || timeout -k 5 30 wine "$folder32/$e2e_server_exe" --quit >/dev/null 2>&1
  # Everything still running in this test's own prefix, and its wineserver.
  wineserver -k >/dev/null 2>&1
  exit "$status"
}
trap msi_cleanup EXIT

# dump_keys <file> <view 32|64> <module path>: the camera's keys in one view as `reg query` shows
# them, the module's path replaced by a marker (taken from the environment: awk -v would read its
# backslashes as escapes).
dump_keys() {
  local file=$1 view=$2 module=$3
  : >"$file"
  for key in "${keys[@]}"; do
    e2e_wine 60 "$e2e_work/query.out" reg query "$key" /s "/reg:$view" || echo "missing $key" >>"$file"
    tr -d '\r' <"$e2e_work/query.out" | MODULE=$module awk '{ m = ENVIRON["MODULE"]; i = index($0, m); if (i) $0 = substr($0, 1, i - 1) "<module>" substr($0, i + length(m)); print }' >>"$file"
  done
}

# dump_source_key <file> <module path>: the media source's class in the 64-bit view, its path a marker.
dump_source_key() {
  e2e_wine 60 "$e2e_work/query.out" reg query "$source_key" /s /reg:64 || { echo "missing $source_key" >"$1"; return; }
  tr -d '\r' <"$e2e_work/query.out" | MODULE=$2 awk '{ m = ENVIRON["MODULE"]; i = index($0, m); if (i) $0 = substr($0, 1, i - 1) "<module>" substr($0, i + length(m)); print }' >"$1"
}

# No key of the camera in either view, and no uninstall entry of ours.
expect_no_keys() {
  for view in 64 32; do
    for key in "${keys[@]}"; do
      ! e2e_wine 60 "$e2e_work/query.out" reg query "$key" "/reg:$view" || e2e_fail "$1: $key left in the $view-bit view"
    done
  done
  ! e2e_wine 60 "$e2e_work/query.out" reg query "$source_key" /reg:64 || e2e_fail "$1: $source_key left"
}

# Processes of this test's prefix whose command line matches <pattern>, as "pid command" lines
# (other prefixes on the machine run their own).
prefix_processes() {
  local pid
  for pid in $(pgrep -f -- "$1" || true); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -xF "WINEPREFIX=$WINEPREFIX" >/dev/null &&
      echo "$pid $(tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null)"
  done
  return 0
}
app_processes() { prefix_processes 'Zarvo Webcam\.exe'; }

# The uninstall entries named "Zarvo Webcam", as "<product code> <version>" lines, in $entries. A
# query that fails or times out fails here with its output: it is no "no entries".
entries=""
uninstall_entries() {
  local code=0
  e2e_wine 60 "$e2e_work/uninstall.out" reg query "$uninstall_root" /s || code=$?
  [ "$code" -eq 0 ] || e2e_fail "reg query of the uninstall entries failed (exit $code$([ "$code" -ne 124 ] ||
    echo ': timed out after 60 s')): $(cat "$e2e_work/uninstall.out")"
  entries=$(tr -d '\r' <"$e2e_work/uninstall.out" | awk '
    function flush() { if (name == "Zarvo Webcam") print key, version; name = ""; version = "" }
    /^HKEY_/ { flush(); key = $0; sub(/.*\\/, "", key) }
    $1 == "DisplayName" { name = substr($0, index($0, "REG_SZ") + 10) }
    $1 == "DisplayVersion" { version = $3 }
    END { flush() }')
}

product_code() { msiinfo export "$1" Property | tr -d '\r' | awk '$1 == "ProductCode" { print $2 }'; }

# expect_installed <msi> <version>: files, both views' keys, the one uninstall entry, the app path rule.
expect_installed() {
  local msi=$1 version=$2
  cmp "$folder64/ZarvoWebcam.dll" "$ZARVO_BIN/ZarvoWebcam.dll" || e2e_fail "64-bit camera not installed"
  cmp "$folder32/ZarvoWebcam.dll" "$ZARVO_CAMERA32" || e2e_fail "32-bit camera not installed"
  cmp "$folder32/$e2e_server_exe" "$ZARVO_BIN/$e2e_server_exe" || e2e_fail "app not installed"
  cmp "$folder64/ZarvoMediaSource.dll" "$ZARVO_BIN/ZarvoMediaSource.dll" || e2e_fail "media source not installed"
  [ "$(ls "$folder64" | wc -l)" -eq 2 ] && [ "$(ls "$folder32" | wc -l)" -eq 2 ] ||
    e2e_fail "unexpected files: $(ls "$folder64" "$folder32")"
  dump_keys "$e2e_work/installed64.keys" 64 "$win64"
  dump_keys "$e2e_work/installed32.keys" 32 "$win32"
  diff -u "$e2e_work/reference.keys" "$e2e_work/installed64.keys" || e2e_fail "64-bit view differs from the registration"
  diff -u "$e2e_work/reference.keys" "$e2e_work/installed32.keys" || e2e_fail "32-bit view differs from the registration"
  dump_source_key "$e2e_work/installed-source.keys" "$source64"
  diff -u "$e2e_work/reference-source.keys" "$e2e_work/installed-source.keys" ||
    e2e_fail "the media source's class differs from its registration"

  uninstall_entries
  # The query itself succeeded: say whether an installer process was still at work.
  [ "$entries" = "$(product_code "$msi") $version" ] || e2e_fail "uninstall entries [$entries], expected $msi's at" \
    "$version; the query succeeded; msiexec processes of this prefix still running: [$(prefix_processes msiexec)]"
  e2e_wine 60 "$e2e_work/server-path.out" "$ZARVO_BIN/installer_server_path.exe" ||
    e2e_fail "the installed cameras do not find the app: $(cat "$e2e_work/server-path.out")"
}

# camera_works <label>: ffmpeg lists the one camera; a capture makes it launch the installed app
# (the only server in this prefix), and the frames then captured are the server's pattern.
camera_works() {
  local label=$1
  e2e_ffmpeg_list "$e2e_work/$label-devices.out" -list_devices true -f dshow -i dummy
  [ "$(grep -cF '"Zarvo Webcam"' "$e2e_work/$label-devices.out")" -eq 1 ] ||
    e2e_fail "$label: not one device: $(cat "$e2e_work/$label-devices.out")"
  e2e_ffmpeg_list "$e2e_work/$label-options.out" -list_options true -f dshow -i 'video=Zarvo Webcam'
  grep -qF 'pixel_format=yuyv422  min s=1280x720 fps=10 max s=1280x720 fps=60.0002' "$e2e_work/$label-options.out" ||
    e2e_fail "$label: formats: $(cat "$e2e_work/$label-options.out")"

  e2e_mark_logs
  e2e_capture 120 "$label-launch" 30 || e2e_fail "$label: capture failed: $(cat "$e2e_work/$label-launch.out")"
  e2e_wine 60 "$e2e_work/$label-live.out" "$ZARVO_BIN/pixels_check.exe" --wait-live 45000 ||
    e2e_fail "$label: the installed app did not go live"
  local filter_log
  filter_log=$(e2e_new_logs zvfilter | sed -n 1p)
  [ -n "$filter_log" ] || e2e_fail "$label: the camera wrote no log"
  e2e_expect_in_order "$filter_log" '[Prepare/ConnectToServer] WebcamClient: No Server Found - attempting launch'
  ! grep -qF 'CreateProcess failed' "$filter_log" || e2e_fail "$label: $(grep -F 'CreateProcess' "$filter_log")"

  # The app is live by now: its frames come within a second, so 20 pattern frames of 150 leave a
  # loaded machine three seconds more.
  local raw=$e2e_work/$label.yuv
  e2e_ffmpeg 120 "$e2e_work/$label-raw.out" -rtbufsize 200M -f dshow -i 'video=Zarvo Webcam' -frames:v 150 \
    -f rawvideo -pix_fmt yuyv422 "$(e2e_winpath "$raw")" || e2e_fail "$label: raw capture failed"
  e2e_wine 120 "$e2e_work/$label-check.out" "$ZARVO_BIN/pixels_check.exe" "$(e2e_winpath "$raw")" yuy2 1280x720 \
    1280x720 20 || e2e_fail "$label: pixels: $(cat "$e2e_work/$label-check.out")"
  rm -f "$raw"
  e2e_note "$label: $(tr -d '\r' <"$e2e_work/$label-check.out" | tail -n 1)"
  # Left running, as after any capture: the installer has to end it.
  [ -n "$(app_processes)" ] || e2e_fail "$label: the installed app does not run after the capture"
}

# msiexec <label> <args...>: silent, exit code 0 (a reboot request, 3010, reaches here as 194),
# at most 15 s, nothing left for a reboot, and no app running afterwards; prints the time taken.
msiexec() {
  local label=$1 code=0 started=${EPOCHREALTIME/[.,]/}
  shift
  e2e_wine 120 "$e2e_work/$label.out" msiexec "$@" /qn /l*v "$(e2e_winpath "$e2e_work/$label.msilog")" || code=$?
  local ms=$(((${EPOCHREALTIME/[.,]/} - started) / 1000))
  e2e_note "msiexec $label: $((ms / 1000)).$(printf %03d $((ms % 1000))) s, exit code $code"
  [ "$code" -ne 194 ] || e2e_fail "msiexec $label asks for a reboot (exit 3010)"
  [ "$code" -eq 0 ] || e2e_fail "msiexec $* failed (exit $code): $(cat "$e2e_work/$label.out")"
  [ "$ms" -le 15000 ] || e2e_fail "msiexec $label took longer than 15 s"
  e2e_wine 60 "$e2e_work/$label-session.out" reg query 'HKLM\System\CurrentControlSet\Control\Session Manager' ||
    e2e_fail "$label: reg query of the Session Manager key failed: $(cat "$e2e_work/$label-session.out")"
  ! grep -F PendingFileRenameOperations "$e2e_work/$label-session.out" | grep -i zarvo >/dev/null ||
    e2e_fail "$label: left for a reboot: $(grep -F PendingFileRenameOperations "$e2e_work/$label-session.out")"
  [ -z "$(app_processes)" ] || e2e_fail "$label: the app still runs: $(app_processes)"
}

e2e_wine 300 "$e2e_work/wineboot.out" wineboot -i || e2e_fail "wineboot failed: $(cat "$e2e_work/wineboot.out")"
# What the camera's own registration writes, from the build's module.
e2e_register "$ZARVO_BIN/ZarvoWebcam.dll"
dump_keys "$e2e_work/reference.keys" 64 "$(e2e_winpath "$ZARVO_BIN/ZarvoWebcam.dll")"
grep -qF 'FilterData' "$e2e_work/reference.keys" && grep -qF '<module>' "$e2e_work/reference.keys" ||
  e2e_fail "registration incomplete: $(cat "$e2e_work/reference.keys")"
e2e_unregister "$ZARVO_BIN/ZarvoWebcam.dll"
e2e_register "$ZARVO_BIN/ZarvoMediaSource.dll"
dump_source_key "$e2e_work/reference-source.keys" "$(e2e_winpath "$ZARVO_BIN/ZarvoMediaSource.dll")"
grep -qF 'ThreadingModel    REG_SZ    Both' "$e2e_work/reference-source.keys" && grep -qF '<module>' "$e2e_work/reference-source.keys" ||
  e2e_fail "media source registration incomplete: $(cat "$e2e_work/reference-source.keys")"
e2e_unregister "$ZARVO_BIN/ZarvoMediaSource.dll"
expect_no_keys "after regsvr32 /u"

# The quit actions sit after the folders are resolved and before the files are checked for use, and
# the media source is removed before its file goes and published after it came (Wine replaces files
# in use and runs deferred actions late, so only their places show they would run in time on Windows).
msiinfo export "$ZARVO_MSI" InstallExecuteSequence | tr -d '\r' | awk -F '\t' '
  { seq[$1] = $3 }
  END {
    n = split("SetOlderApp QuitOlder QuitApp", a, " ")
    for (i = 1; i <= n; i++)
      if (!(a[i] in seq) || seq[a[i]] <= seq["CostFinalize"] || seq[a[i]] >= seq["InstallValidate"]) exit 1
    if (!("RemoveCamera" in seq) || seq["RemoveCamera"] >= seq["RemoveFiles"]) exit 1
    if (!("PublishCamera" in seq) || seq["PublishCamera"] <= seq["InstallFiles"] || seq["PublishCamera"] >= seq["InstallFinalize"]) exit 1
  }' ||
  e2e_fail "installer actions misplaced: $(msiinfo export "$ZARVO_MSI" InstallExecuteSequence)"

# A release from before the quit request: this build without those actions. Only the upgrade's
# own request can end its app.
older=$e2e_work/older.msi
cp "$ZARVO_MSI" "$older"
# (One statement per row: msibuild's OR deletes other rows than those named.)
for action in QuitApp QuitOlder SetOlderApp; do
  msibuild "$older" -q "DELETE FROM InstallExecuteSequence WHERE Action = '$action'"
done
[ -z "$(msiinfo export "$older" InstallExecuteSequence | grep -E 'QuitApp|QuitOlder|SetOlderApp')" ] &&
  msiinfo export "$older" InstallExecuteSequence | grep SetRegsvr >/dev/null || e2e_fail "the older package is not as meant"
msiexec install /i "$(e2e_winpath "$older")"
expect_installed "$older" "$ZARVO_VERSION"
# The install asked the media source to publish itself as a camera of the platform: Wine has no
# virtual cameras, which it says in one line, and the install went on.
published=$(grep -lF 'Media Foundation apps cannot use the camera on this system' "$e2e_logs"/zvsource_* 2>/dev/null || true)
[ "$(echo "$published" | grep -c .)" -eq 1 ] || e2e_fail "no log of the camera's publication: [$published] $(find "$WINEPREFIX/drive_c/users" -name "zv*" 2>&1); the installer: $(grep -a -A3 "PublishCamera" "$e2e_work/install.msilog" | tr -d "\0" | head -20)"
mkdir -p "$e2e_appdata"
e2e_write_resolution 1280,720
camera_works first

# A second build over the first: a later version of the same product.
upgrade=$e2e_work/upgrade.msi
IFS=. read -r major minor patch <<<"$ZARVO_VERSION"
next="$major.$minor.$((patch + 1))"
bash "$ZARVO_INSTALLER_SRC/build-msi.sh" "$ZARVO_WXS" "$next" "$ZARVO_BIN/ZarvoWebcam.dll" "$ZARVO_CAMERA32" \
  "$ZARVO_BIN/$e2e_server_exe" "$ZARVO_BIN/ZarvoMediaSource.dll" "$upgrade"
[ "$(product_code "$upgrade")" != "$(product_code "$older")" ] || e2e_fail "the second build has the same product code"
msiexec upgrade /i "$(e2e_winpath "$upgrade")"
expect_installed "$upgrade" "$next"
camera_works upgraded

msiexec uninstall /x "$(e2e_winpath "$upgrade")"
# Every file and both install folders go. (Wine's msiexec leaves the emptied parent "Zarvo" folders
# despite their RemoveFolder entries; Windows removes them.)
[ ! -e "$folder64" ] && [ ! -e "$folder32" ] &&
  [ -z "$(find "$drive_c/Program Files/Zarvo" "$drive_c/Program Files (x86)/Zarvo" -mindepth 1 2>/dev/null)" ] ||
  e2e_fail "files left: $(find "$drive_c/Program Files/Zarvo" "$drive_c/Program Files (x86)/Zarvo" 2>&1)"
expect_no_keys "after the uninstall"
uninstall_entries
[ -z "$entries" ] || e2e_fail "uninstall entry left: $entries"
e2e_ffmpeg_list "$e2e_work/devices-after.out" -list_devices true -f dshow -i dummy
grep -q 'DirectShow video devices' "$e2e_work/devices-after.out" && ! grep -qF 'Zarvo Webcam' "$e2e_work/devices-after.out" ||
  e2e_fail "device still listed after the uninstall: $(cat "$e2e_work/devices-after.out")"
e2e_note "installed, upgraded to $next and uninstalled"
