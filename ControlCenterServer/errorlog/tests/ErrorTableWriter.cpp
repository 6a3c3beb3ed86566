// Logs each of its arguments with LogErrorToDatabase, for error_table_sqlite3.sh, which points the
// database server at a directory of its own first and reads the table with Linux's own sqlite3
// afterwards. Exits 0 when every text was stored.
#include <windows.h>
#include <objbase.h>

#include "errorlog/ErrorLog.h"

int main(int argc, char** argv) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  int stored = 0;
  for (int i = 1; i < argc; ++i) stored += LogErrorToDatabase(argv[i]);
  CoUninitialize();
  return stored == argc - 1 ? 0 : 1;
}
