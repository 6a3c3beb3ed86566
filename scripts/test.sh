#!/usr/bin/env bash
# Sets everything up and runs every test: installs what is missing, builds
# both architectures, makes a private Wine prefix and runs each test program
# under Wine. Exits non-zero on any build error or failed test.
#   scripts/test.sh          every test, the slow group included
#   scripts/test.sh --quick  leaves out the tests that wait out the system's
#                            fixed 60 s / 120 s limits
set -euo pipefail
source "$(dirname "$0")/common.sh"
cd "$KORVANE_ROOT"

ctest_filter=()
case "$#:${1:-}" in
  0:) ;;
  1:--quick) ctest_filter=(-LE slow) ;;
  *) echo "usage: bash scripts/test.sh [--quick]" >&2; exit 2 ;;
esac

korvane_install_packages
echo "== building x86_64 (run and tested)"
korvane_build x86_64
echo "== building i686 programs (compiled and linked only)"
KORVANE_CMAKE_ARGS=-DKORVANE_BUILD_TESTS=OFF korvane_build i686

echo "== private Wine prefix"
korvane_prefix "$KORVANE_ROOT/build/wineprefix"
trap korvane_stop_prefix EXIT
if [ -x scripts/register.sh ]; then scripts/register.sh build/x86_64/bin; fi

echo "== tests"
set +e
(cd build/x86_64 && ctest --output-on-failure "${ctest_filter[@]}" 2>&1) | tee build/ctest.log
status=${PIPESTATUS[0]}
set -e
# ctest's own closing line: "NN% tests passed, F tests failed out of T".
total=$(sed -nE 's/.*tests failed out of ([0-9]+).*/\1/p' build/ctest.log | tail -n 1)
failed=$(sed -nE 's/.*tests passed, ([0-9]+) tests failed out of.*/\1/p' build/ctest.log | tail -n 1)
total=${total:-0}
failed=${failed:-0}
passed=$((total - failed))
echo
echo "summary: $passed passed, $failed failed"
exit "$status"
