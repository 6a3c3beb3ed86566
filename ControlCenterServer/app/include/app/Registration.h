// Registration of the server's classes and of the AppID they share.
#pragma once

#include <windows.h>

// Registers every class of the server class table as served by module.
// Failures are ignored: the registration is best effort, and a later run
// repeats it.
void RegisterServerClasses(HMODULE module);
// Gives every registered class the shared AppID (the CLSID of the table's
// first entry) named appName, running as the interactive user with
// authentication level 1. A class that already names an AppID keeps it.
void RegisterAppId(const char* appName);
// Removes each class's AppID key and what RegisterServerClasses wrote.
void UnregisterServerClasses();
