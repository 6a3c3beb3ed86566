#!/usr/bin/env bash
# The set change benchmark: builds the x86_64 programs, makes a private Wine
# prefix (build/wineprefix-bench) with the programs registered and the demo
# installation settings, and runs korvane-setchange-bench there: a set of
# 1000 boards of mixed types with about 50 MB of lists is activated through
# the client interface, restored, and activated as a failing set that rolls
# back; each time is printed next to that of a plain program doing the same
# copies and registry writes on the same disk. Then the CRC-16 figures, the
# cost of a call, and the time per board at 250 and 4000 boards.
#
#   bash scripts/bench.sh [--boards N] [--megabytes M] [--rounds R] [--growth 0|1] [--keep]
#
# --keep leaves the prefix (with its installation, a few hundred MB) for a
# look afterwards; by default it is removed at the end.
set -uo pipefail
source "$(dirname "$0")/common.sh"
cd "$KORVANE_ROOT"

BIN_DIR=$KORVANE_ROOT/build/x86_64/bin
PREFIX=$KORVANE_ROOT/build/wineprefix-bench
keep=no
bench_args=()
while [ $# -gt 0 ]; do
  case $1 in
    --keep) keep=yes ;;
    --boards | --megabytes | --rounds | --growth)
      [ $# -ge 2 ] || { echo "bench.sh: $1 needs a number" >&2; exit 2; }
      bench_args+=("$1" "$2")
      shift
      ;;
    *) echo "usage: bash scripts/bench.sh [--boards N] [--megabytes M] [--rounds R] [--growth 0|1] [--keep]" >&2; exit 2 ;;
  esac
  shift
done

finish() {
  korvane_stop_prefix
  if [ "$keep" = no ]; then
    "$WINESERVER" -w >/dev/null 2>&1 || true
    rm -rf "$PREFIX"
  fi
}

echo "== building the x86_64 programs"
korvane_install_packages || exit 1
mkdir -p build
korvane_build x86_64 ControlCenterServer KorvanePS BootpServer QRBDAOServer korvane-setchange-bench \
  >build/bench-build.log 2>&1 || { tail -n 30 build/bench-build.log; echo "bench.sh: the build failed (build/bench-build.log)" >&2; exit 1; }

echo "== private Wine prefix ${PREFIX#"$KORVANE_ROOT"/}"
korvane_prefix "$PREFIX" || exit 1
trap finish EXIT
scripts/register.sh "$BIN_DIR" || exit 1
"$WINE" regedit /s "Z:${KORVANE_ROOT//\//\\}\\tools\\demo\\installation.reg" >/dev/null 2>&1 </dev/null ||
  { echo "bench.sh: the installation settings could not be imported" >&2; exit 1; }

echo "== benchmark (disk: $(df -h --output=source,fstype "$PREFIX" | tail -n 1 | tr -s ' '))"
# Output goes to a file, not a pipe: the server COM starts inherits it.
"$WINE" "$BIN_DIR/korvane-setchange-bench.exe" "${bench_args[@]}" >build/bench.log 2>&1 </dev/null
status=$?
tr -d '\r' <build/bench.log
exit $status
