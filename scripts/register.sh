#!/usr/bin/env bash
# Registers the built programs in the current Wine prefix (WINEPREFIX):
# the proxy/stub DLL, the bootp server component and the COM servers; or,
# with --unregister, removes them again (servers first).
#   scripts/register.sh BIN_DIR
#   scripts/register.sh --unregister BIN_DIR
set -euo pipefail
mode=register
if [ "${1:-}" = "--unregister" ]; then
  mode=unregister
  shift
fi
bin=$(cd "${1:?usage: register.sh [--unregister] BIN_DIR}" && pwd)
: "${WINEPREFIX:?register.sh: set WINEPREFIX to the prefix to register in}"
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

# What each server's /RegServer must have written: the servers ignore
# registry failures (a registration run ends quietly either way), so check.
declare -A server_class=(
  [ControlCenterServer.exe]='{DA956622-9E61-11D1-BF71-0060083188E7}'
  [QRBDAOServer.exe]='{000C9413-7E45-11D2-B4FE-00105A16F164}'
)

if [ "$mode" = unregister ]; then
  for server in ControlCenterServer.exe QRBDAOServer.exe; do
    if [ -f "$bin/$server" ]; then
      "$WINE" "$bin/$server" /UnregServer || echo "register.sh: $server /UnregServer failed" >&2
    fi
  done
  for dll in BootpServer.dll KorvanePS.dll; do
    if [ -f "$bin/$dll" ]; then
      "$WINE" regsvr32 /s /u "$bin/$dll" || echo "register.sh: regsvr32 /u $dll failed" >&2
    fi
  done
  exit 0
fi

for dll in KorvanePS.dll BootpServer.dll; do
  if [ -f "$bin/$dll" ]; then
    "$WINE" regsvr32 /s "$bin/$dll" || { echo "register.sh: regsvr32 $dll failed" >&2; exit 1; }
  fi
done
for server in ControlCenterServer.exe QRBDAOServer.exe; do
  if [ -f "$bin/$server" ]; then
    "$WINE" "$bin/$server" /RegServer || { echo "register.sh: $server /RegServer failed" >&2; exit 1; }
    clsid=${server_class[$server]}
    "$WINE" reg query "HKCR\\CLSID\\$clsid\\LocalServer32" >/dev/null 2>&1 ||
      { echo "register.sh: $server /RegServer did not register $clsid" >&2; exit 1; }
  fi
done
