// The installation settings: read once by the first instance, and the
// client time-out, which a client may change and which is stored back.
#include "KorvaneSocket.h"  // winsock2.h before anything pulls in windows.h

#include "component/CCCmpnt.h"

#include <cstdio>
#include <cstring>

#include "component/InstallationSettings.h"
#include "registry/Registry.h"
#include "Win32/ErrorText.h"

char ControlCenterComponent::rootPath[MAX_PATH] = {};
unsigned long ControlCenterComponent::baseIPAddress = 0;
unsigned short ControlCenterComponent::communicationPort = 0xFFFF;
unsigned short ControlCenterComponent::rebootPort = 0xFFFF;
std::atomic<unsigned long> ControlCenterComponent::clientTimeout{kDefaultClientTimeout};

namespace {

void CopyRootPath(const char* root) {
  if (!root) root = "";
  // Every path of the system is built in MAX_PATH buffers from this root;
  // a longer one would be cut and name another directory.
  if (std::strlen(root) > kLongestInstallationPath)
    RaiseFormatted("The installation root (\"%s\" under HKEY_LOCAL_MACHINE\\%s\\%s) is longer "
                   "than %u characters.",
                   kRootValueName, kKorvaneKeyPath, kPathKeyName, kLongestInstallationPath);
  std::strcpy(ControlCenterComponent::rootPath, root);
}

}  // namespace

void ControlCenterComponent::ReadSettings() {
  UniqueKey korvaneKey = OpenKey(HKEY_LOCAL_MACHINE, kKorvaneKeyPath);
  KORVANE_ASSERT_AS(korvaneKey,
                    "korvaneKey = OpenKey( HKEY_LOCAL_MACHINE, \"SOFTWARE\\\\Brenlow\\\\Korvane\")",
                    "Could not find the korvane installation.");
  UniqueKey pathKey = OpenKey(korvaneKey.get(), kPathKeyName);
  KORVANE_ASSERT_AS(pathKey, "pathKey = OpenKey( korvaneKey, \"Path\")",
                    "Could not find the Korvane installation path.");
  CopyRootPath(GetStringValue(pathKey.get(), kRootValueName));

  UniqueKey netKey = OpenKey(korvaneKey.get(), kNetworkKeyName);
  KORVANE_ASSERT_AS(netKey, "netKey = OpenKey( korvaneKey, \"Network\")",
                    "Could not find the korvane installation while attempting to build a "
                    "configuration.");
  const char* sptr = GetStringValue(netKey.get(), kBaseIpAddressValueName);
  if (!sptr) sptr = "";
  KORVANE_ASSERT_AS(std::strlen(sptr) < kBaseIpAddressTextLimit, "strlen(sptr) < 32", nullptr);
  // Text that is no address gives INADDR_NONE, 0xFFFFFFFF, which stays as
  // it is: the set change reports it where the address is used.
  baseIPAddress = ntohl(inet_addr(sptr));
  communicationPort =
      static_cast<unsigned short>(GetDwordValue(netKey.get(), kCommunicationPortValueName));
  rebootPort = static_cast<unsigned short>(GetDwordValue(netKey.get(), kRebootPortValueName));

  boardSocket.reset(new KorvaneSocket(1, rebootPort));

  // An installation without a time-out gets the default, and keeps it: an
  // operator looking at the registry sees what the server uses.
  try {
    clientTimeout = GetDwordValue(korvaneKey.get(), kClientTimeoutValueName);
  } catch (char*) {
    clientTimeout = kDefaultClientTimeout;
    SetDwordValue(korvaneKey.get(), kClientTimeoutValueName, kDefaultClientTimeout);
  }
}

HRESULT ControlCenterComponent::SetClientTimeout(unsigned short seconds) {
  // The new time-out holds for the next change even when it cannot be
  // stored.
  clientTimeout = seconds;
  UniqueKey hKey = OpenKey(HKEY_LOCAL_MACHINE, kKorvaneKeyPath);
  KORVANE_ASSERT(hKey, "Could not open the korvane registry");
  SetDwordValue(hKey.get(), kClientTimeoutValueName, seconds);
  return S_OK;
}

void ControlCenterComponent::FillSetPath(const char* setname) {
  KORVANE_ASSERT_ARG(setname);
  size_t length = std::strlen(rootPath) + std::strlen("\\Comp\\") + std::strlen(setname) +
                  std::strlen(".cfg");
  // A cut path would name another file; the set change must not start.
  if (length > kLongestInstallationPath)
    RaiseFormatted("The path of the set file %s\\Comp\\%s.cfg is longer than %u characters.",
                   rootPath, setname, kLongestInstallationPath);
  std::snprintf(setPath, sizeof setPath, "%s\\Comp\\%s.cfg", rootPath, setname);
}
