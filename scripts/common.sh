# Shared by the entry points: packages, the build, and a private Wine prefix.
# Source it; it defines functions and the paths below, and sets nothing else.

KORVANE_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# Debian's wine64 package keeps its loader and server off PATH; every script
# finds them here.
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
KORVANE_PACKAGES="cmake ninja-build g++-mingw-w64-x86-64 g++-mingw-w64-i686 mingw-w64-tools wine64 libwine-dev googletest sqlite3"

korvane_install_packages() {
  local missing=""
  for package in $KORVANE_PACKAGES; do
    dpkg -s "$package" >/dev/null 2>&1 || missing="$missing $package"
  done
  # npm (which fetches the pinned SQLite sources) may come with the machine's
  # own Node.js rather than from Debian; Debian's npm then conflicts with it.
  command -v npm >/dev/null 2>&1 || missing="$missing npm"
  [ -z "$missing" ] && return 0
  echo "== installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >/dev/null
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing >/dev/null
}

# korvane_build ARCH [TARGETS...]: configure and build one architecture.
korvane_build() {
  local arch=$1
  shift
  local dir="$KORVANE_ROOT/build/$arch"
  mkdir -p "$KORVANE_ROOT/build"
  cmake -S "$KORVANE_ROOT" -B "$dir" -G Ninja \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$KORVANE_ROOT/cmake/toolchain-$arch.cmake" \
    ${KORVANE_CMAKE_ARGS:-} >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log"; return 1; }
  if [ $# -gt 0 ]; then
    cmake --build "$dir" --target "$@"
  else
    cmake --build "$dir"
  fi
}

# korvane_prefix DIR: a fresh private Wine prefix with the null graphics
# driver (hidden windows and message boxes then work without a display),
# served by one persistent wineserver until korvane_stop_prefix.
korvane_prefix() {
  export WINEPREFIX=$1 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  "$WINESERVER" -k >/dev/null 2>&1 || true   # one left over from an earlier run
  rm -rf "$WINEPREFIX"
  mkdir -p "$WINEPREFIX"
  # The server must be persistent before wineboot starts one of its own.
  "$WINESERVER" -p
  if ! "$WINE" wineboot -i >"$WINEPREFIX.wineboot.log" 2>&1; then
    echo "korvane_prefix: wineboot could not make the prefix $WINEPREFIX:" >&2
    tail -n 20 "$WINEPREFIX.wineboot.log" >&2
    return 1
  fi
  "$WINE" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null 2>&1
  # A crashing program gets its backtrace printed and ends, instead of a
  # debugger dialog that nobody can answer holding it until its time-out.
  "$WINE" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f >/dev/null 2>&1
  # The desktop that wineboot made still has no graphics driver: until the
  # server restarts, windows and message boxes fail with error 1400 (or wait
  # about 10 s for a desktop that never starts).
  "$WINESERVER" -k >/dev/null 2>&1 || true
  "$WINESERVER" -w >/dev/null 2>&1 || true
  "$WINESERVER" -p
}

# korvane_registered_prefix DIR BIN_DIR: korvane_prefix DIR, then every
# program of BIN_DIR registered in it (scripts/register.sh).
korvane_registered_prefix() {
  korvane_prefix "$1"
  "$KORVANE_ROOT/scripts/register.sh" "$2"
}

korvane_stop_prefix() {
  [ -n "${WINEPREFIX:-}" ] && "$WINESERVER" -k >/dev/null 2>&1
  return 0
}
