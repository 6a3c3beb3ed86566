// Logs each of its arguments with LogErrorToDatabase, with the database
// server pointed at a given directory for the run; error_table_sqlite3.sh
// then reads the table with Linux's own sqlite3.
//   error_table_writer DIRECTORY TEXT...
// Exits 0 when every text was stored.
#include <windows.h>
#include <objbase.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "DaoServerSettings.h"
#include "errorlog/ErrorLog.h"
#include "Win32/Holders.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: error_table_writer DIRECTORY TEXT...\n");
    return 2;
  }
  UniqueKey key;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kDaoServerKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, key.put(), nullptr) != ERROR_SUCCESS) {
    std::fprintf(stderr, "error_table_writer: cannot open the server's settings\n");
    return 1;
  }
  char old[MAX_PATH] = "";
  DWORD size = sizeof old - 1, type = 0;
  const bool hadOld = RegQueryValueExA(key.get(), "Database Directory", nullptr, &type,
                                       reinterpret_cast<BYTE*>(old), &size) == ERROR_SUCCESS;
  const std::string directory = argv[1];
  RegSetValueExA(key.get(), "Database Directory", 0, REG_SZ,
                 reinterpret_cast<const BYTE*>(directory.c_str()),
                 static_cast<DWORD>(directory.size() + 1));

  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  int stored = 0;
  for (int i = 2; i < argc; ++i) stored += LogErrorToDatabase(argv[i]);
  CoUninitialize();

  if (hadOld)
    RegSetValueExA(key.get(), "Database Directory", 0, REG_SZ, reinterpret_cast<const BYTE*>(old),
                   static_cast<DWORD>(std::strlen(old) + 1));
  else
    RegDeleteValueA(key.get(), "Database Directory");
  std::printf("stored %d of %d texts\n", stored, argc - 2);
  return stored == argc - 2 ? 0 : 1;
}
