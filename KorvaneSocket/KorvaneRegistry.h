// Registration of COM servers in the registry: the class, its ProgIDs and
// the program or DLL that serves it.
#pragma once

#include <windows.h>

// How a class is served.
enum COMServerType {
  COMInProcServer = 0,  // a DLL in the client's process (InprocServer32)
  COMLocalServer = 1,   // a program of its own (LocalServer32)
};

class KorvaneRegistry {
 public:
  // Writes, under HKEY_CLASSES_ROOT:
  //   CLSID\{clsid}                      = friendlyName
  //   CLSID\{clsid}\LocalServer32        = the module's path (local server), or
  //   CLSID\{clsid}\InprocServer32       = the module's path, ThreadingModel "Both"
  //   CLSID\{clsid}\ProgID               = progId
  //   CLSID\{clsid}\VersionIndependentProgID = versionIndependentProgId
  //   {progId}                           = friendlyName, \CLSID = {clsid}
  //   {versionIndependentProgId}         = friendlyName, \CLSID = {clsid}, \CurVer = progId
  // Values already there are rewritten; other values (an AppID) are kept.
  // Returns S_OK or the first failure.
  static HRESULT RegisterServer(HMODULE module, const CLSID& clsid, const char* friendlyName,
                                const char* versionIndependentProgId, const char* progId,
                                int serverType);

  // Removes what RegisterServer wrote: the class's key with everything under
  // it, and each ProgID key that names this class (a ProgID taken over by
  // another class is left to it). Returns S_OK, also when nothing was there.
  static HRESULT UnregisterServer(const CLSID& clsid, const char* versionIndependentProgId,
                                  const char* progId, int serverType);
};
