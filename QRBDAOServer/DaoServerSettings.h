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
//     "Statement Time Limit" REG_DWORD milliseconds one statement may run
//                                      (default 10000)
//     "Record Set Row Limit" REG_DWORD records a record set over a query may
//                                      hold (default 1000000)
//     "Handle Limit"        REG_DWORD  tables, record sets and queries one
//                                      connection may hold open (default 1024)
// A limit of 0 or a value of another type leaves the default.
#pragma once

#include <windows.h>

#include <string>

#include "DaoStore.h"

extern const char kDaoServerKey[];

std::string DatabaseDirectory();
DWORD ShutdownDelayMs();
DaoLimits ConnectionLimits();
