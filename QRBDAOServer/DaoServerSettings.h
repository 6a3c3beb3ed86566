// The database server's installation settings, read from the registry
// whenever a connection is made, so that a change applies to the next
// client without restarting the server.
//
//   HKEY_LOCAL_MACHINE\SOFTWARE\Brenlow\Korvane\QRB DAO Server
//     "Database Directory"  REG_SZ     where the database files are kept;
//                                      default: the installation root's
//                                      "Database" folder (Path\Root), or the
//                                      "Database" folder beside the program
//     "Shutdown Delay"      REG_DWORD  milliseconds the server stays up after
//                                      its last client left (default 5000)
#pragma once

#include <windows.h>

#include <string>

extern const char kDaoServerKey[];

std::string DatabaseDirectory();
DWORD ShutdownDelayMs();
