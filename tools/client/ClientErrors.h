// korvane-client errors: the server's error log ("QRB Errors"), read through
// the database server that keeps it.
#pragma once

#include <windows.h>

#include <string>

#include "ClientCommandLine.h"

// Runs the errors command; stop (may be null) ends --follow. Returns the
// client's exit code.
int RunErrorLog(const ClientRequest& request, HANDLE stop);

// One entry of the log as it is shown: "TIME  SOURCE  TEXT", or a JSON
// object for --json. time is "YYYY-MM-DD HH:MM:SS.mmm".
std::string FormatLogEntry(const std::string& time, const std::string& text, bool json);
