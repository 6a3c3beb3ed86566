// The process that the kill tests let die: it runs the server's own set
// change or restore worker on the installation of the prefix, with the
// settings the server reads, and the test hook "Terminate After Step" makes
// it end itself with TerminateProcess after the chosen step.
//
//   setchange_kill_helper change <set file>
//   setchange_kill_helper restore
//
// Exit code: the worker's result (0 done, 1 failed), the hook's exit code
// when it was killed, 2 for a usage error. (Why not the server itself: see
// SetChangeKillTest.cpp.)
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "notifications/ServerLock.h"
#include "registry/BoardRecord.h"
#include "registry/Registry.h"
#include "setchange/RestoreWorker.h"
#include "setchange/SetChangeWorker.h"
#include "Win32/Holders.h"

int main(int argc, char** argv) {
  const bool restore = argc == 2 && std::strcmp(argv[1], "restore") == 0;
  if (!restore && (argc != 3 || std::strcmp(argv[1], "change") != 0)) return 2;
  ConfigurationWorkerSetup setup;
  try {
    UniqueKey path = OpenKey(HKEY_LOCAL_MACHINE, (std::string(kKorvaneKeyPath) + "\\Path").c_str());
    UniqueKey network = OpenKey(HKEY_LOCAL_MACHINE, (std::string(kKorvaneKeyPath) + "\\Network").c_str());
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!path || !network ||
        std::sscanf(GetStringValueText(network.get(), "Base IP Address").c_str(), "%u.%u.%u.%u", &a, &b, &c,
                    &d) != 4)
      return 2;
    setup.rootPath = GetStringValueText(path.get(), "Root");
    setup.baseIpAddress = (a << 24) | (b << 16) | (c << 8) | d;
    setup.communicationPort = static_cast<unsigned short>(GetDwordValue(network.get(), "Communication Port"));
  } catch (const char* text) {
    std::fprintf(stderr, "%s\n", text);
    return 2;
  }
  ServerLock lock("Configuration Semaphore");
  JArray<BoardRecord> boards(0, 10, false);
  setup.serverLock = &lock;
  setup.boardList = &boards;
  setup.warningShower = [](const char* text) { std::fprintf(stderr, "warning: %s\n", text); };
  setup.logError = [](const char* text) { std::fprintf(stderr, "logged: %s\n", text); };
  UniqueHandle allow(CreateEventA(nullptr, TRUE, TRUE, nullptr));
  std::string error;
  int result;
  if (restore) {
    RestoreWorker worker(setup);
    result = worker.RestoreSet(allow.get());
    error = worker.LastError();
  } else {
    SetChangeWorker worker(setup);
    result = worker.ChangeSet(allow.get(), argv[2]);
    error = worker.LastError();
  }
  if (result != 0) std::fprintf(stderr, "failed: %s\n", error.c_str());
  return result;
}
