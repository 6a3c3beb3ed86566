#!/usr/bin/env bash
# The error table as Linux's own sqlite3 reads it: a Windows program logs
# known texts under Wine, then sqlite3 opens the file that the database
# server wrote and must find the fields and the records as they were stored.
#   error_table_sqlite3.sh BIN_DIR      (in the test prefix: WINEPREFIX)
set -euo pipefail
bin=$(cd "${1:?usage: error_table_sqlite3.sh BIN_DIR}" && pwd)
: "${WINEPREFIX:?set WINEPREFIX to the test prefix}"
export WINEDEBUG=-all
source "$(dirname "${BASH_SOURCE[0]}")/../../../scripts/common.sh"
command -v sqlite3 >/dev/null || { echo "sqlite3 is not installed"; exit 1; }

dir=$(mktemp -d /tmp/error-table.XXXXXX)
trap 'rm -rf "$dir"' EXIT
windows_dir="Z:${dir//\//\\}"

"$WINE" regsvr32 /s "$bin/KorvanePS.dll" </dev/null
"$WINE" "$bin/QRBDAOServer.exe" /RegServer </dev/null
# The server's database directory, pointed at ours for the writer and put back afterwards.
key='HKLM\SOFTWARE\Brenlow\Korvane\QRB DAO Server'
old=$({ "$WINE" reg query "$key" /v "Database Directory" </dev/null 2>/dev/null || true; } |
  sed -n 's/^ *Database Directory *REG_SZ *//p' | tr -d '\r')
"$WINE" reg add "$key" /v "Database Directory" /d "$windows_dir" /f </dev/null >/dev/null
writer_status=0
"$WINE" "$bin/error_table_writer.exe" \
  "twenty characters..." "" 'Could not open a table.: "quoted" text' </dev/null || writer_status=$?
if [ -n "$old" ]; then
  "$WINE" reg add "$key" /v "Database Directory" /d "$old" /f </dev/null >/dev/null
else
  "$WINE" reg delete "$key" /v "Database Directory" /f </dev/null >/dev/null
fi
[ "$writer_status" -eq 0 ] || { echo "error_table_writer could not store every text"; exit 1; }

db="$dir/QRB Errors.db"
failures=0
expect() {  # expect WHAT EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then
    echo "ok: $1"
  else
    echo "FAILED: $1"; echo "  expected: $2"; echo "  actual:   $3"
    failures=$((failures + 1))
  fi
}

expect "the file is a sound SQLite database" "ok" "$(sqlite3 "$db" 'PRAGMA integrity_check')"
expect "the table's fields, in order, with their types" \
  "0|Date/Time|DATETIME
1|Milliseconds|SMALLINT
2|Error Message Size|SMALLINT
3|Error Message|BLOB" \
  "$(sqlite3 "$db" "SELECT cid, name, type FROM pragma_table_info('QRB Errors')")"
expect "sizes, and the message bytes without a NUL" \
  "20|blob|20|7477656E747920636861726163746572732E2E2E
0|blob|0|
38|blob|38|436F756C64206E6F74206F70656E2061207461626C652E3A202271756F746564222074657874" \
  "$(sqlite3 "$db" 'SELECT "Error Message Size", typeof("Error Message"), length("Error Message"), hex("Error Message") FROM "QRB Errors" ORDER BY rowid')"
expect "local date and time to the second, milliseconds apart" "3" \
  "$(sqlite3 "$db" "SELECT count(*) FROM \"QRB Errors\" WHERE \"Date/Time\" GLOB '[0-9][0-9][0-9][0-9]-[0-1][0-9]-[0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-5][0-9]' AND datetime(\"Date/Time\") = \"Date/Time\" AND Milliseconds BETWEEN 0 AND 999")"
expect "the records as text" "twenty characters...|Could not open a table.: \"quoted\" text" \
  "$(sqlite3 "$db" "SELECT group_concat(CAST(\"Error Message\" AS TEXT), '|') FROM \"QRB Errors\" WHERE \"Error Message Size\" > 0")"

echo
if [ "$failures" -eq 0 ]; then echo "error table: all checks passed"; else echo "error table: $failures checks failed"; fi
[ "$failures" -eq 0 ]
