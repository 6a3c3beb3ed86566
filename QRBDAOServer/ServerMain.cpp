// QRBDAOServer.exe, the database server behind IQRBDAO.
//   /RegServer    registers the class as a local server, then ends
//   /UnregServer  removes that registration, then ends
//   -Embedding    started by COM for a client
// The switches may start with "-" or "/" and are compared without regard to
// case. Once the last object and the last lock are gone the server stays
// for the shutdown delay (DaoServerSettings.h): the error log connects anew
// for every error, and a burst of errors should cost one start, not one
// start per error. (CoSuspendClassObjects does nothing under Wine, so the
// class object is revoked instead, and the clients already on their way
// are served before the process ends.)
#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <string>
#include <vector>

#include "DaoServerObject.h"
#include "DaoServerSettings.h"
#include "Win32/Holders.h"

namespace {

const char kFriendlyName[] = "QRB DAO Server";
const char kProgId[] = "Korvane.QRBDAO.Server.1";
const char kVersionIndependentProgId[] = "Korvane.QRBDAO.Server";

std::string ClsidText() {
  CoTaskMemHolder<wchar_t> wide;
  if (FAILED(StringFromCLSID(CLSID_QRBDAOServer, wide.put()))) return {};
  char text[64] = "";
  WideCharToMultiByte(CP_ACP, 0, wide.get(), -1, text, sizeof text, nullptr, nullptr);
  return text;
}

bool SetKeyValue(const std::string& keyName, const char* valueName, const std::string& value) {
  UniqueKey key;
  if (RegCreateKeyExA(HKEY_CLASSES_ROOT, keyName.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, key.put(), nullptr) != ERROR_SUCCESS)
    return false;
  return RegSetValueExA(key.get(), valueName, 0, REG_SZ,
                        reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>(value.size() + 1)) == ERROR_SUCCESS;
}

bool Register() {
  char program[MAX_PATH] = "";
  if (!GetModuleFileNameA(nullptr, program, MAX_PATH)) return false;
  const std::string clsidKey = "CLSID\\" + ClsidText();
  return SetKeyValue(clsidKey, nullptr, kFriendlyName) &&
         SetKeyValue(clsidKey + "\\LocalServer32", nullptr, std::string("\"") + program + "\"") &&
         SetKeyValue(clsidKey + "\\ProgID", nullptr, kProgId) &&
         SetKeyValue(clsidKey + "\\VersionIndependentProgID", nullptr, kVersionIndependentProgId) &&
         SetKeyValue(kProgId, nullptr, kFriendlyName) &&
         SetKeyValue(std::string(kProgId) + "\\CLSID", nullptr, ClsidText()) &&
         SetKeyValue(kVersionIndependentProgId, nullptr, kFriendlyName) &&
         SetKeyValue(std::string(kVersionIndependentProgId) + "\\CLSID", nullptr, ClsidText()) &&
         SetKeyValue(std::string(kVersionIndependentProgId) + "\\CurVer", nullptr, kProgId);
}

bool Unregister() {
  bool ok = true;
  for (const std::string& key :
       {"CLSID\\" + ClsidText(), std::string(kProgId), std::string(kVersionIndependentProgId)}) {
    const LSTATUS status = RegDeleteTreeA(HKEY_CLASSES_ROOT, key.c_str());
    ok = ok && (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND);
  }
  return ok;
}

std::vector<std::string> Switches(const char* commandLine) {
  std::vector<std::string> pieces(1);
  for (const char* p = commandLine ? commandLine : ""; *p; ++p) {
    if (*p == '-' || *p == '/')
      pieces.emplace_back();
    else
      pieces.back() += *p;
  }
  for (std::string& piece : pieces) {
    piece.erase(0, piece.find_first_not_of(" \t\""));
    piece.erase(piece.find_last_not_of(" \t\"") + 1);
  }
  return pieces;
}

bool Is(const std::string& piece, const char* name) { return lstrcmpiA(piece.c_str(), name) == 0; }

// A server that COM started has not met its client yet: the client gets
// this long to make its first object, whatever the shutdown delay says.
constexpr DWORD kFirstClientGraceMs = 30000;

// A client that fetched the class object just before it was revoked still
// makes its object through it; this much quiet means none is on its way.
constexpr DWORD kQuietAfterRevokeMs = 1000;

// Waits until the server has been unused for the shutdown delay. Any change
// of the counts restarts the wait, so the delay runs from the last release.
void WaitUntilIdle() {
  DWORD idleSince = GetTickCount();
  bool served = false;
  for (;;) {
    if (DaoServerLifetime::InUse()) {
      served = true;
      WaitForSingleObject(DaoServerLifetime::ChangeEvent(), INFINITE);
      idleSince = GetTickCount();
      continue;
    }
    const DWORD delay = served ? ShutdownDelayMs() : std::max(ShutdownDelayMs(), kFirstClientGraceMs);
    const DWORD idle = GetTickCount() - idleSince;
    if (idle >= delay) return;
    if (WaitForSingleObject(DaoServerLifetime::ChangeEvent(), delay - idle) == WAIT_OBJECT_0)
      idleSince = GetTickCount();
  }
}

int Serve() {
  if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
  // Same settings as the control center server: clients of any account on
  // the machine, no authentication.
  CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_NONE,
                       RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
  int result = 1;
  {
    ComPtr<IClassFactory> factory = ComPtr<IClassFactory>::Attach(NewDaoClassFactory());
    DWORD cookie = 0;
    if (factory && SUCCEEDED(CoRegisterClassObject(CLSID_QRBDAOServer, factory.get(),
                                                   CLSCTX_LOCAL_SERVER,
                                                   REGCLS_MULTIPLEUSE | REGCLS_SUSPENDED,
                                                   &cookie))) {
      CoResumeClassObjects();
      WaitUntilIdle();
      // From here on COM starts a new server for a new client. Clients
      // that reached this one before the revoke are served to the end.
      CoRevokeClassObject(cookie);
      for (;;) {
        if (DaoServerLifetime::InUse())
          WaitForSingleObject(DaoServerLifetime::ChangeEvent(), INFINITE);
        else if (WaitForSingleObject(DaoServerLifetime::ChangeEvent(), kQuietAfterRevokeMs) ==
                 WAIT_TIMEOUT)
          break;
      }
      result = 0;
    }
  }
  CoUninitialize();
  return result;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR commandLine, int) {
  bool registration = false, ok = true;
  for (const std::string& piece : Switches(commandLine)) {
    if (Is(piece, "UnregServer")) {
      registration = true;
      ok = Unregister() && ok;
    } else if (Is(piece, "RegServer")) {
      registration = true;
      ok = Register() && ok;
    } else if (Is(piece, "Embedding")) {
      break;
    }
  }
  if (registration) return ok ? 0 : 1;
  return Serve();
}
