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
//   HKEY_LOCAL_MACHINE\SOFTWARE\Brenlow\Korvane\Bootp  "Listen Port" (REG_DWORD)
//       the UDP port on which boot requests are answered (67 on a plant
//       network); absent: none are, and nothing is ever sent
//   HKEY_LOCAL_MACHINE\SOFTWARE\Brenlow\Korvane\Bootp  "Listen Address" (REG_SZ)
//       the dotted IPv4 address to listen on; absent: every address of the
//       machine
#pragma once

#include <string>

extern const char kPathKey[];      // "SOFTWARE\Brenlow\Korvane\Path"
extern const char kRootValue[];    // "Root"
extern const char kBootpKey[];     // "SOFTWARE\Brenlow\Korvane\Bootp"
extern const char kSilentValue[];  // "Silent"
extern const char kListenPortValue[];     // "Listen Port"
extern const char kListenAddressValue[];  // "Listen Address"

// The installation root without a trailing backslash. Raises a char* text
// when it is missing, not a string, empty or longer than 259 characters.
std::string ReadInstallationRoot();

// <root>\active\active.ini.
std::string ActiveConfigurationPath(const std::string& root);

bool ResetsAreSilent();

// Where boot requests are answered. Compared as a whole: a reset reopens
// the socket only when this changed.
struct ListenSettings {
  bool enabled = false;
  unsigned short port = 0;
  std::string address;  // dotted; "0.0.0.0" for every address

  bool operator==(const ListenSettings& other) const {
    return enabled == other.enabled && port == other.port && address == other.address;
  }
  bool operator!=(const ListenSettings& other) const { return !(*this == other); }
};

// Not enabled when "Listen Port" is absent. Raises a char* text when a
// value is there but unusable: a port that is not a REG_DWORD from 1 to
// 65535, an address that is not a dotted IPv4 address.
ListenSettings ReadListenSettings();
