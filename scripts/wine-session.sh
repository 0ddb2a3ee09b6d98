# Sourced by scripts that run Windows programs. Defines:
#   zarvo_build <build dir> [targets...]   configure and build the Windows binaries
#   zarvo_wine_start <prefix>              private prefix, own X display and wineserver
# and ends exactly the processes it started when the calling script exits.

zarvo_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

zarvo_build_dir=""

zarvo_build() {
  local build=$1
  shift
  zarvo_build_dir=$(mkdir -p "$build" && cd "$build" && pwd)
  # The 32-bit tree compiles the same sources again: a compiler cache keeps rebuilds short.
  local launcher=()
  if [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ] && command -v ccache >/dev/null 2>&1; then
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    # Paths relative to the checkout, so another clone of the same sources (CI's) hits the cache.
    export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$zarvo_root} CCACHE_NOHASHDIR=${CCACHE_NOHASHDIR:-true}
  fi
  cmake -S "$zarvo_root" -B "$build" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$zarvo_root/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
  local targets=()
  # The session keeper (zarvo_wine_start) comes with any choice of targets.
  [ "$#" -eq 0 ] || targets+=(--target wine_session_keeper)
  for target in "$@"; do targets+=(--target "$target"); done
  cmake --build "$build" "${targets[@]}"
}

zarvo_xvfb_pid=""
zarvo_wineserver_pid=""

zarvo_wine_stop() {
  # The Wine processes of our own prefix first, then the two servers we started.
  if [ -n "$zarvo_wineserver_pid" ]; then
    wineserver -k 2>/dev/null || true
    kill "$zarvo_wineserver_pid" 2>/dev/null || true
    wait "$zarvo_wineserver_pid" 2>/dev/null || true
    zarvo_wineserver_pid=""
  fi
  if [ -n "$zarvo_xvfb_pid" ]; then
    kill "$zarvo_xvfb_pid" 2>/dev/null || true
    wait "$zarvo_xvfb_pid" 2>/dev/null || true
    zarvo_xvfb_pid=""
  fi
}

zarvo_wine_start() {
  export WINEPREFIX=$1
  export WINEARCH=win64
  export WINEDEBUG=-all
  # No Mono or Gecko prompts when the prefix is created.
  export WINEDLLOVERRIDES="mscoree,mshtml="
  mkdir -p "$WINEPREFIX"
  trap zarvo_wine_stop EXIT
  trap 'exit 130' INT TERM

  # Xvfb picks a free display number itself and reports it on the given descriptor.
  local display_file
  display_file=$(mktemp)
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" 2>/dev/null &
  zarvo_xvfb_pid=$!
  for _ in $(seq 100); do
    [ -s "$display_file" ] && break
    kill -0 "$zarvo_xvfb_pid" 2>/dev/null || { echo "Xvfb did not start" >&2; return 1; }
    sleep 0.1
  done
  [ -s "$display_file" ] || { echo "Xvfb reported no display" >&2; return 1; }
  export DISPLAY=":$(head -n1 "$display_file")"
  rm -f "$display_file"

  wineserver -f -p &
  zarvo_wineserver_pid=$!
  # The keeper is the session's first program (it makes a new prefix) and outlives every other:
  # see tests/support/SessionKeeper.cpp. Its output goes nowhere, and so does that of the system
  # processes it starts.
  local keeper=$zarvo_build_dir/bin/wine_session_keeper.exe ready=$WINEPREFIX/session-keeper.ready
  [ -n "$zarvo_build_dir" ] && [ -f "$keeper" ] || { echo "no session keeper: call zarvo_build first" >&2; return 1; }
  rm -f "$ready"
  wine "$keeper" "Z:${ready//\//\\}" </dev/null >/dev/null 2>&1 &
  local keeper_pid=$!
  for _ in $(seq 1200); do
    [ -e "$ready" ] && return 0
    kill -0 "$keeper_pid" 2>/dev/null || { echo "the session keeper ended" >&2; return 1; }
    sleep 0.1
  done
  echo "the session keeper was not ready within 120 s" >&2
  return 1
}
