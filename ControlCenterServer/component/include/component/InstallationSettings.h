// Where the server finds its installation: the registry values it reads at
// the first instance's start, and the fixed fragments every part appends to
// the installation root. The values themselves are class-wide state of
// ControlCenterComponent (CCCmpnt.h).
//
// HKEY_LOCAL_MACHINE\SOFTWARE\Brenlow\Korvane
//   "Control Center Client Timeout"  REG_DWORD  seconds; 10 written back when unreadable
//   Path\"Root"                      REG_SZ     installation root, at most 259 characters
//   Network\"Base IP Address"        REG_SZ     dotted IPv4, at most 31 characters
//   Network\"Communication Port"     REG_DWORD  low 16 bits used
//   Network\"Reboot Port"            REG_DWORD  low 16 bits used
//   Network\"Board Command Address"  REG_SZ     read by the board socket (KorvaneSocket.h)
#pragma once

constexpr const char* kPathKeyName = "Path";
constexpr const char* kRootValueName = "Root";
constexpr const char* kNetworkKeyName = "Network";
constexpr const char* kBaseIpAddressValueName = "Base IP Address";
constexpr const char* kCommunicationPortValueName = "Communication Port";
constexpr const char* kRebootPortValueName = "Reboot Port";
constexpr const char* kClientTimeoutValueName = "Control Center Client Timeout";

// The client time-out when the registry has none (seconds).
constexpr unsigned long kDefaultClientTimeout = 10;
// "Base IP Address" must be shorter than this.
constexpr unsigned kBaseIpAddressTextLimit = 32;
// rootPath and setPath hold at most this many characters and a zero.
constexpr unsigned kLongestInstallationPath = 259;

// Appended to the root.
constexpr const char* kActiveDirectoryFragment = "\\active\\";
constexpr const char* kActiveIniFragment = "\\active\\active.ini";
constexpr const char* kCommonDirectoryFragment = "\\config\\common\\";
constexpr const char* kActiveSetMarkerFragment = "\\active\\actset";
constexpr const char* kBackupSetMarkerFragment = "\\active\\backup\\actset";
// Below the active directory.
constexpr const char* kBackupDirectoryName = "BACKUP\\";
