// The installation settings the bootp server component reads, each time it
// needs them, so that a change made while it runs counts at the next reset:
//
//   HKEY_LOCAL_MACHINE\SOFTWARE\Brenlow\Korvane\Path   "Root" (REG_SZ)
//       the installation root; the active configuration is
//       <root>\active\active.ini
//   HKEY_LOCAL_MACHINE\SOFTWARE\Brenlow\Korvane\Bootp  "Silent" (REG_DWORD)
//       not 0: reset requests are seen but never answered, as if no bootp
//       server ran (tests of the server's two-minute wait use it); absent
//       or 0: every reset is answered
#pragma once

#include <string>

extern const char kPathKey[];      // "SOFTWARE\Brenlow\Korvane\Path"
extern const char kRootValue[];    // "Root"
extern const char kBootpKey[];     // "SOFTWARE\Brenlow\Korvane\Bootp"
extern const char kSilentValue[];  // "Silent"

// The installation root without a trailing backslash. Raises a char* text
// when it is missing, not a string, empty or longer than 259 characters.
std::string ReadInstallationRoot();

// <root>\active\active.ini.
std::string ActiveConfigurationPath(const std::string& root);

bool ResetsAreSilent();
