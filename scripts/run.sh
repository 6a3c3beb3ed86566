#!/usr/bin/env bash
# The demonstration: on a fresh Debian machine, as root,
#
#   bash scripts/run.sh
#
# installs what is missing, builds the x86_64 programs, makes a private Wine
# prefix (build/wineprefix-demo) with the programs registered and a demo
# installation (C:\Korvane in that prefix), and then walks through what the
# control center server does, with the console client: list the sets,
# activate one and read its status, watch a set with a missing list fail
# without harm and read the error table, compare sets with the active one,
# change sets with an observer watching, restore the backup, send a board
# command to a stand-in board and have a board boot, both on 127.0.0.1.
# Exits non-zero as soon as a step
# that must succeed does not.
set -uo pipefail
source "$(dirname "$0")/common.sh"
cd "$KORVANE_ROOT"

BIN_DIR=$KORVANE_ROOT/build/x86_64/bin
PREFIX=$KORVANE_ROOT/build/wineprefix-demo
ROOT_WIN='C:\Korvane'
LISTS_WIN='C:\demo-lists'
REBOOT_PORT=47621  # the "Reboot Port" of tools/demo/installation.reg
BOOT_PORT=40067    # where the bootp component answers boot requests in step 11
WORK=$KORVANE_ROOT/build/demo-run  # outputs of the steps, kept for a look afterwards
PROGRAMS=(ControlCenterServer KorvanePS BootpServer QRBDAOServer korvane-client korvane-setfile korvane-demo)

STEPS=12
step_number=0
background_pids=()

# --- presentation ---------------------------------------------------------

step() {  # step TITLE EXPLANATION
  step_number=$((step_number + 1))
  printf '\n[%d/%d] %s\n' "$step_number" "$STEPS" "$1"
  printf '      %s\n' "$2"
}

note() { printf '      %s\n' "$*"; }

# Shows a file indented, without the CRs of Windows line ends.
show_file() {
  tr -d '\r' <"$1" | sed 's/^/        /'
}

fail() {
  printf '\nFAILED in step %d: %s\n' "$step_number" "$*" >&2
  exit 1
}

# Wine programs get files for their output, never pipes: a program that COM
# starts on their behalf (the server) inherits the handles and would keep a
# pipe open long after the command ended.
wine_to() {  # wine_to OUT ERR PROGRAM ARGS...
  local out=$1 err=$2
  shift 2
  "$WINE" "$@" >"$out" 2>"$err" </dev/null
}

# Runs the console client as an operator would, shows the command and what
# it printed (standard error marked), and returns its exit code.
client() {
  printf '      $ korvane-client %s\n' "$*"
  local status
  wine_to "$WORK/out" "$WORK/err" "$BIN_DIR/korvane-client.exe" "$@"
  status=$?
  show_file "$WORK/out"
  tr -d '\r' <"$WORK/err" | sed 's/^/        (stderr) /'
  return $status
}

reg_query() {  # reg_query KEY: the key's values and subkeys, shown
  printf '      $ reg query "%s" /s\n' "$1"
  wine_to "$WORK/reg" "$WORK/reg.err" reg query "$1" /s || return 1
  tr -d '\r' <"$WORK/reg" | grep -v '^$' | sed 's/^/        /'
}

cleanup() {
  local pid
  for pid in "${background_pids[@]}"; do kill "$pid" 2>/dev/null; done
  korvane_stop_prefix
}

# Waits up to SECONDS for a line matching PATTERN in FILE.
wait_for_line() {  # wait_for_line FILE PATTERN SECONDS
  local i
  for ((i = 0; i < $3 * 10; i++)); do
    grep -q "$2" "$1" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# Waits up to SECONDS for a background process to end; its exit code, or
# 124 when it had to be stopped.
wait_for_exit() {  # wait_for_exit PID SECONDS
  local i
  for ((i = 0; i < $2 * 10; i++)); do
    if ! kill -0 "$1" 2>/dev/null; then
      wait "$1"
      return $?
    fi
    sleep 0.1
  done
  kill "$1" 2>/dev/null
  wait "$1" 2>/dev/null
  return 124
}

# Checksums of the active configuration's files, and its registry records.
snapshot() {  # snapshot NAME
  (cd "$ACTIVE" && find . -maxdepth 1 -type f -printf '%f\n' | sort | xargs -r md5sum) >"$WORK/$1.files"
  wine_to "$WORK/$1.set" /dev/null reg query 'HKLM\SOFTWARE\Brenlow\Korvane\Active Set' /s
  wine_to "$WORK/$1.code" /dev/null reg query 'HKLM\SOFTWARE\Brenlow\Korvane\Code' /s
}

# --- the steps ------------------------------------------------------------

printf 'Korvane control center server: demonstration\n'
printf 'Everything runs under Wine in a private prefix, %s;\n' "${PREFIX#"$KORVANE_ROOT"/}"
printf 'the demo installation is %s there (%s on Linux).\n' "$ROOT_WIN" \
  "${PREFIX#"$KORVANE_ROOT"/}/drive_c/Korvane"

step "Preparing the machine" \
  "Installs missing packages and builds the x86_64 programs (the first build takes a while)."
korvane_install_packages || fail "the packages could not be installed (run as root)"
mkdir -p "$KORVANE_ROOT/build"
if ! korvane_build x86_64 "${PROGRAMS[@]}" >"$KORVANE_ROOT/build/run-build.log" 2>&1; then
  tail -n 30 "$KORVANE_ROOT/build/run-build.log"
  fail "the build failed (whole log: build/run-build.log)"
fi
note "built: ${PROGRAMS[*]}"

step "A private Wine prefix with the programs registered" \
  "COM finds the server, the proxy/stub DLL, the bootp component and the database server there."
korvane_prefix "$PREFIX" || fail "the Wine prefix could not be made"
trap cleanup EXIT
rm -rf "$WORK"
mkdir -p "$WORK"
"$KORVANE_ROOT/scripts/register.sh" "$BIN_DIR" >"$WORK/register.log" 2>&1 ||
  { cat "$WORK/register.log"; fail "registering the programs failed"; }
note "registered: KorvanePS.dll, BootpServer.dll, ControlCenterServer.exe, QRBDAOServer.exe"
export WINEPREFIX
ROOT=$WINEPREFIX/drive_c/Korvane
ACTIVE=$ROOT/active

step "The demo installation" \
  "Installation settings in the registry, three configuration sets built with korvane-setfile."
wine_to "$WORK/out" "$WORK/err" regedit /s "Z:${KORVANE_ROOT//\//\\}\\tools\\demo\\installation.reg" ||
  fail "the installation settings could not be imported"
# Boot replies on, on loopback only, before the server (and with it the
# bootp component) first starts: step 11 shows a board booting.
wine_to "$WORK/reg" "$WORK/reg.err" reg add 'HKLM\SOFTWARE\Brenlow\Korvane\Bootp' /v "Listen Port" /t REG_DWORD /d "$BOOT_PORT" /f &&
  wine_to "$WORK/reg" "$WORK/reg.err" reg add 'HKLM\SOFTWARE\Brenlow\Korvane\Bootp' /v "Listen Address" /d 127.0.0.1 /f ||
  fail "the boot reply settings could not be written"
reg_query 'HKLM\SOFTWARE\Brenlow\Korvane' || fail "the installation settings are not in the registry"
wine_to "$WORK/install.out" "$WORK/err" "$BIN_DIR/korvane-demo.exe" install "$ROOT_WIN" ||
  { show_file "$WORK/err"; fail "the installation files could not be written"; }
wine_to "$WORK/lists.out" "$WORK/err" "$BIN_DIR/korvane-demo.exe" lists "$LISTS_WIN" ||
  { show_file "$WORK/err"; fail "the demo sets' lists could not be written"; }
note "list files generated (one file per list, in ${LISTS_WIN}\\<set>):"
show_file "$WORK/lists.out"
for set in Plant Line2 Incomplete; do
  printf '      $ korvane-setfile build %s\\%s %s\\Comp\\%s.cfg\n' "$LISTS_WIN" "$set" "$ROOT_WIN" "$set"
  wine_to "$WORK/out" "$WORK/err" "$BIN_DIR/korvane-setfile.exe" build "$LISTS_WIN\\$set" "$ROOT_WIN\\Comp\\$set.cfg" ||
    { show_file "$WORK/out"; show_file "$WORK/err"; fail "korvane-setfile could not build $set"; }
  show_file "$WORK/out"
done
note "also there: config\\common\\brdlists and protomap, a companion archive per set, two code files in active"

step "List the configuration sets" \
  "The client creates a ControlCenterComponent (COM starts the server) and calls ListSets."
client list || fail "listing the sets failed"
for set in Plant Line2 Incomplete; do
  grep -qx "$set" <(tr -d '\r' <"$WORK/out") || fail "the set $set is not listed"
done

step "Activate the set Plant" \
  "SelectSet starts a set change; the worker writes one list file per board, active.ini, LMHOSTS, ACTSET and the registry records."
client select Plant --timeout 180 || fail "activating Plant failed"
grep -q '^SetSelected: succeeded' "$WORK/out" || fail "no SetSelected: succeeded for Plant"
client active || fail "the active set cannot be named"
grep -qx Plant <(tr -d '\r' <"$WORK/out") || fail "the active set is not Plant"
note "the active folder (one .cfg list file per board, named after its hardware address):"
(cd "$ACTIVE" && ls -1) | paste -sd' ' | fold -s -w 90 | sed 's/^/        /'
note "active.ini: address, list file, CRC, 512-byte blocks, name, number and type of each board:"
show_file "$ACTIVE/active.ini"
note "LMHOSTS: the boards that have a list file, with their addresses from the base IP address on:"
show_file "$ACTIVE/LMHOSTS"
reg_query 'HKLM\SOFTWARE\Brenlow\Korvane\Active Set' || fail "the active set has no registry records"
grep -q 'PANEL1' "$WORK/reg" || fail "the board records of Plant are not in the registry"
note "the code files beside the configuration, with the CRCs cached in bin\\korvane.ini:"
reg_query 'HKLM\SOFTWARE\Brenlow\Korvane\Code' || fail "the code files have no registry records"
note "the same, as an operator asks for it:"
client status || fail "korvane-client status failed"
grep -q '^Active set: *Plant' "$WORK/out" || fail "status does not name Plant as the active set"
snapshot before

step "Try the set Incomplete, whose valve board lacks its list v25_mpk_" \
  "The set change fails; the worker puts the backup back, so Plant stays active as it was."
client select Incomplete --timeout 180
status=$?
[ $status -eq 1 ] || fail "activating Incomplete should fail with exit code 1, not $status"
grep -q 'Could not find list v25_mpk_' "$WORK/err" || fail "the failure text does not name v25_mpk_"
snapshot after
cmp -s "$WORK/before.set" "$WORK/after.set" || fail "the Active Set registry records changed"
cmp -s "$WORK/before.code" "$WORK/after.code" || fail "the Code registry records changed"
changed="" kept="" left=""
while read -r sum name; do
  if grep -qxF "$sum  $name" "$WORK/after.files"; then kept+=" $name"; else changed+=" $name"; fi
done <"$WORK/before.files"
while read -r sum name; do
  grep -q "  $name\$" "$WORK/before.files" || left+=" $name"
done <"$WORK/after.files"
[ -z "$changed" ] || fail "files of the Plant configuration changed:$changed"
note "unchanged, byte for byte:"
echo "$kept" | fold -s -w 80 | sed 's/^ */        /'
note "unchanged: the registry records of the active set and of the code files"
[ -z "$left" ] || note "left behind, as designed:$left (list files the failed change wrote for boards Plant does not have)"
client active || fail "the active set cannot be named"
grep -qx Plant <(tr -d '\r' <"$WORK/out") || fail "the active set is no longer Plant"
note "what went wrong, from the error table of the database server:"
client errors --last 1 || fail "korvane-client errors failed"
grep -q 'Could not find list v25_mpk_' "$WORK/out" || fail "the error table does not hold the failure"

step "What a set change would change" \
  "korvane-setfile diff compares a set with the active configuration, board by board."
setfile() {
  printf '      $ korvane-setfile %s\n' "$*"
  wine_to "$WORK/out" "$WORK/err" "$BIN_DIR/korvane-setfile.exe" "$@"
  local status=$?
  show_file "$WORK/out"
  tr -d '\r' <"$WORK/err" | sed 's/^/        (stderr) /'
  return $status
}
setfile diff "$ROOT_WIN\Comp\Plant.cfg" --active || fail "Plant should equal the active configuration"
setfile diff "$ROOT_WIN\Comp\Line2.cfg" --active
[ $? -eq 1 ] || fail "Line2 should differ from the active configuration (exit code 1)"

step "Activate the set Line2 while an observer watches" \
  "A second client registers for notifications and allows the change; Plant goes into the backup."
"$WINE" "$BIN_DIR/korvane-client.exe" watch --count 3 --seconds 60 --description "demo observer" \
  >"$WORK/watch.out" 2>"$WORK/watch.err" </dev/null &
watcher=$!
background_pids+=("$watcher")
wait_for_line "$WORK/watch.out" '^Watching:' 30 || { show_file "$WORK/watch.err"; fail "the observer did not start"; }
client select Line2 --timeout 180 || fail "activating Line2 failed"
grep -q '^ChangeProceeding' "$WORK/out" || fail "the requester did not hear that the observer allowed the change"
wait_for_exit "$watcher" 30
note "what the observer (korvane-client watch --count 3) printed:"
show_file "$WORK/watch.out"
grep -q '^ConfigurationChanging' "$WORK/watch.out" || fail "the observer was not asked"
client backup || fail "the backup cannot be named"
grep -qx Plant <(tr -d '\r' <"$WORK/out") || fail "the backup is not Plant"
note "LMHOSTS now:"
show_file "$ACTIVE/LMHOSTS"

step "Restore the backup" \
  "RestoreBackup puts Plant back (files and registry records) and uses the backup up."
client restore --timeout 180 || fail "restoring the backup failed"
grep -q '^SetRestored: succeeded' "$WORK/out" || fail "no SetRestored: succeeded"
client active || fail "the active set cannot be named"
grep -qx Plant <(tr -d '\r' <"$WORK/out") || fail "the active set is not Plant after the restore"
note "LMHOSTS again:"
show_file "$ACTIVE/LMHOSTS"
client backup
[ $? -eq 1 ] || fail "a backup is still reported after the restore"

step "Send a board command" \
  "REBOOT to boards 0 and 2 of Plant: one UDP datagram to the reboot port, here a stand-in board on 127.0.0.1."
"$WINE" "$BIN_DIR/korvane-demo.exe" listen "$REBOOT_PORT" --count 1 --seconds 30 \
  >"$WORK/listen.out" 2>"$WORK/listen.err" </dev/null &
listener=$!
background_pids+=("$listener")
wait_for_line "$WORK/listen.out" '^listening' 30 ||
  { show_file "$WORK/listen.err"; fail "the stand-in board could not listen on 127.0.0.1:$REBOOT_PORT"; }
client command REBOOT 0 2 || fail "sending the board command failed"
wait_for_exit "$listener" 30
note "what the stand-in board (korvane-demo listen $REBOOT_PORT) received:"
show_file "$WORK/listen.out"
grep -q 'command REBOOT to 2 boards: 00:40:9D:21:07:11, 00:40:9D:21:07:13' "$WORK/listen.out" ||
  fail "the board command did not arrive as sent"

step "A board boots" \
  "With \"Listen Port\" set (step 3), the bootp component answers boot requests of the active set's boards; korvane-demo boot plays PRESS1 on 127.0.0.1."
# The component lives in the server; an observer keeps the server running.
"$WINE" "$BIN_DIR/korvane-client.exe" watch --seconds 20 --description "demo boot watcher" \
  >"$WORK/bootwatch.out" 2>"$WORK/bootwatch.err" </dev/null &
bootwatcher=$!
background_pids+=("$bootwatcher")
wait_for_line "$WORK/bootwatch.out" '^Watching:' 30 || { show_file "$WORK/bootwatch.err"; fail "the observer did not start"; }
printf '      $ korvane-demo boot %s 00409D210711\n' "$BOOT_PORT"
wine_to "$WORK/boot.out" "$WORK/boot.err" "$BIN_DIR/korvane-demo.exe" boot "$BOOT_PORT" 00409D210711 --seconds 10 ||
  { show_file "$WORK/boot.out"; show_file "$WORK/boot.err"; fail "PRESS1's boot request was not answered"; }
show_file "$WORK/boot.out"
grep -q 'yiaddr 192.168.7.101, siaddr 127.0.0.1, file "C:\\Korvane\\active\\210711.cfg"' "$WORK/boot.out" ||
  fail "the reply does not give PRESS1 its address and list file"
printf '      $ korvane-demo boot %s 020000000001 --seconds 2\n' "$BOOT_PORT"
wine_to "$WORK/boot.out" "$WORK/boot.err" "$BIN_DIR/korvane-demo.exe" boot "$BOOT_PORT" 020000000001 --seconds 2
status=$?
show_file "$WORK/boot.out"
[ $status -eq 1 ] || fail "a board the active set does not have was answered"
wait_for_line "$WORK/bootwatch.out" 'BootpInfo: A boot request for 020000000001' 20 ||
  fail "the observer did not hear of the unknown board"
note "what the observer heard:"
grep 'BootpInfo: A boot request' "$WORK/bootwatch.out" | tr -d '\r' | sed 's/^/        /'
wait_for_exit "$bootwatcher" 40

step "Done" "Every step succeeded; the Wine server of the prefix is stopped."
note "The installation stays in ${PREFIX#"$KORVANE_ROOT"/}/drive_c/Korvane; try more with e.g."
note "  scripts/korvane-client list        (it uses build/wineprefix-demo)"
exit 0
