// The client interfaces of a ControlCenterComponent: each method runs the
// component's member of the same name and turns a raised text into the
// stored error text and E_FAIL.
#include "component/CCCmpnt.h"

#include <string>

#include "Win32/ErrorText.h"

template <class Body>
HRESULT ControlCenterComponent::Guarded(const char* method, Body&& body) {
  try {
    return body();
  } catch (...) {
    SetErrorText(CaughtExceptionTextIn(("ControlCenterComponent::" + std::string(method)).c_str())
                     .c_str());
  }
  return E_FAIL;
}

// One forwarding method per slot; NAME is the member it runs.
#define KORVANE_CLIENT_METHOD(Interface, NAME, PARAMS, ARGS)          \
  HRESULT ControlCenterComponent::Interface::NAME PARAMS {            \
    ControlCenterComponent& c = component();                          \
    return c.Guarded(#NAME, [&] { return c.NAME ARGS; });             \
  }

KORVANE_CLIENT_METHOD(ClientInterface, ListSets,
                      (unsigned short* numfiles, unsigned short** filenameindexes,
                       unsigned short* buffsize, char** filenames),
                      (numfiles, filenameindexes, buffsize, filenames))
KORVANE_CLIENT_METHOD(ClientInterface, SelectSet,
                      (unsigned short namesize, char* setname, IControlCenterNotify* notifyiface),
                      (namesize, setname, notifyiface))
KORVANE_CLIENT_METHOD(ClientInterface, RestoreBackup, (IControlCenterNotify * notifyiface),
                      (notifyiface))
KORVANE_CLIENT_METHOD(ClientInterface, BackupExists, (unsigned char* flag), (flag))
KORVANE_CLIENT_METHOD(ClientInterface, SendBoardCommand,
                      (LONG command, unsigned short numboards, unsigned short* boardnums),
                      (command, numboards, boardnums))
KORVANE_CLIENT_METHOD(ClientInterface, SetClientTimeout, (unsigned short seconds), (seconds))
KORVANE_CLIENT_METHOD(ClientInterface, IsSetChanging, (unsigned char* issetchanging),
                      (issetchanging))
KORVANE_CLIENT_METHOD(ClientInterface, RegisterNotification,
                      (IControlCenterNotify * notifyiface, unsigned short descsize,
                       char* description, ULONG* cookie),
                      (notifyiface, descsize, description, cookie))
KORVANE_CLIENT_METHOD(ClientInterface, UnregisterNotification, (ULONG cookie), (cookie))
KORVANE_CLIENT_METHOD(ClientInterface, AllowSetChange, (ULONG cookie), (cookie))
KORVANE_CLIENT_METHOD(ClientInterface, GetActiveSetName,
                      (unsigned short* namesize, char** setname), (namesize, setname))
KORVANE_CLIENT_METHOD(ClientInterface, GetBackupSetName,
                      (unsigned short* namesize, char** setname), (namesize, setname))
KORVANE_CLIENT_METHOD(ClientInterface, ActiveSetExists, (unsigned char* activesetexists),
                      (activesetexists))
KORVANE_CLIENT_METHOD(BootpSource, RegisterBootpNotification,
                      (IUnknown * notifyiface, ULONG* cookie), (notifyiface, cookie))
KORVANE_CLIENT_METHOD(BootpSource, UnregisterBootpNotification, (ULONG cookie), (cookie))

#undef KORVANE_CLIENT_METHOD
