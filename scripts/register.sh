#!/usr/bin/env bash
# Registers the built programs in the current Wine prefix (WINEPREFIX):
# the proxy/stub DLL, the bootp server component and the COM servers.
#   scripts/register.sh BIN_DIR
set -euo pipefail
bin=$(cd "${1:?usage: register.sh BIN_DIR}" && pwd)
WINE=/usr/lib/wine/wine64
for dll in KorvanePS.dll BootpServer.dll; do
  if [ -f "$bin/$dll" ]; then
    "$WINE" regsvr32 /s "$bin/$dll" || { echo "register.sh: regsvr32 $dll failed" >&2; exit 1; }
  fi
done
for server in ControlCenterServer.exe QRBDAOServer.exe; do
  if [ -f "$bin/$server" ]; then
    "$WINE" "$bin/$server" /RegServer || { echo "register.sh: $server /RegServer failed" >&2; exit 1; }
  fi
done
